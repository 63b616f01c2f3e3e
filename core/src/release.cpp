#include "release.hpp"

#include <algorithm>

#include "rapidjson.hpp"
#include "semver.hpp"

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

bool is_hex_digest(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

bool known_channel(std::string_view c) { return c == "beta" || c == "internal" || c == "stable"; }

bool sound_entry(const std::string &key, const AcceptedRelease &r) {
  return key == r.channel && known_channel(r.channel) && semver::parse(r.version) &&
         is_hex_digest(r.archiveSha256) && r.archiveBytes != 0;
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

}  // namespace vela::release
