// Reading the release records (envelope, key set, manifest) and the two
// conversions of time: manifest timestamps and the wall clock.
#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

#include "release.hpp"

namespace vela::release {
namespace {

std::span<const std::uint8_t> bytes(const std::string &s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

struct Row {
  const char *name;
  std::string doc;
  bool readable;
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }
std::string row_name(const testing::TestParamInfo<Row> &p) { return p.param.name; }

const std::string kSig = R"({"keyId":"k","algorithm":"ed25519","signature":"c2ln"})";

class EnvelopeReading : public testing::TestWithParam<Row> {};
TEST_P(EnvelopeReading, Readable) { EXPECT_EQ(read_envelope(bytes(GetParam().doc)).has_value(), GetParam().readable); }
INSTANTIATE_TEST_SUITE_P(
    Rules, EnvelopeReading,
    testing::Values(
        Row{"object", R"({"payload":"cA==","signatures":[)" + kSig + "]}", true},
        Row{"extra_nested_object", R"({"x":{"a":[1,{"b":null}]},"payload":"","signatures":[]})", true},
        Row{"extra_key_twice", R"({"x":1,"x":"y","payload":"","signatures":[]})", true},
        Row{"empty_signatures", R"({"payload":"","signatures":[]})", true},
        Row{"signatures_missing", R"({"payload":""})", false},
        Row{"signatures_null", R"({"payload":"","signatures":null})", false},
        Row{"payload_twice", R"({"payload":"","payload":"","signatures":[]})", false},
        Row{"payload_capitalised", R"({"Payload":"","signatures":[]})", false},
        Row{"payload_escaped_key", R"({"\u0070ayload":"","signatures":[]})", true},
        Row{"payload_number", R"({"payload":1,"signatures":[]})", false},
        Row{"payload_array", R"({"payload":[],"signatures":[]})", false},
        Row{"payload_lone_surrogate", R"({"payload":"\ud800","signatures":[]})", false},
        Row{"signature_without_algorithm", R"({"payload":"","signatures":[{"keyId":"k","signature":""},)" + kSig + "]}",
            false},
        Row{"signature_not_object", R"({"payload":"","signatures":["x"]})", false},
        Row{"signature_array_form", R"({"payload":"","signatures":[["k","ed25519","c2ln"]]})", true},
        Row{"signature_array_short", R"({"payload":"","signatures":[["k","ed25519"]]})", false},
        Row{"signature_capital_algorithm",
            R"({"payload":"","signatures":[{"keyId":"k","algorithm":"Ed25519","signature":""}]})", true},
        Row{"array_form", R"(["cA==",[)" + kSig + "]]", true},
        Row{"array_form_short", R"(["cA=="])", false},
        Row{"array_form_long", R"(["cA==",[],1])", false},
        Row{"trailing_whitespace", "{\"payload\":\"\",\"signatures\":[]} \t\r\n", true},
        Row{"trailing_character", R"({"payload":"","signatures":[]}x)", false},
        Row{"byte_order_mark", "\xEF\xBB\xBF{\"payload\":\"\",\"signatures\":[]}", false},
        Row{"skipped_value_malformed", R"({"x":[1,],"payload":"","signatures":[]})", false}),
    row_name);

TEST(EnvelopeReading, Values) {
  auto e = read_envelope(bytes(R"({"payload":"\/\/8=","signatures":[["a","b","c"],)" + kSig + "]}"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->payload, "//8=");  // an escaped solidus is a solidus
  ASSERT_EQ(e->signatures.size(), 2u);
  EXPECT_EQ(e->signatures[0].keyId, "a");
  EXPECT_EQ(e->signatures[1].signature, "c2ln");
}

class KeysReading : public testing::TestWithParam<Row> {};
TEST_P(KeysReading, Readable) { EXPECT_EQ(read_keys(GetParam().doc).has_value(), GetParam().readable); }
INSTANTIATE_TEST_SUITE_P(
    Rules, KeysReading,
    testing::Values(Row{"object", R"({"keys":[{"keyId":"a","publicKey":"b"}]})", true},
                    Row{"empty", R"({"keys":[]})", true},
                    Row{"extra_keys", R"({"v":1,"keys":[{"keyId":"a","x":[],"publicKey":"b"}]})", true},
                    Row{"array_forms", R"([[["a","b"]]])", true},
                    Row{"key_without_public_key", R"({"keys":[{"keyId":"a"}]})", false},
                    Row{"keys_missing", R"({})", false}, Row{"not_json", "keys", false}),
    row_name);

TEST(KeysReading, BuiltInSet) {
  auto keys = read_keys(kBuiltInKeys);
  ASSERT_TRUE(keys);
  ASSERT_EQ(keys->keys.size(), 1u);
  EXPECT_EQ(keys->keys[0].keyId, "vela-release-2026");
  unsigned char key[33];
  std::size_t length = 0;
  const std::string &text = keys->keys[0].publicKey;
  ASSERT_EQ(sodium_base642bin(key, sizeof key, text.data(), text.size(), nullptr, &length, nullptr,
                              sodium_base64_VARIANT_ORIGINAL),
            0);
  EXPECT_EQ(length, 32u);
}

// A manifest with every field; `extra` goes after the artifacts.
// The members of a manifest but its artifacts and schema version.
const std::string kMembers = R"("channel":"c","version":"v","notBefore":"a","expiresAt":"b")";

// A manifest with every field; `extra` goes after the artifacts.
std::string manifest(const std::string &artifact = R"({"platform":"p","arch":"a","sha256":"s","sizeBytes":1})",
                     const std::string &extra = "") {
  return R"({"schemaVersion":1,)" + kMembers + R"(,"artifacts":[)" + artifact + "]" + extra + "}";
}
// A manifest whose one artifact has the size member and the others given.
std::string artifact_with(const std::string &members) {
  return manifest(R"({"platform":"p","arch":"a","sha256":"s",)" + members + "}");
}
std::string schema(const std::string &value) {
  return R"({"schemaVersion":)" + value + "," + kMembers + R"(,"artifacts":[]})";
}

class ManifestReading : public testing::TestWithParam<Row> {};
TEST_P(ManifestReading, Readable) { EXPECT_EQ(read_manifest(bytes(GetParam().doc)).has_value(), GetParam().readable); }
INSTANTIATE_TEST_SUITE_P(
    Rules, ManifestReading,
    testing::Values(
        Row{"full", manifest(), true},
        Row{"halt_null", manifest("", R"(,"halt":null)"), true},
        Row{"halt_twice_null", manifest("", R"(,"halt":null,"halt":null)"), false},
        Row{"rollback_null", manifest("", R"(,"rollback":null)"), true},
        Row{"rollback_array", manifest("", R"(,"rollback":["1.2.3","r"])"), true},
        Row{"rollback_extra_key", manifest("", R"(,"rollback":{"toVersion":"1","reason":"r","x":1})"), false},
        Row{"rollback_without_reason", manifest("", R"(,"rollback":{"toVersion":"1"})"), false},
        Row{"rollback_array_long", manifest("", R"(,"rollback":["1","r",null])"), false},
        Row{"extra_key_twice", manifest("", R"(,"x":{},"x":[])"), true},
        Row{"artifact_extra_key", artifact_with(R"("sizeBytes":1,"x":[])"), true},
        Row{"artifact_kind_null", artifact_with(R"("sizeBytes":1,"kind":null)"), true},
        Row{"artifact_kind_number", artifact_with(R"("sizeBytes":1,"kind":1)"), false},
        Row{"artifact_without_arch", manifest(R"({"platform":"p","sha256":"s","sizeBytes":1})"), false},
        Row{"artifact_array", manifest(R"([null,"p","a","s",1])"), true},
        Row{"artifact_array_short", manifest(R"([null,"p","a","s"])"), false},
        Row{"artifact_null", manifest("null"), false},
        Row{"artifacts_empty", manifest(""), true},
        Row{"artifacts_missing", R"({"schemaVersion":1,)" + kMembers + "}", false},
        Row{"artifacts_null", R"({"schemaVersion":1,)" + kMembers + R"(,"artifacts":null})", false},
        Row{"schema_1", schema("1"), true},
        Row{"schema_1_0", schema("1.0"), false},
        Row{"schema_1e0", schema("1e0"), false},
        Row{"schema_minus_1", schema("-1"), false},
        Row{"schema_minus_0", schema("-0"), false},
        Row{"schema_string", schema(R"("1")"), false},
        Row{"schema_u32_max", schema("4294967295"), true},
        Row{"schema_above_u32", schema("4294967296"), false},
        Row{"schema_twice", schema(R"(1,"schemaVersion":1)"), false},
        Row{"size_zero", artifact_with(R"("sizeBytes":0)"), true},
        Row{"size_u64_max", artifact_with(R"("sizeBytes":18446744073709551615)"), true},
        Row{"size_above_u64", artifact_with(R"("sizeBytes":18446744073709551616)"), false},
        Row{"array_form", R"([1,"c","v","a","b",null,null,[]])", true},
        Row{"array_form_seven", R"([1,"c","v","a","b",null,null])", false},
        Row{"array_form_nine", R"([1,"c","v","a","b",null,null,[],1])", false},
        Row{"escaped_halt_key", manifest("", R"(,"\u0068alt":false,"halt":false)"), false},
        Row{"trailing_whitespace", manifest() + " \t\n\r", true},
        Row{"trailing_character", manifest() + ";", false},
        Row{"byte_order_mark", "\xEF\xBB\xBF" + manifest(), false},
        Row{"not_a_record", "1", false}),
    row_name);

TEST(ManifestReading, Values) {
  auto m = read_manifest(bytes(manifest(R"([null,"p","a","s",7])", R"(,"h\u0061lt":{},"rollback":["t","r"])")));
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->halt.has_value());  // an empty object halts as much as any value
  ASSERT_TRUE(m->rollback);
  EXPECT_EQ(m->rollback->reason, "r");
  ASSERT_EQ(m->artifacts.size(), 1u);
  EXPECT_FALSE(m->artifacts[0].kind);
  EXPECT_EQ(m->artifacts[0].sizeBytes, 7u);
  auto plain = read_manifest(bytes(manifest("", R"(,"halt":null)")));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->halt);
  EXPECT_FALSE(plain->rollback);
}

constexpr const char *kUtc = "release timestamp must be UTC";
constexpr const char *kInvalid = "invalid signed release timestamp";

struct Time {
  const char *text;
  std::int64_t ms;
  const char *refusal = nullptr;
};

TEST(Timestamp, Conversion) {
  const Time rows[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01T00:00:00.9999Z", 999},
      {"1969-12-31T23:59:59.9995Z", 0},  // half a millisecond before the epoch
      {"1969-12-31T23:59:59.999Z", -1},
      {"1969-12-31T23:59:59.0001Z", -999},
      {"1969-12-31T23:59:59Z", -1000},
      {"2026-01-01T00:00:00Z", 1767225600000},
      {"2026-01-01t00:00:00Z", 1767225600000},
      {"2026-01-01T00:00:00.123456789999Z", 1767225600123},
      {"2024-02-29T12:34:56.7Z", 1709210096700},
      {"2000-02-29T00:00:00Z", 951782400000},
      {"0000-01-01T00:00:00Z", -62167219200000},
      {"9999-12-31T23:59:59.999Z", 253402300799999},
      {"", 0, kUtc},
      {"2026-01-01T00:00:00+00:00", 0, kUtc},
      {"2026-01-01T00:00:00z", 0, kUtc},
      {"2026-01-01T00:00:00Z ", 0, kUtc},
      {"Z", 0, kInvalid},
      {"2026-02-30T00:00:00Z", 0, kInvalid},
      {"2023-02-29T00:00:00Z", 0, kInvalid},
      {"1900-02-29T00:00:00Z", 0, kInvalid},
      {"2026-04-31T00:00:00Z", 0, kInvalid},
      {"2026-13-01T00:00:00Z", 0, kInvalid},
      {"2026-00-01T00:00:00Z", 0, kInvalid},
      {"2026-01-00T00:00:00Z", 0, kInvalid},
      {"2026-01-01T24:00:00Z", 0, kInvalid},
      {"2026-01-01T00:60:00Z", 0, kInvalid},
      {"2016-12-31T23:59:60Z", 0, kInvalid},
      {"2026-01-01 00:00:00Z", 0, kInvalid},
      {"2026-01-01T00:00Z", 0, kInvalid},
      {"2026-1-01T00:00:00Z", 0, kInvalid},
      {"+2026-01-01T00:00:00Z", 0, kInvalid},
      {"2026-01-01T00:00:00.Z", 0, kInvalid},
      {"2026-01-01T00:00:00,5Z", 0, kInvalid},
      {"2026-01-01T00:00:00.5aZ", 0, kInvalid},
      {"2026-01-01T00:00:00ZZ", 0, kInvalid},
      {"2026-01-01T00:00:00+00:00Z", 0, kInvalid},
      {"2026-01-01\xEF\xBC\xB4" "00:00:00Z", 0, kInvalid},
  };
  for (const Time &row : rows) {
    auto ms = timestamp(row.text);
    if (row.refusal) {
      ASSERT_FALSE(ms) << row.text;
      EXPECT_STREQ(ms.error().message, row.refusal) << row.text;
      EXPECT_EQ(ms.error().kind, Kind::invalid_data);
    } else {
      ASSERT_TRUE(ms) << row.text << ": " << ms.error().message;
      EXPECT_EQ(*ms, row.ms) << row.text;
    }
  }
}

TEST(WallClock, Milliseconds) {
  using namespace std::chrono;
  EXPECT_EQ(*epoch_ms(system_clock::time_point{}), 0);
  EXPECT_EQ(*epoch_ms(system_clock::time_point{nanoseconds{1'999'999'999}}), 1999);
  auto before = epoch_ms(system_clock::time_point{nanoseconds{-1}});
  ASSERT_FALSE(before);
  EXPECT_STREQ(before.error().message, "invalid system clock");
  EXPECT_EQ(before.error().kind, Kind::other);
}

}  // namespace
}  // namespace vela::release
