#include "ffi.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace vela::ffi {
namespace {

const std::uint8_t *u8(const std::string &s) { return reinterpret_cast<const std::uint8_t *>(s.data()); }
// The refusal's message; empty for success.
std::string refusal(const auto &result) { return result ? "" : result.error().message; }

TEST(Frame, Bytes) {
  std::vector<std::uint8_t> buf(kMaxInventory + 1);
  const std::pair<std::size_t, std::size_t> bounds[] = {
      {kMaxInventory, 33'554'432}, {kMaxState, 2'097'152}, {kMaxEnvelope, 2'097'152}, {kMaxCredentials, 4096},
      {kMaxVaultKey, 256}};
  for (auto [max, limit] : bounds) {
    EXPECT_EQ(refusal(bytes(buf.data(), limit, max)), "") << limit;
    EXPECT_EQ(refusal(bytes(buf.data(), limit + 1, max)), "invalid native input bounds") << limit;
  }
  EXPECT_TRUE(bytes(buf.data(), 0, 0));
  EXPECT_EQ(refusal(bytes(nullptr, 0, 1)), "invalid native input bounds");
}

TEST(Frame, String) {
  EXPECT_EQ(refusal(string(nullptr)), "missing native argument");
  // A lone continuation byte, overlong forms, a surrogate, beyond U+10FFFF, a
  // cut or broken sequence, bytes never used, and faults after eight ASCII bytes.
  for (const char *bad : {"\x80", "a\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE2\x82", "\xE2\x82\x28", "\xFF", "eight ch\x80", "sixteen characte\xC3\x28 and more"})
    EXPECT_EQ(refusal(string(bad)), "invalid native argument") << bad;
  for (const char *ok : {"", "\xC3\xA9", "\xE0\xA0\x80", "\xF0\x90\x80\x80", "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF",
                         "longer than eight \xC3\xA9 bytes"})
    EXPECT_EQ(refusal(string(ok)), "") << ok;
}

TEST(Frame, Output) {
  char buf[8];
  std::fill(std::begin(buf), std::end(buf), 'x');
  EXPECT_FALSE(output(buf, 8, "12345678"));
  EXPECT_FALSE(output(nullptr, 8, "1"));
  EXPECT_FALSE(output(buf, 0, ""));
  EXPECT_EQ(std::string(buf, 8), "xxxxxxxx");  // nothing written on failure
  ASSERT_TRUE(output(buf, 8, "1234567"));
  EXPECT_STREQ(buf, "1234567");
  std::fill(std::begin(buf), std::end(buf), 'x');
  ASSERT_TRUE(output(buf, 8, "12"));
  EXPECT_EQ(std::string(buf, 8), std::string("12\0xxxxx", 8));  // nothing beyond the NUL
}

TEST(Frame, Credentials) {
  const std::string a(64, 'a'), b(64, 'b');
  const std::pair<std::string, bool> rows[] = {
      {R"({"launchSecret":")" + b + R"(","activationKey":")" + a + "\"} \n", true},
      {R"([")" + a + R"(",")" + b + R"("])", true},
      {R"({"activationKey":"","launchSecret":""})", true},
      {R"({"activationKey":"a","launchSecret":"b","x":"c"})", false},
      {R"({"activationKey":"a"})", false},
      {R"({"activationKey":1,"launchSecret":"b"})", false},
  };
  for (const auto &[doc, ok] : rows)
    EXPECT_EQ(refusal(credentials(u8(doc), doc.size())), ok ? "" : "invalid native activation") << doc;
  auto c = credentials(reinterpret_cast<const std::uint8_t *>(R"(["k","s"])"), 9);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->activationKey.view(), "k");
  EXPECT_EQ(c->launchSecret.view(), "s");

  std::string doc = R"({"activationKey":"a","launchSecret":"b"})";
  doc.resize(4096, ' ');
  EXPECT_EQ(refusal(credentials(u8(doc), doc.size())), "");
  doc.push_back(' ');
  EXPECT_EQ(refusal(credentials(u8(doc), doc.size())), "invalid native input bounds");
}

TEST(Frame, GuardTurnsEveryFailureIntoOne) {
  EXPECT_EQ(guard([]() -> Result<> { return {}; }), 0);
  EXPECT_EQ(guard([]() -> Result<> { return fail(Error::other("x")); }), 1);
  EXPECT_EQ(guard([]() -> Result<> { throw std::runtime_error("fault"); }), 1);
  EXPECT_EQ(guard([]() -> Result<> { throw 42; }), 1);
}

}  // namespace
}  // namespace vela::ffi
