// Release verification: every refusal in its order, the signature search and
// the export. Envelopes are signed by the Node tool.
#include <gtest/gtest.h>
#include <sodium.h>

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

constexpr const char *kHalted = "unsupported or halted release channel";
constexpr const char *kVersion = "invalid release version";
constexpr const char *kWindow = "release freshness window is invalid or expired";
constexpr const char *kRollback = "signed rollback directive is invalid";
constexpr const char *kRuntime = "signed release must name exactly one matching Mac runtime";
constexpr const char *kIdentity = "signed Mac archive identity is invalid";
constexpr const char *kReplay = "release replays the root-owned freshness floor";
constexpr const char *kEquivocates = "release equivocates at the accepted freshness floor";
constexpr const char *kUntrusted = "release signature is not trusted";

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
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
std::string case_name(const testing::TestParamInfo<Case> &p) { return p.param.name; }

class VerifyRules : public testing::TestWithParam<Case> {};

TEST_P(VerifyRules, Outcome) {
  const Case &c = GetParam();
  auto result = verify_at(signer::sign(c.manifest.json()), c.trust);
  EXPECT_EQ(outcome(result), c.refusal ? c.refusal : "") << c.manifest.json();
  EXPECT_TRUE(result || result.error().kind == Kind::invalid_data);
}

INSTANTIATE_TEST_SUITE_P(
    ManifestFields, VerifyRules,
    testing::Values(Case{"schema_2", {.schema = "2"}, kHalted}, Case{"schema_0", {.schema = "0"}, kHalted},
                    Case{"halt_zero", {.more = R"(,"halt":0)"}, kHalted},
                    Case{"channel_capitalised", {.channel = "Stable"}, kHalted},
                    Case{"channel_beta", {.channel = "beta"}, nullptr},
                    Case{"channel_internal", {.channel = "internal"}, nullptr},
                    Case{"version_leading_v", {.version = "v1.2.3"}, kVersion}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Window, VerifyRules,
    testing::Values(
        Case{"thirty_days", {.not_before = "2026-02-01T00:00:00Z", .expires_at = "2026-03-03T00:00:00Z"}, nullptr},
        Case{"thirty_days_and_1ms", {.not_before = "2026-02-01T00:00:00Z", .expires_at = "2026-03-03T00:00:00.001Z"},
             kWindow},
        Case{"now_at_not_before", {.not_before = "2026-03-01T00:00:00Z"}, nullptr},
        Case{"now_1ms_before_not_before", {.not_before = "2026-03-01T00:00:00.001Z"}, kWindow},
        Case{"now_at_expiry", {.expires_at = "2026-03-01T00:00:00Z"}, kWindow},
        Case{"now_1ms_before_expiry", {.expires_at = "2026-03-01T00:00:00.001Z"}, nullptr}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Rollback, VerifyRules,
    testing::Values(Case{"valid", {.more = rollback("1.2.3", " fix ")}, nullptr},
                    Case{"other_target", {.more = rollback("1.2.2")}, kRollback},
                    Case{"reason_white_space", {.more = rollback("1.2.3", " \\t\\u00a0\\u3000\\u2028\\u0085")}, kRollback},
                    Case{"reason_zero_width_space", {.more = rollback("1.2.3", "\\u200b")}, nullptr}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Artifacts, VerifyRules,
    testing::Values(
        Case{"none", {.artifacts = ""}, kRuntime},
        Case{"kind_null_and_runtime", {.artifacts = artifact(kDigest, "1", "null") + "," + artifact()}, kRuntime},
        Case{"kind_capitalised", {.artifacts = artifact(kDigest, "1", R"("Runtime")")}, kRuntime},
        Case{"one_among_others",
             {.artifacts = artifact(kDigest, "1", R"("symbols")") + "," + artifact(kDigest, "1", "null", "linux") +
                           "," + artifact(kDigest, "1", "null", "darwin", "x86_64") + "," + artifact()},
             nullptr},
        Case{"digest_63", {.artifacts = artifact(kDigest.substr(1))}, kIdentity},
        Case{"size_0", {.artifacts = artifact(kDigest, "0")}, kIdentity},
        Case{"size_2_gib_and_1", {.artifacts = artifact(kDigest, "2147483649")}, kIdentity}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    AcceptedState, VerifyRules,
    testing::Values(
        Case{"floor_one_ms_above", {}, kReplay, shifted({.version = "1.0.0"}, 1)},
        Case{"floor_identical", {}, nullptr, trustStateOf(kNamed)},
        Case{"floor_other_version_text", {}, kEquivocates, trustStateOf({.version = "1.2.3+b"})},
        Case{"floor_other_size", {}, kEquivocates, trustStateOf({.size = 7})},
        Case{"floor_upper_case_digest", {}, kEquivocates, trustStateOf({.digest = kDigestUpper})},
        Case{"floor_higher_on_other_channel", {}, nullptr, shifted({.channel = "beta", .version = "1.0.0"}, 1)},
        Case{"beta_below_stable", {.channel = "beta"}, "runtime downgrade lacks explicit signed rollback authorization",
             shifted({.version = "2.0.0"}, -1)},
        Case{"beta_below_stable_rolled_back", {.channel = "beta", .more = rollback("1.2.3")}, nullptr,
             shifted({.version = "2.0.0"}, -1)},
        Case{"build_b2_over_b1_other_archive", {.version = "1.2.3+b2"}, nullptr,
             shifted({.version = "1.2.3+b1", .digest = std::string(64, 'f')}, -1)},
        Case{"same_version_archive_in_upper_case", {}, "runtime version is already bound to another archive",
             shifted({.digest = kDigestUpper}, -1)}),
    case_name);

// Each row breaks two rules; the earlier one is reported.
INSTANTIATE_TEST_SUITE_P(
    Order, VerifyRules,
    testing::Values(
        Case{"halt_before_version", {.version = "x", .more = R"(,"halt":true)"}, kHalted},
        Case{"version_before_timestamp", {.version = "x", .not_before = "x"}, kVersion},
        Case{"not_before_before_expiry", {.not_before = "2026-02-30T00:00:00Z", .expires_at = "x"},
             "invalid signed release timestamp"},
        Case{"timestamp_before_window", {.not_before = "2026-03-05T00:00:00Z", .expires_at = "x"},
             "release timestamp must be UTC"},
        Case{"window_before_rollback", {.expires_at = "2026-02-16T00:00:00Z", .more = rollback("x")}, kWindow},
        Case{"rollback_before_runtime", {.more = rollback("x"), .artifacts = ""}, kRollback},
        Case{"runtime_before_identity", {.artifacts = artifact("x") + "," + artifact("x")}, kRuntime},
        Case{"identity_before_floor", {.artifacts = artifact("x")}, kIdentity, shifted(kNamed, 1)},
        Case{"floor_before_current", {}, kReplay, shifted({.version = "2.0.0"}, 1)}),
    case_name);

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

std::vector<std::uint8_t> decode(std::string_view b64) {
  std::vector<std::uint8_t> out(b64.size() + 1);  // never empty: libsodium takes no null buffer
  std::size_t n = 0;
  sodium_base642bin(out.data(), out.size(), b64.data(), b64.size(), nullptr, &n, nullptr,
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(n);
  return out;
}

std::string encode(std::span<const std::uint8_t> b) {
  std::string out(sodium_base64_ENCODED_LEN(b.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), b.data(), b.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the NUL
  return out;
}

// The bound, the order of the readings, and the payload's encoding.
TEST(Verify, BeforeTheSignature) {
  std::string largest = signer::sign(Manifest{}.json());
  largest.resize(2'097'152, ' ');
  constexpr const char *kBounds = "release envelope exceeds bounds", *kEncoding = "invalid release payload encoding";
  struct Row {
    const char *name;
    std::string env;
    const char *refusal;
    std::string trust = kEmptyState, key_text = kDevKeys;
  };
  const Row rows[] = {
      {"empty", "", kBounds},
      {"largest", largest, ""},
      {"one_byte_more", largest + " ", kBounds},
      {"state_before_envelope", "x", "invalid root release trust state", R"({"schemaVersion":4,"channels":{}})"},
      {"envelope_before_keys", "x", "invalid release envelope", kEmptyState, "{"},
      {"keys_before_payload", envelope("=", {}), "invalid embedded release keys", kEmptyState, "{"},
      {"payload_empty", envelope("", {}), kUntrusted},
      {"payload_unpadded", envelope("Zm8", {}), kEncoding},
      {"payload_spare_bits", envelope("Zm9vYh==", {}), kEncoding},
      {"payload_escaped_line_feed", envelope("Zm9v\\nYg==", {}), kEncoding},
      {"payload_after_padding", envelope("Zm9vYg==Zm9v", {}), kEncoding},
      {"payload_url_alphabet", envelope("Zm9v-_8=", {}), kEncoding},
  };
  for (const Row &row : rows) EXPECT_EQ(outcome(verify_at(row.env, row.trust, row.key_text)), row.refusal) << row.name;
}

// Base64 of a detached signature of the manifest, from the tool.
std::string sign(std::string_view manifest, const std::string &key = signer::kDevKey) {
  return read_envelope(bytes(signer::sign(manifest, key))).value().signatures.at(0).signature;
}

// The same signature with the group order L added to its scalar S.
std::string plus_order(std::string_view sig) {
  static constexpr std::uint8_t L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                         0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0x10};
  auto b = decode(sig);
  sodium_add(b.data() + 32, L, 32);  // little-endian, as S is
  return encode(b);
}

TEST(Verify, SignatureSearch) {
  const std::string manifest = Manifest{}.json(), payload = encode(bytes(manifest));
  const std::string dev = sign(manifest), good = signature(dev), dev_key(signer::kDevPublicKey);
  const std::string unknown_id = signature(dev, "vela-release-2025");
  const std::string capital_e = signature(dev, "vela-release-2026", "Ed25519");
  std::string spare_bits = dev;  // 64 bytes leave 4 spare bits in the last character
  spare_bits[85] ^= 1;
  std::string loose_key = dev_key;  // 32 bytes leave 2 spare bits
  loose_key[42] ^= 1;
  const std::string same_id = keys({{"vela-release-2026", signer::kOtherPublicKey}, {"vela-release-2026", dev_key}});
  struct Row {
    const char *name;
    std::vector<std::string> signatures;
    std::string key_text = kDevKeys;
    bool trusted = false;
  };
  const Row rows[] = {
      {"none", {}},
      {"unknown_id_and_capital_e", {unknown_id, capital_e}},
      {"unknown_id_capital_e_then_good", {unknown_id, capital_e, good}, kDevKeys, true},
      {"over_base64_text", {signature(sign(payload))}},
      {"over_other_manifest", {signature(sign(Manifest{.version = "1.2.4"}.json()))}},
      {"signature_63_bytes_then_good", {signature(dev.substr(0, 84)), good}, kDevKeys, true},
      {"signature_65_bytes", {signature(dev.substr(0, 86) + "A=")}},  // a zero byte more
      {"signature_spare_bits", {signature(spare_bits)}},
      {"signature_scalar_plus_order", {signature(plus_order(dev))}},
      {"key_33_bytes", {good}, keys({{"vela-release-2026", dev_key.substr(0, 43) + "A"}})},  // a zero byte more
      {"key_spare_bits", {good}, keys({{"vela-release-2026", loose_key}})},
      {"same_id_second_key", {good}, same_id},
      {"same_id_first_key", {signature(sign(manifest, signer::kOtherKey))}, same_id, true},
  };
  for (const Row &row : rows)
    EXPECT_EQ(outcome(verify_at(envelope(payload, row.signatures), kEmptyState, row.key_text)),
              row.trusted ? "" : kUntrusted)
        << row.name;
}

// RFC 8032, section 7.1: TEST 1, 2, 3 and SHA(abc), as hexadecimal key,
// message and signature. The messages are no manifests, so a trusted
// signature gets exactly as far as the manifest reading.
TEST(Verify, Rfc8032Vectors) {
  constexpr const char *kVectors[][3] = {
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
      {"ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
       "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
  };
  auto base64 = [](std::string_view hex) {
    std::vector<std::uint8_t> b(hex.size() / 2 + 1);  // never empty: libsodium takes no null buffer
    std::size_t n = 0;
    sodium_hex2bin(b.data(), b.size(), hex.data(), hex.size(), nullptr, &n, nullptr);
    return encode(std::span(b.data(), n));
  };
  for (const auto &[key, message, sig] : kVectors)
    EXPECT_EQ(outcome(verify_at(envelope(base64(message), {signature(base64(sig), "rfc8032")}), kEmptyState,
                                keys({{"rfc8032", base64(key)}}))),
              "invalid signed release payload")
        << sig;
}

TEST(Verify, Candidate) {
  Manifest m{.version = "1.2.3-rc.1+build.5", .not_before = "2026-02-15T00:00:00.9999Z",
             .artifacts = artifact(kDigestUpper, "2147483648", "null")};
  auto accepted = verify_at(signer::sign(m.json()), kEmptyState);
  ASSERT_TRUE(accepted) << accepted.error().message;
  EXPECT_EQ(*write(*accepted), R"({"channel":"stable","version":"1.2.3-rc.1+build.5","archiveSha256":")" + kDigest +
                                   R"(","archiveBytes":2147483648,"notBeforeMs":1771113600999})");
}

// The export: the built-in key set, the wall clock, "arm64". Releases signed
// with the development key are accepted only by a build that sets no other
// signer's key.
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
  EXPECT_EQ(call(trustStateOf(accepted), sizeof out), 0);
  EXPECT_EQ(vela_core_verify_release(nullptr, 5, bytes(kEmptyState).data(), kEmptyState.size(), out, sizeof out), 1);
}

}  // namespace
}  // namespace vela::release
