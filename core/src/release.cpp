#include "release.hpp"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "ffi.hpp"
#include "rapidjson.hpp"
#include "semver.hpp"
#include "sha256.hpp"

namespace vela::release {
namespace {

constexpr json::Field accepted_fields[] = {
    json::field<&AcceptedRelease::channel>("channel"),
    json::field<&AcceptedRelease::version>("version"),
    json::field<&AcceptedRelease::archiveSha256>("archiveSha256"),
    json::field<&AcceptedRelease::archiveBytes>("archiveBytes"),
    json::field<&AcceptedRelease::notBeforeMs>("notBeforeMs"),
};
constexpr json::Record<AcceptedRelease> accepted{accepted_fields, json::Extra::refuse};

constexpr json::Field state_fields[] = {
    json::field<&TrustState::schemaVersion>("schemaVersion"),
    json::field<&TrustState::channels>("channels", &accepted),
    json::field<&TrustState::current>("current", &accepted),
};
constexpr json::Record<TrustState> state_record{state_fields, json::Extra::refuse};

constexpr json::Field signature_fields[] = {
    json::field<&Signature::keyId>("keyId"),
    json::field<&Signature::algorithm>("algorithm"),
    json::field<&Signature::signature>("signature"),
};
constexpr json::Record<Signature> signature_record{signature_fields, json::Extra::skip};

constexpr json::Field envelope_fields[] = {
    json::field<&Envelope::payload>("payload"),
    json::field<&Envelope::signatures>("signatures", &signature_record),
};
constexpr json::Record<Envelope> envelope_record{envelope_fields, json::Extra::skip};

constexpr json::Field key_fields[] = {
    json::field<&Key::keyId>("keyId"),
    json::field<&Key::publicKey>("publicKey"),
};
constexpr json::Record<Key> key_record{key_fields, json::Extra::skip};

constexpr json::Field keys_fields[] = {json::field<&Keys::keys>("keys", &key_record)};
constexpr json::Record<Keys> keys_record{keys_fields, json::Extra::skip};

constexpr json::Field rollback_fields[] = {
    json::field<&Rollback::toVersion>("toVersion"),
    json::field<&Rollback::reason>("reason"),
};
constexpr json::Record<Rollback> rollback_record{rollback_fields, json::Extra::refuse};

constexpr json::Field artifact_fields[] = {
    json::field<&Artifact::kind>("kind"),
    json::field<&Artifact::platform>("platform"),
    json::field<&Artifact::arch>("arch"),
    json::field<&Artifact::sha256>("sha256"),
    json::field<&Artifact::sizeBytes>("sizeBytes"),
};
constexpr json::Record<Artifact> artifact_record{artifact_fields, json::Extra::skip};

constexpr json::Field manifest_fields[] = {
    json::field<&Manifest::schemaVersion>("schemaVersion"),
    json::field<&Manifest::channel>("channel"),
    json::field<&Manifest::version>("version"),
    json::field<&Manifest::notBefore>("notBefore"),
    json::field<&Manifest::expiresAt>("expiresAt"),
    json::field<&Manifest::halt>("halt"),
    json::field<&Manifest::rollback>("rollback", &rollback_record),
    json::field<&Manifest::artifacts>("artifacts", &artifact_record),
};
constexpr json::Record<Manifest> manifest_record{manifest_fields, json::Extra::skip};

bool known_channel(std::string_view c) { return c == "beta" || c == "internal" || c == "stable"; }

bool sound_entry(const std::string &key, const AcceptedRelease &r) {
  return key == r.channel && known_channel(r.channel) && semver::parse(r.version) &&
         sha256::is_hex_digest(r.archiveSha256) && r.archiveBytes != 0;
}

constexpr std::int64_t kLongestWindowMs = 2'592'000'000;  // 30 days
constexpr std::uint64_t kLargestArchive = 2'147'483'648;  // 2 GiB

std::unexpected<Error> refuse(const char *message) { return fail(Error::invalid_data(message)); }

// Canonical standard Base64: padded, nothing outside the alphabet, zero spare
// bits (libsodium refuses the rest). With a null end pointer libsodium fails
// unless the whole text was consumed, instead of stopping at a bad byte.
std::optional<std::vector<std::uint8_t>> base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3);
  if (bytes.empty()) return bytes;  // the empty text; libsodium takes no null buffer
  std::size_t length = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return std::nullopt;
  bytes.resize(length);
  return bytes;
}

// Ed25519 over the message; libsodium also refuses a scalar not below the
// group order and keys of small order.
bool ed25519_verifies(std::span<const std::uint8_t> key, std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> message) {
  static const int ready = sodium_init();
  if (ready < 0) throw std::runtime_error("libsodium cannot start");
  return key.size() == crypto_sign_PUBLICKEYBYTES && signature.size() == crypto_sign_BYTES &&
         crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
}

// Whether some signature, tried in envelope order, verifies over the payload
// with the first key of its keyId. Any signature that cannot is passed over.
bool trusted(const Envelope &envelope, const Keys &keys, std::span<const std::uint8_t> payload) {
  for (const Signature &s : envelope.signatures) {
    if (s.algorithm != "ed25519") continue;
    auto key = std::ranges::find(keys.keys, s.keyId, &Key::keyId);
    if (key == keys.keys.end()) continue;
    auto public_key = base64(key->publicKey);
    auto signature = base64(s.signature);
    if (public_key && signature && ed25519_verifies(*public_key, *signature, payload)) return true;
  }
  return false;
}

// "YYYY-MM-DDTHH:MM:SS[.fraction]Z" (RFC 3339 with the offset Z; the T may be
// lower case): seconds since the epoch and the fraction in nanoseconds, its
// digits beyond the ninth dropped. A leap second has no place on that scale
// and is refused.
struct Instant {
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

std::optional<Instant> utc_date_time(std::string_view s) {
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (s.size() < kShape.size() + 1 || s.back() != 'Z') return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    char c = s[i], want = kShape[i];
    if (want == 'd' ? !is_digit(c) : want == 'T' ? c != 'T' && c != 't' : c != want) return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t width) {
    int value = 0;
    for (char c : s.substr(at, width)) value = value * 10 + (c - '0');
    return value;
  };
  using namespace std::chrono;
  year_month_day date{year{number(0, 4)}, month{unsigned(number(5, 2))}, day{unsigned(number(8, 2))}};
  int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;

  // Between the seconds and the Z: nothing, or "." and at least one digit.
  auto fraction = s.substr(kShape.size(), s.size() - kShape.size() - 1);
  std::int64_t nanoseconds = 0;
  if (!fraction.empty()) {
    auto digits = fraction.substr(1);
    if (fraction[0] != '.' || digits.empty() || !std::ranges::all_of(digits, is_digit)) return std::nullopt;
    for (std::size_t i = 0; i < 9; ++i) nanoseconds = nanoseconds * 10 + (i < digits.size() ? digits[i] - '0' : 0);
  }
  std::int64_t days = sys_days{date}.time_since_epoch().count();
  return Instant{days * 86'400 + hour * 3600 + minute * 60 + second, nanoseconds};
}

// Bytes of the Unicode white-space character at the start of the text, or 0.
std::size_t white_space_at(std::string_view s) {
  static constexpr std::string_view kWhiteSpace[] = {
      "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00A0", "\u1680",
      "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
  for (std::string_view w : kWhiteSpace)
    if (s.starts_with(w)) return w.size();
  return 0;
}

// Nothing but Unicode white space.
bool blank(std::string_view s) {
  while (std::size_t n = white_space_at(s)) s.remove_prefix(n);
  return s.empty();
}

bool in_window(std::int64_t not_before, std::int64_t expires_at, std::int64_t now) {
  // Timestamps lie within the years 0 to 9999, so the difference cannot overflow.
  return expires_at - not_before <= kLongestWindowMs && not_before < expires_at && not_before <= now &&
         now < expires_at;
}

// The one runtime archive for this architecture; none when the manifest names
// none or more than one.
const Artifact *runtime_artifact(const std::vector<Artifact> &artifacts, std::string_view arch) {
  const Artifact *found = nullptr;
  for (const Artifact &a : artifacts) {
    if (a.platform != "darwin" || a.arch != arch || (a.kind && *a.kind != "runtime")) continue;
    if (found != nullptr) return nullptr;
    found = &a;
  }
  return found;
}

std::string lower(std::string s) {
  std::ranges::transform(s, s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return s;
}

// The release the manifest names, if its own rules hold at the time now.
Result<AcceptedRelease> candidate(const Manifest &m, std::string_view arch, std::int64_t now) {
  if (m.schemaVersion != 1 || m.halt || !known_channel(m.channel))
    return refuse("unsupported or halted release channel");
  if (!semver::parse(m.version)) return refuse("invalid release version");
  auto not_before = timestamp(m.notBefore);
  if (!not_before) return fail(not_before.error());
  auto expires_at = timestamp(m.expiresAt);
  if (!expires_at) return fail(expires_at.error());
  if (!in_window(*not_before, *expires_at, now)) return refuse("release freshness window is invalid or expired");
  if (m.rollback && (m.rollback->toVersion != m.version || blank(m.rollback->reason)))
    return refuse("signed rollback directive is invalid");
  const Artifact *runtime = runtime_artifact(m.artifacts, arch);
  if (runtime == nullptr) return refuse("signed release must name exactly one matching Mac runtime");
  if (!sha256::is_hex_digest(runtime->sha256) || runtime->sizeBytes == 0 || runtime->sizeBytes > kLargestArchive)
    return refuse("signed Mac archive identity is invalid");
  return AcceptedRelease{m.channel, m.version, lower(runtime->sha256), runtime->sizeBytes, *not_before};
}

// The candidate against what has been accepted: its channel's freshness
// floor, then the release in force, whatever its channel.
Result<> admissible(const AcceptedRelease &candidate, bool rollback, const TrustState &state) {
  if (auto entry = state.channels.find(candidate.channel); entry != state.channels.end()) {
    const AcceptedRelease &floor = entry->second;
    if (floor.notBeforeMs > candidate.notBeforeMs) return refuse("release replays the root-owned freshness floor");
    if (floor.notBeforeMs == candidate.notBeforeMs && !AcceptedRelease::eq(floor, candidate))
      return refuse("release equivocates at the accepted freshness floor");
  }
  if (!state.current) return {};
  // Both versions have parsed before: the candidate's by the manifest rules,
  // the current one by validate_state.
  int order = semver::compare(semver::parse(candidate.version).value(), semver::parse(state.current->version).value());
  if (order < 0 && !rollback) return refuse("runtime downgrade lacks explicit signed rollback authorization");
  if (order == 0 && candidate.archiveSha256 != state.current->archiveSha256)
    return refuse("runtime version is already bound to another archive");
  return {};
}

}  // namespace

bool AcceptedRelease::eq(const AcceptedRelease &a, const AcceptedRelease &b) {
  return a.archiveBytes == b.archiveBytes && a.notBeforeMs == b.notBeforeMs && a.channel == b.channel &&
         a.version == b.version && a.archiveSha256 == b.archiveSha256;
}

std::optional<TrustState> read_state(std::span<const std::uint8_t> bytes) {
  return json::read(bytes, state_record);
}

Result<> validate_state(const TrustState &state) {
  if (state.schemaVersion != 3 || (!state.channels.empty() && !state.current))
    return fail(Error::invalid_data("invalid root release trust state"));
  for (const auto &[key, entry] : state.channels)
    if (!sound_entry(key, entry)) return fail(Error::invalid_data("root release identity is corrupt"));
  if (!state.current) return {};
  auto entry = state.channels.find(state.current->channel);
  if (entry == state.channels.end() || !AcceptedRelease::eq(entry->second, *state.current))
    return fail(Error::invalid_data("root current generation differs from its accepted channel identity"));
  return {};
}

Result<std::string> write(const AcceptedRelease &release) {
  rapidjson::StringBuffer buffer(nullptr, 128);
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("channel");
  w.String(release.channel.data(), static_cast<rapidjson::SizeType>(release.channel.size()));
  w.Key("version");
  w.String(release.version.data(), static_cast<rapidjson::SizeType>(release.version.size()));
  w.Key("archiveSha256");
  w.String(release.archiveSha256.data(), static_cast<rapidjson::SizeType>(release.archiveSha256.size()));
  w.Key("archiveBytes");
  w.Uint64(release.archiveBytes);
  w.Key("notBeforeMs");
  w.Int64(release.notBeforeMs);
  if (!w.EndObject()) return fail(Error::other("release encode failed"));
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<Envelope> read_envelope(std::span<const std::uint8_t> bytes) {
  return json::read(bytes, envelope_record);
}

std::optional<Keys> read_keys(std::string_view text) {
  return json::read({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()}, keys_record);
}

std::optional<Manifest> read_manifest(std::span<const std::uint8_t> bytes) {
  return json::read(bytes, manifest_record);
}

Result<std::int64_t> timestamp(std::string_view text) {
  if (text.empty() || text.back() != 'Z') return refuse("release timestamp must be UTC");
  auto instant = utc_date_time(text);
  if (!instant) return refuse("invalid signed release timestamp");
  // Nanoseconds since the epoch divided by 10^6 toward zero: before the epoch,
  // a remainder below the millisecond rounds up.
  auto [seconds, nanoseconds] = *instant;
  return seconds * 1000 + nanoseconds / 1'000'000 + (seconds < 0 && nanoseconds % 1'000'000 != 0);
}

Result<std::int64_t> epoch_ms(std::chrono::system_clock::time_point now) {
  auto since = now.time_since_epoch();
  if (since < since.zero()) return fail(Error::other("invalid system clock"));
  return std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}

Result<AcceptedRelease> verify(std::span<const std::uint8_t> envelope, const TrustState &state,
                               std::string_view arch, std::int64_t now, std::string_view keys) {
  if (envelope.empty() || envelope.size() > ffi::kMaxEnvelope) return refuse("release envelope exceeds bounds");
  if (auto sound = validate_state(state); !sound) return fail(sound.error());
  auto signed_envelope = read_envelope(envelope);
  if (!signed_envelope) return refuse("invalid release envelope");
  auto key_set = read_keys(keys);
  if (!key_set) return refuse("invalid embedded release keys");
  auto payload = base64(signed_envelope->payload);
  if (!payload) return refuse("invalid release payload encoding");
  if (!trusted(*signed_envelope, *key_set, *payload)) return refuse("release signature is not trusted");
  auto manifest = read_manifest(*payload);
  if (!manifest) return refuse("invalid signed release payload");
  auto accepted = candidate(*manifest, arch, now);
  if (!accepted) return accepted;
  if (auto admitted = admissible(*accepted, manifest->rollback.has_value(), state); !admitted)
    return fail(admitted.error());
  return accepted;
}

}  // namespace vela::release
