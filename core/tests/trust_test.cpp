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

std::string state(const std::string &channels, const std::string &current = "") {
  std::string s = R"({"schemaVersion":3,"channels":{)" + channels + "}";
  if (!current.empty()) s += R"(,"current":)" + current;
  return s + "}";
}

int validate(const std::string &doc) {
  return vela_core_validate_trust(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size());
}

constexpr const char *kUnreadable = "unreadable";
constexpr const char *kSound = "";
constexpr const char *kSchema = "invalid root release trust state";
constexpr const char *kCorrupt = "root release identity is corrupt";
constexpr const char *kDiffers = "root current generation differs from its accepted channel identity";

struct Case {
  const char *name;
  std::string doc;
  const char *outcome;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
std::string case_name(const testing::TestParamInfo<Case> &p) { return p.param.name; }

class StateCases : public testing::TestWithParam<Case> {};

TEST_P(StateCases, Outcome) {
  const auto &c = GetParam();
  auto doc = std::span(reinterpret_cast<const std::uint8_t *>(c.doc.data()), c.doc.size());
  auto parsed = read_state(doc);
  std::string outcome = !parsed ? kUnreadable : [&] {
    auto r = validate_state(*parsed);
    return std::string(r ? "" : r.error().message);
  }();
  EXPECT_EQ(outcome, c.outcome) << c.doc;
  EXPECT_EQ(validate(c.doc), *c.outcome == '\0' ? 0 : 1);
}

const std::string kStable = entry("stable");

INSTANTIATE_TEST_SUITE_P(
    Rules, StateCases,
    testing::Values(
        Case{"empty", state(""), kSound}, Case{"empty_current_null", state("", "null"), kSound},
        Case{"array_form", R"([3,{}])", kSound}, Case{"array_form_current_null", R"([3,{},null])", kSound},
        Case{"array_form_entries", "[3,{\"stable\":" + kStable + "}," + kStable + "]", kSound},
        Case{"array_form_short", R"([3])", kUnreadable}, Case{"array_form_long", R"([3,{},null,1])", kUnreadable},
        Case{"entry_array_form", state("\"stable\":[\"stable\",\"1.2.3\",\"" + kDigest + "\",7,100]", kStable), kSound},
        Case{"trailing_line_feed", state("") + "\n", kSound},
        Case{"second_value", state("") + "{}", kUnreadable},
        Case{"empty_document", "", kUnreadable},
        Case{"schema_4", R"({"schemaVersion":4,"channels":{}})", kSchema},
        Case{"schema_3_0", R"({"schemaVersion":3.0,"channels":{}})", kUnreadable},
        Case{"schema_string", R"({"schemaVersion":"3","channels":{}})", kUnreadable},
        Case{"schema_twice", R"({"schemaVersion":3,"schemaVersion":3,"channels":{}})", kUnreadable},
        Case{"channels_null", R"({"schemaVersion":3,"channels":null})", kUnreadable},
        Case{"channels_array", R"({"schemaVersion":3,"channels":[]})", kUnreadable},
        Case{"channels_missing", R"({"schemaVersion":3})", kUnreadable},
        Case{"extra_top_key", R"({"schemaVersion":3,"channels":{},"x":1})", kUnreadable},
        Case{"extra_entry_key", state("\"stable\":" + kStable.substr(0, kStable.size() - 1) + ",\"x\":1}", kStable),
             kUnreadable},
        Case{"extra_current_key", state("\"stable\":" + kStable, kStable.substr(0, kStable.size() - 1) + ",\"x\":1}"),
             kUnreadable},
        Case{"entry_without_current", state("\"stable\":" + kStable), kSchema},
        Case{"entry_with_current_null", state("\"stable\":" + kStable, "null"), kSchema},
        Case{"sound_entry", state("\"stable\":" + kStable, kStable), kSound},
        Case{"key_differs_from_channel", state("\"stable\":" + entry("beta"), entry("beta")), kCorrupt},
        Case{"channel_capitalised", state("\"Stable\":" + entry("Stable"), entry("Stable")), kCorrupt},
        Case{"version_with_v", state("\"stable\":" + entry("stable", "v1.2.3"), entry("stable", "v1.2.3")), kCorrupt},
        Case{"digest_63", state("\"stable\":" + entry("stable", "1.2.3", kDigest.substr(1)), kStable), kCorrupt},
        Case{"digest_65", state("\"stable\":" + entry("stable", "1.2.3", kDigest + "a"), kStable), kCorrupt},
        Case{"digest_g", state("\"stable\":" + entry("stable", "1.2.3", "g" + kDigest.substr(1)), kStable), kCorrupt},
        Case{"digest_upper",
             state("\"stable\":" + entry("stable", "1.2.3", std::string(64, 'F')), entry("stable", "1.2.3", std::string(64, 'F'))),
             kSound},
        Case{"bytes_zero", state("\"stable\":" + entry("stable", "1.2.3", kDigest, "0"), kStable), kCorrupt},
        Case{"bytes_max",
             state("\"stable\":" + entry("stable", "1.2.3", kDigest, "18446744073709551615"),
                   entry("stable", "1.2.3", kDigest, "18446744073709551615")),
             kSound},
        Case{"negative_not_before",
             state("\"stable\":" + entry("stable", "1.2.3", kDigest, "7", "-5"), entry("stable", "1.2.3", kDigest, "7", "-5")),
             kSound},
        Case{"not_before_minus_zero",
             state("\"stable\":" + entry("stable", "1.2.3", kDigest, "7", "-0"), kStable), kUnreadable},
        Case{"current_digest_case",
             state("\"stable\":" + kStable, entry("stable", "1.2.3", std::string(64, 'A'))), kDiffers},
        Case{"current_one_ms_off", state("\"stable\":" + kStable, entry("stable", "1.2.3", kDigest, "7", "101")),
             kDiffers},
        Case{"current_on_other_channel", state("\"stable\":" + kStable, entry("beta")), kDiffers},
        Case{"current_without_channels", state("", kStable), kDiffers},
        Case{"later_duplicate_wins",
             state("\"stable\":" + entry("beta", "bad") + ",\"stable\":" + kStable, kStable), kSound},
        Case{"earlier_duplicate_lost",
             state("\"stable\":" + kStable + ",\"stable\":" + entry("beta", "bad"), kStable), kCorrupt},
        Case{"two_channels",
             state("\"stable\":" + kStable + ",\"beta\":" + entry("beta", "2.0.0-rc.1+b.7"), entry("beta", "2.0.0-rc.1+b.7")),
             kSound}),
    case_name);

TEST(ValidateTrust, Bounds) {
  std::uint8_t byte = 0;
  EXPECT_EQ(vela_core_validate_trust(nullptr, 0), 1);
  EXPECT_EQ(vela_core_validate_trust(&byte, 0), 1);  // empty document
  std::string doc = state("");
  doc.resize(2'097'152, ' ');
  EXPECT_EQ(validate(doc), 0);
  doc.push_back(' ');
  EXPECT_EQ(validate(doc), 1);
}

TEST(AcceptedRelease, WrittenForm) {
  AcceptedRelease r{"stable", "1.2.3-rc.1+b", kDigest, 18446744073709551615u, -9223372036854775807 - 1};
  EXPECT_EQ(*write(r), R"({"channel":"stable","version":"1.2.3-rc.1+b","archiveSha256":")" + kDigest +
                           R"(","archiveBytes":18446744073709551615,"notBeforeMs":-9223372036854775808})");
  r.version = "a\"\\\x01/";
  EXPECT_NE(write(r)->find(R"("version":"a\"\\\u0001/")"), std::string::npos);
}

}  // namespace
}  // namespace vela::release
