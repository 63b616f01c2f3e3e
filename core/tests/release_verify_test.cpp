// Release verification, manifest timestamps and the trust state. Envelopes
// are signed by the Node tool.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "documents.hpp"
#include "release.hpp"
#include "release_signer.hpp"
#include "vela_core.h"

namespace vela::release {
namespace {

using test::bytes;
using test::Release;
using test::trustState;
using test::trustStateOf;

constexpr std::int64_t kNow = 1772323200000;  // 2026-03-01T00:00:00Z
const Release kNamed;                         // what the default manifest names
const std::string kDigest = kNamed.digest, kDigestUpper = "0123456789ABCDEF" + kDigest.substr(16);
const std::string kEmptyState = trustState();

constexpr const char *kHalted = "unsupported or halted release channel", *kVersion = "invalid release version";
constexpr const char *kTimestamp = "invalid signed release timestamp", *kUtc = "release timestamp must be UTC";
constexpr const char *kWindow = "release freshness window is invalid or expired";
constexpr const char *kRollback = "signed rollback directive is invalid";
constexpr const char *kRuntime = "signed release must name exactly one matching Mac runtime";
constexpr const char *kIdentity = "signed Mac archive identity is invalid";
constexpr const char *kReplay = "release replays the root-owned freshness floor";
constexpr const char *kEquivocates = "release equivocates at the accepted freshness floor";
constexpr const char *kDowngrade = "runtime downgrade lacks explicit signed rollback authorization";
constexpr const char *kBound = "runtime version is already bound to another archive";

std::string artifact(const std::string &sha = kDigest, const std::string &size = "1048576",
                     const std::string &kind = R"("runtime")", const std::string &platform = "darwin",
                     const std::string &arch = "arm64") {
  return R"({"kind":)" + kind + R"(,"platform":")" + platform + R"(","arch":")" + arch + R"(","sha256":")" + sha +
         R"(","sizeBytes":)" + size + "}";
}

struct Manifest {
  std::string schema = "1", channel = "stable", version = "1.2.3";
  std::string not_before = "2026-02-15T00:00:00Z", expires_at = "2026-03-10T00:00:00Z";
  std::string more{};  // further members, each after a comma
  std::string artifacts = artifact();

  std::string json() const {
    return R"({"schemaVersion":)" + schema + R"(,"channel":")" + channel + R"(","version":")" + version +
           R"(","notBefore":")" + not_before + R"(","expiresAt":")" + expires_at + R"(","artifacts":[)" + artifacts +
           "]" + more + "}";
  }
};

std::string rollback(const std::string &to, const std::string &reason = "fix") {
  return R"(,"rollback":{"toVersion":")" + to + R"(","reason":")" + reason + R"("})";
}

// The release current, its freshness floor shifted by ms from the candidate's
// (-1: the floor passes).
std::string shifted(Release current, std::int64_t ms) {
  current.notBeforeMs = kNamed.notBeforeMs + ms;
  return trustStateOf(current);
}

std::string keys(std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
  std::string text;
  for (auto [id, key] : entries)
    text += (text.empty() ? "" : ",") + std::string(R"({"keyId":")") + std::string(id) + R"(","publicKey":")" +
            std::string(key) + R"("})";
  return R"({"keys":[)" + text + "]}";
}
const std::string kDevKeys = keys({{"vela-release-2026", signer::kDevPublicKey}});

std::string outcome(const Result<AcceptedRelease> &r) { return r ? "" : r.error().message; }

Result<AcceptedRelease> verify_at(std::string_view envelope, const std::string &trust,
                                  std::string_view key_text = kDevKeys) {
  return verify(bytes(envelope), read_state(bytes(trust)).value(), "arm64", kNow, key_text);
}

struct Case {
  const char *name;
  Manifest manifest;
  const char *refusal;  // none: accepted
  std::string trust = kEmptyState;
};

// One row per rule; the rows named "a_before_b" break two rules each, and the
// earlier one is reported.
TEST(Verify, Rules) {
  const Case cases[] = {
      {"schema_2", {.schema = "2"}, kHalted},
      {"schema_0", {.schema = "0"}, kHalted},
      {"halt_zero", {.more = R"(,"halt":0)"}, kHalted},
      {"thirty_days_1ms", {.not_before = "2026-02-01T00:00:00Z", .expires_at = "2026-03-03T00:00:00.001Z"}, kWindow},
      {"now_1ms_before_not_before", {.not_before = "2026-03-01T00:00:00.001Z"}, kWindow},
      {"now_at_expiry", {.expires_at = "2026-03-01T00:00:00Z"}, kWindow},
      {"other_target", {.more = rollback("1.2.2")}, kRollback},
      {"reason_white_space", {.more = rollback("1.2.3", " \\t\\u00a0\\u3000\\u2028\\u0085")}, kRollback},
      {"one_among_others",
       {.artifacts = artifact(kDigest, "1", R"("symbols")") + "," + artifact(kDigest, "1", "null", "linux") + "," +
                     artifact(kDigest, "1", "null", "darwin", "x86_64") + "," + artifact()},
       nullptr},
      {"size_0", {.artifacts = artifact(kDigest, "0")}, kIdentity},
      {"size_2_gib_and_1", {.artifacts = artifact(kDigest, "2147483649")}, kIdentity},
      {"floor_one_ms_above", {}, kReplay, shifted({.version = "1.0.0"}, 1)},
      {"floor_other_version_text", {}, kEquivocates, trustStateOf({.version = "1.2.3+b"})},
      {"floor_other_size", {}, kEquivocates, trustStateOf({.size = 7})},
      {"floor_upper_case_digest", {}, kEquivocates, trustStateOf({.digest = kDigestUpper})},
      {"beta_below_stable", {.channel = "beta"}, kDowngrade, shifted({.version = "2.0.0"}, -1)},
      {"same_version_archive_in_upper_case", {}, kBound, shifted({.digest = kDigestUpper}, -1)},
      {"halt_before_version", {.version = "x", .more = R"(,"halt":true)"}, kHalted},
      {"version_before_timestamp", {.version = "x", .not_before = "x"}, kVersion},
      {"not_before_before_expiry", {.not_before = "2026-02-30T00:00:00Z", .expires_at = "x"}, kTimestamp},
      {"timestamp_before_window", {.not_before = "2026-03-05T00:00:00Z", .expires_at = "x"}, kUtc},
      {"window_before_rollback", {.expires_at = "2026-02-16T00:00:00Z", .more = rollback("x")}, kWindow},
      {"rollback_before_runtime", {.more = rollback("x"), .artifacts = ""}, kRollback},
      {"runtime_before_identity", {.artifacts = artifact("x") + "," + artifact("x")}, kRuntime},
      {"identity_before_floor", {.artifacts = artifact("x")}, kIdentity, shifted(kNamed, 1)},
      {"floor_before_current", {}, kReplay, shifted({.version = "2.0.0"}, 1)},
  };
  for (const Case &c : cases) {
    auto result = verify_at(signer::sign(c.manifest.json()), c.trust);
    EXPECT_EQ(outcome(result), c.refusal ? c.refusal : "") << c.name;
    EXPECT_TRUE(result || result.error().kind == Kind::invalid_data) << c.name;
  }
}

std::string signature(std::string_view sig, std::string_view id = "vela-release-2026",
                      std::string_view algorithm = "ed25519") {
  return R"({"keyId":")" + std::string(id) + R"(","algorithm":")" + std::string(algorithm) + R"(","signature":")" +
         std::string(sig) + R"("})";
}

std::string envelope(std::string_view payload, const std::vector<std::string> &signatures) {
  std::string list;
  for (const auto &s : signatures) list += (list.empty() ? "" : ",") + s;
  return R"({"payload":")" + std::string(payload) + R"(","signatures":[)" + list + "]}";
}

// The bound, the order of the readings, the payload's encoding and the
// signature search.
TEST(Verify, Envelope) {
  const std::string env = signer::sign(Manifest{}.json()), dev_key(signer::kDevPublicKey);
  constexpr const char *kBounds = "release envelope exceeds bounds", *kEncoding = "invalid release payload encoding";
  constexpr const char *kUntrusted = "release signature is not trusted";
  const auto [payload, signatures] = read_envelope(bytes(env)).value();
  const std::string dev = signatures.at(0).signature, good = signature(dev);
  const std::string unknown_id = signature(dev, "vela-release-2025");
  const std::string capital_e = signature(dev, "vela-release-2026", "Ed25519");
  const std::string same_id = keys({{"vela-release-2026", signer::kOtherPublicKey}, {"vela-release-2026", dev_key}});
  const std::string long_key = keys({{"vela-release-2026", dev_key.substr(0, 43) + "A"}});  // a zero byte more
  struct Row {
    const char *name;
    std::string env;
    const char *refusal;
    std::string trust = kEmptyState, key_text = kDevKeys;
  };
  const Row rows[] = {
      {"empty", "", kBounds},
      {"one_byte_more", env + std::string(2'097'153 - env.size(), ' '), kBounds},
      {"state_before_envelope", "x", "invalid root release trust state", R"({"schemaVersion":4,"channels":{}})"},
      {"envelope_before_keys", "x", "invalid release envelope", kEmptyState, "{"},
      {"keys_before_payload", envelope("=", {}), "invalid embedded release keys", kEmptyState, "{"},
      {"payload_unpadded", envelope("Zm8", {}), kEncoding},
      {"payload_after_padding", envelope("Zm9vYg==Zm9v", {}), kEncoding},
      {"unknown_id_and_capital_e", envelope(payload, {unknown_id, capital_e}), kUntrusted},
      {"unknown_id_capital_e_then_good", envelope(payload, {unknown_id, capital_e, good}), ""},
      {"signature_65_bytes", envelope(payload, {signature(dev.substr(0, 86) + "A=")}), kUntrusted},  // a zero byte more
      {"key_33_bytes", envelope(payload, {good}), kUntrusted, kEmptyState, long_key},
      {"same_id_second_key", envelope(payload, {good}), kUntrusted, kEmptyState, same_id},
  };
  for (const Row &row : rows) EXPECT_EQ(outcome(verify_at(row.env, row.trust, row.key_text)), row.refusal) << row.name;
}

// The export: the built-in key set, the wall clock, "arm64". Only a build
// whose built-in key set is the development key accepts what the tool signs.
TEST(VerifyExport, OutputAndRefusals) {
  if (read_keys(kBuiltInKeys)->keys[0].publicKey != signer::kDevPublicKey)
    GTEST_SKIP() << "the built-in key set holds another signer's key";
  const std::time_t now = std::time(nullptr);
  const std::string env =
      signer::sign(Manifest{.not_before = signer::utc(now - 3600), .expires_at = signer::utc(now + 3600)}.json());
  const Release accepted{.notBeforeMs = (now - 3600) * 1000};
  const std::size_t exact = accepted.json().size() + 1;
  char out[8192];
  std::fill(std::begin(out), std::end(out), 'x');
  auto call = [&](const std::string &trust, std::size_t capacity) {
    return vela_core_verify_release(bytes(env).data(), env.size(), bytes(trust).data(), trust.size(), out, capacity);
  };
  EXPECT_EQ(call(kEmptyState, exact - 1), 1);
  EXPECT_EQ(call(trustStateOf({.version = "1.0.0", .notBeforeMs = accepted.notBeforeMs + 1}), sizeof out), 1);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'x')) << "a refusal writes nothing";
  ASSERT_EQ(call(kEmptyState, exact), 0);
  EXPECT_EQ(std::string(out, exact + 1), accepted.json() + '\0' + 'x');
  EXPECT_EQ(vela_core_verify_release(nullptr, 5, bytes(kEmptyState).data(), kEmptyState.size(), out, sizeof out), 1);
}

TEST(ReleaseRecords, Timestamp) {
  EXPECT_EQ(timestamp("2026-01-01T00:00:00.123456789999Z").value_or(0), 1767225600123);
  auto refusal = [](const char *text) {
    auto ms = timestamp(text);
    return ms || ms.error().kind != Kind::invalid_data ? "" : std::string(ms.error().message);
  };
  EXPECT_EQ(refusal(""), kUtc);
  for (const char *text : {"Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z", "2016-12-31T23:59:60Z",
                           "2026-01-01 00:00:00Z", "2026-01-01T00:00:00.Z", "2026-01-01T00:00:00,5Z",
                           "2026-01-01T00:00:00.5aZ"})
    EXPECT_EQ(refusal(text), kTimestamp) << text;
}

// Each rule through the reader and validation, and through the export.
TEST(TrustState, Rules) {
  constexpr const char *kUnreadable = "unreadable", *kSchema = "invalid root release trust state",
                       *kCorrupt = "root release identity is corrupt",
                       *kDiffers = "root current generation differs from its accepted channel identity";
  const std::string stable = R"("stable":)" + kNamed.json();
  const Release beta{.channel = "beta"};
  std::string oversized = trustState();
  oversized.resize(2'097'153, ' ');  // exactly 2 MiB is the daemon's trust tests' row
  const std::tuple<const char *, std::string, const char *> rows[] = {
      {"extra_top_key", R"({"schemaVersion":3,"channels":{},"x":1})", kUnreadable},
      {"extra_entry_key", trustState(stable.substr(0, stable.size() - 1) + R"(,"x":1})", kNamed.json()), kUnreadable},
      {"entry_without_current", trustState(stable), kSchema},
      {"key_differs_from_channel", trustState(R"("stable":)" + beta.json(), beta.json()), kCorrupt},
      {"channel_capitalised", trustStateOf({.channel = "Stable"}), kCorrupt},
      {"version_with_v", trustStateOf({.version = "v1.2.3"}), kCorrupt},
      {"digest_g", trustStateOf({.digest = std::string(63, 'a') + "g"}), kCorrupt},
      {"bytes_zero", trustStateOf({.size = 0}), kCorrupt},
      {"current_one_ms_off", trustState(stable, Release{.notBeforeMs = 1}.json()), kDiffers},
      {"current_on_other_channel", trustState(stable, beta.json()), kDiffers},
      {"export_bound", oversized, ""},  // sound, but beyond the export's bound
  };
  for (const auto &[name, doc, expected] : rows) {
    auto parsed = read_state(bytes(doc));
    auto sound = parsed ? validate_state(*parsed) : Result<>{};
    EXPECT_EQ(!parsed ? kUnreadable : sound ? "" : sound.error().message, std::string(expected)) << name;
    EXPECT_EQ(vela_core_validate_trust(bytes(doc).data(), doc.size()), 1) << name;
  }
}

}  // namespace
}  // namespace vela::release
