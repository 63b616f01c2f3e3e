// Reading the release records (envelope, key set, manifest) and the two
// conversions of time: manifest timestamps and the wall clock. The rules all
// records share are the JSON reader's; here are what each declaration decides.
#include <gtest/gtest.h>

#include <string>

#include "documents.hpp"
#include "release.hpp"

namespace vela::release {
namespace {

using test::bytes;

TEST(ReleaseRecords, EnvelopeAndKeys) {
  // Keys outside the lists are skipped at both levels; the array forms keep
  // the table order.
  auto e = read_envelope(bytes(R"({"x":{"a":[1,{"b":null}]},"payload":"\/\/8=","signatures":[["a","b","c"],)"
                               R"({"keyId":"k","x":[],"algorithm":"ed25519","signature":"c2ln"}]})"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->payload, "//8=");  // an escaped solidus is a solidus
  ASSERT_EQ(e->signatures.size(), 2u);
  EXPECT_EQ(e->signatures[0].keyId + e->signatures[0].algorithm + e->signatures[0].signature, "abc");
  EXPECT_EQ(e->signatures[1].signature, "c2ln");
  EXPECT_TRUE(read_envelope(bytes(R"(["cA==",[]])")));
  auto k = read_keys(R"({"v":1,"keys":[["a","b"],{"keyId":"c","x":[],"publicKey":"d"}]})");
  ASSERT_TRUE(k);
  ASSERT_EQ(k->keys.size(), 2u);
  EXPECT_EQ(k->keys[0].keyId + k->keys[0].publicKey + k->keys[1].keyId, "abc");
}

// A manifest with every field; `extra` goes after the artifacts.
std::string manifest(const std::string &artifact, const std::string &extra = "") {
  return R"({"schemaVersion":1,"channel":"c","version":"v","notBefore":"a","expiresAt":"b","artifacts":[)" + artifact +
         "]" + extra + "}";
}

TEST(ReleaseRecords, Manifest) {
  const std::string artifact = R"({"platform":"p","arch":"a","sha256":"s","sizeBytes":1)";
  EXPECT_TRUE(read_manifest(bytes(manifest(artifact + R"(,"x":[]})", R"(,"x":{},"x":[])"))));
  EXPECT_FALSE(read_manifest(bytes(manifest(artifact + R"(,"kind":1})"))));
  EXPECT_FALSE(read_manifest(bytes(manifest("", R"(,"rollback":{"toVersion":"1","reason":"r","x":1})"))));
  auto m = read_manifest(bytes(manifest(R"([null,"p","a","s",7])", R"(,"h\u0061lt":{},"rollback":["t","r"])")));
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->halt.has_value());  // an empty object halts as much as any value
  ASSERT_TRUE(m->rollback);
  EXPECT_EQ(m->rollback->toVersion + m->rollback->reason, "tr");
  ASSERT_EQ(m->artifacts.size(), 1u);
  const Artifact &a = m->artifacts[0];
  EXPECT_FALSE(a.kind);
  EXPECT_EQ(a.platform + a.arch + a.sha256 + std::to_string(a.sizeBytes), "pas7");
  m = read_manifest(bytes(R"([7,"c","v","a","b",null,null,[]])"));
  ASSERT_TRUE(m);
  EXPECT_EQ(std::to_string(m->schemaVersion) + m->channel + m->version + m->notBefore + m->expiresAt, "7cvab");
  EXPECT_FALSE(m->halt || m->rollback);
}

TEST(ReleaseRecords, Timestamp) {
  constexpr const char *kUtc = "release timestamp must be UTC", *kInvalid = "invalid signed release timestamp";
  const std::pair<const char *, std::string> rows[] = {
      {"1970-01-01T00:00:00Z", "0"},
      {"1970-01-01T00:00:00.9999Z", "999"},
      {"1969-12-31T23:59:59.9995Z", "0"},  // half a millisecond before the epoch
      {"1969-12-31T23:59:59Z", "-1000"},
      {"2026-01-01t00:00:00Z", "1767225600000"},
      {"2026-01-01T00:00:00.123456789999Z", "1767225600123"},
      {"2000-02-29T00:00:00.7Z", "951782400700"},
      {"9999-12-31T23:59:59.999Z", "253402300799999"},
      {"", kUtc},
      {"2026-01-01T00:00:00+00:00", kUtc},
      {"Z", kInvalid},
      {"2023-02-29T00:00:00Z", kInvalid},
      {"2026-01-01T24:00:00Z", kInvalid},
      {"2026-01-01T00:60:00Z", kInvalid},
      {"2016-12-31T23:59:60Z", kInvalid},
      {"2026-01-01 00:00:00Z", kInvalid},
      {"2026-1-01T00:00:00Z", kInvalid},
      {"2026-01-01T00:00:00.Z", kInvalid},
      {"2026-01-01T00:00:00,5Z", kInvalid},
      {"2026-01-01T00:00:00.5aZ", kInvalid},
  };
  for (const auto &[text, expected] : rows) {
    auto ms = timestamp(text);
    EXPECT_EQ(ms ? std::to_string(*ms) : ms.error().message, expected) << text;
    EXPECT_TRUE(ms || ms.error().kind == Kind::invalid_data) << text;
  }
}

TEST(ReleaseRecords, WallClock) {
  using namespace std::chrono;
  EXPECT_EQ(*epoch_ms(system_clock::time_point{nanoseconds{1'999'999'999}}), 1999);
  auto before = epoch_ms(system_clock::time_point{nanoseconds{-1}});
  ASSERT_FALSE(before);
  EXPECT_STREQ(before.error().message, "invalid system clock");
  EXPECT_EQ(before.error().kind, Kind::other);
}

}  // namespace
}  // namespace vela::release
