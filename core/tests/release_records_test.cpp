// The release records (envelope, key set, manifest) and the two conversions
// of time: manifest timestamps and the wall clock. The rules all records
// share are the JSON reader's; here is what each declaration decides.
#include <gtest/gtest.h>

#include <string>

#include "documents.hpp"
#include "release.hpp"

namespace vela::release {
namespace {

using test::bytes;

// Members the records do not name are skipped at every level, except in a
// rollback directive.
TEST(ReleaseRecords, UnknownMembers) {
  EXPECT_TRUE(read_envelope(
      bytes(R"({"x":1,"payload":"","signatures":[{"keyId":"k","x":[],"algorithm":"a","signature":"s"}]})")));
  EXPECT_TRUE(read_keys(R"({"v":1,"keys":[{"keyId":"c","x":[],"publicKey":"d"}]})"));
  const std::string manifest = R"({"schemaVersion":1,"channel":"c","version":"v","notBefore":"a","expiresAt":"b",)"
                               R"("artifacts":[{"platform":"p","arch":"a","sha256":"s","sizeBytes":1,"x":[]}])";
  EXPECT_TRUE(read_manifest(bytes(manifest + R"(,"x":{}})")));
  EXPECT_FALSE(read_manifest(bytes(manifest + R"(,"rollback":{"toVersion":"1","reason":"r","x":1}})")));
}

TEST(ReleaseRecords, Timestamp) {
  constexpr const char *kUtc = "release timestamp must be UTC", *kInvalid = "invalid signed release timestamp";
  const std::pair<const char *, std::string> rows[] = {
      {"1969-12-31T23:59:59.9995Z", "0"},  // half a millisecond before the epoch
      {"1969-12-31T23:59:59Z", "-1000"},
      {"2026-01-01t00:00:00Z", "1767225600000"},
      {"2026-01-01T00:00:00.123456789999Z", "1767225600123"},
      {"", kUtc},
      {"Z", kInvalid},
      {"2026-01-01T24:00:00Z", kInvalid},
      {"2026-01-01T00:60:00Z", kInvalid},
      {"2016-12-31T23:59:60Z", kInvalid},
      {"2026-01-01 00:00:00Z", kInvalid},
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
  EXPECT_FALSE(epoch_ms(system_clock::time_point{nanoseconds{-1}}));
}

}  // namespace
}  // namespace vela::release
