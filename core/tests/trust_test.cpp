#include <gtest/gtest.h>

#include <string>

#include "release.hpp"
#include "vela_core.h"

namespace vela::release {
namespace {

const std::string kDigest(64, 'a');

std::string entry(const std::string &channel, const std::string &version = "1.2.3",
                  const std::string &digest = kDigest, const std::string &bytes = "7",
                  const std::string &not_before = "100") {
  return R"({"channel":")" + channel + R"(","version":")" + version + R"(","archiveSha256":")" + digest +
         R"(","archiveBytes":)" + bytes + R"(,"notBeforeMs":)" + not_before + "}";
}
const std::string kStable = entry("stable");

std::string state(const std::string &channels, const std::string &current = "") {
  std::string s = R"({"schemaVersion":3,"channels":{)" + channels + "}";
  if (!current.empty()) s += R"(,"current":)" + current;
  return s + "}";
}
// The entry as the only channel and as the current release.
std::string sole(const std::string &e) { return state(R"("stable":)" + e, e); }

int validate(const std::string &doc) {
  return vela_core_validate_trust(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size());
}

constexpr const char *kUnreadable = "unreadable";
constexpr const char *kSchema = "invalid root release trust state";
constexpr const char *kCorrupt = "root release identity is corrupt";
constexpr const char *kDiffers = "root current generation differs from its accepted channel identity";

TEST(TrustState, Rules) {
  struct Row {
    const char *name;
    std::string doc;
    const char *outcome;  // empty: sound
  };
  const std::string kFs(64, 'F'), kAs(64, 'A');
  const Row rows[] = {
      {"empty", state(""), ""},
      {"array_form", R"([3,{}])", ""},
      {"entry_array_form", state(R"("stable":["stable","1.2.3",")" + kDigest + R"(",7,100])", kStable), ""},
      {"schema_4", R"({"schemaVersion":4,"channels":{}})", kSchema},
      {"extra_top_key", R"({"schemaVersion":3,"channels":{},"x":1})", kUnreadable},
      {"extra_entry_key", sole(kStable.substr(0, kStable.size() - 1) + R"(,"x":1})"), kUnreadable},
      {"entry_without_current", state(R"("stable":)" + kStable), kSchema},
      {"key_differs_from_channel", state(R"("stable":)" + entry("beta"), entry("beta")), kCorrupt},
      {"channel_capitalised", state(R"("Stable":)" + entry("Stable"), entry("Stable")), kCorrupt},
      {"version_with_v", sole(entry("stable", "v1.2.3")), kCorrupt},
      {"digest_g", sole(entry("stable", "1.2.3", "g" + kDigest.substr(1))), kCorrupt},
      {"digest_upper", sole(entry("stable", "1.2.3", kFs)), ""},
      {"bytes_zero", sole(entry("stable", "1.2.3", kDigest, "0")), kCorrupt},
      {"bytes_max", sole(entry("stable", "1.2.3", kDigest, "18446744073709551615")), ""},
      {"negative_not_before", sole(entry("stable", "1.2.3", kDigest, "7", "-5")), ""},
      {"current_digest_case", state(R"("stable":)" + kStable, entry("stable", "1.2.3", kAs)), kDiffers},
      {"current_one_ms_off", state(R"("stable":)" + kStable, entry("stable", "1.2.3", kDigest, "7", "101")), kDiffers},
      {"current_on_other_channel", state(R"("stable":)" + kStable, entry("beta")), kDiffers},
      {"later_duplicate_wins", state(R"("stable":)" + entry("beta", "bad") + R"(,"stable":)" + kStable, kStable), ""},
  };
  for (const Row &row : rows) {
    auto parsed = read_state({reinterpret_cast<const std::uint8_t *>(row.doc.data()), row.doc.size()});
    auto sound = parsed ? validate_state(*parsed) : Result<>{};
    EXPECT_EQ(!parsed ? kUnreadable : sound ? "" : sound.error().message, std::string(row.outcome)) << row.name;
    EXPECT_EQ(validate(row.doc), *row.outcome ? 1 : 0) << row.name;
  }
}

TEST(TrustState, ExportBounds) {
  std::uint8_t byte = 0;
  EXPECT_EQ(vela_core_validate_trust(nullptr, 0), 1);
  EXPECT_EQ(vela_core_validate_trust(&byte, 0), 1);  // empty document
  std::string doc = state("");
  doc.resize(2'097'152, ' ');
  EXPECT_EQ(validate(doc), 0);
  doc.push_back(' ');
  EXPECT_EQ(validate(doc), 1);
}

TEST(TrustState, WrittenForm) {
  AcceptedRelease r{"stable", "1.2.3-rc.1+b", kDigest, 18446744073709551615u, -9223372036854775807 - 1};
  EXPECT_EQ(*write(r), R"({"channel":"stable","version":"1.2.3-rc.1+b","archiveSha256":")" + kDigest +
                           R"(","archiveBytes":18446744073709551615,"notBeforeMs":-9223372036854775808})");
  r.version = "a\"\\\x01/";
  EXPECT_NE(write(r)->find(R"("version":"a\"\\\u0001/")"), std::string::npos);
}

}  // namespace
}  // namespace vela::release
