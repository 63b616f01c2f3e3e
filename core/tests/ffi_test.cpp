#include "ffi.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace vela::ffi {
namespace {

TEST(Frame, Bytes) {
  std::vector<std::uint8_t> buf(kMaxInventory + 1);
  struct Row {
    std::size_t max, length;
    bool ok;
  };
  for (auto [max, length, ok] : {Row{kMaxState, kMaxState, true}, Row{kMaxState, kMaxState + 1, false},
                                 Row{kMaxInventory, kMaxInventory, true}, Row{kMaxInventory, kMaxInventory + 1, false},
                                 Row{kMaxCredentials, 4096, true}, Row{kMaxCredentials, 4097, false},
                                 Row{kMaxVaultKey, 256, true}, Row{kMaxVaultKey, 257, false}, Row{0, 0, true}}) {
    auto r = bytes(buf.data(), length, max);
    EXPECT_EQ(r.has_value(), ok) << max << " " << length;
    if (ok) {
      EXPECT_EQ(r->size(), length);
    }
  }
  EXPECT_FALSE(bytes(nullptr, 0, kMaxState));
  EXPECT_STREQ(bytes(nullptr, 0, 1).error().message, "invalid native input bounds");
}

TEST(Frame, String) {
  EXPECT_STREQ(string(nullptr).error().message, "missing native argument");
  for (const char *bad : {"\x80", "a\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xFF",
                          "eight ch\x80", "sixteen characte\xC3\x28 and more ascii"})
    EXPECT_STREQ(string(bad).error().message, "invalid native argument") << bad;
  for (const char *ok : {"", "plain", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF",
                         "longer than eight \xC3\xA9 bytes"})
    EXPECT_TRUE(string(ok)) << ok;
}

TEST(Frame, Output) {
  char buf[8];
  std::fill(std::begin(buf), std::end(buf), 'x');
  EXPECT_FALSE(output(buf, 8, "12345678"));
  EXPECT_EQ(std::string(buf, 8), "xxxxxxxx");  // nothing written on failure
  EXPECT_FALSE(output(nullptr, 8, "1"));
  EXPECT_FALSE(output(buf, 0, ""));
  ASSERT_TRUE(output(buf, 8, "1234567"));
  EXPECT_STREQ(buf, "1234567");
  std::fill(std::begin(buf), std::end(buf), 'x');
  ASSERT_TRUE(output(buf, 8, "12"));
  EXPECT_EQ(std::string(buf, 8), std::string("12\0xxxxx", 8));  // nothing beyond the NUL
}

std::string hex64(char c) { return std::string(64, c); }

TEST(Frame, Credentials) {
  struct Case {
    std::string doc;
    bool ok;
  };
  const std::string a = hex64('a'), b = hex64('b');
  for (const auto &[doc, ok] : std::vector<Case>{
           {R"({"activationKey":")" + a + R"(","launchSecret":")" + b + R"("})", true},
           {R"({"launchSecret":")" + b + R"(","activationKey":")" + a + R"("} )" "\n", true},
           {R"([")" + a + R"(",")" + b + R"("])", true},
           {R"({"activationKey":"","launchSecret":""})", true},
           {R"({"activationKey":"a","launchSecret":"b","x":"c"})", false},
           {R"({"activationKey":"a"})", false},
           {R"({"activationKey":"a","activationKey":"a","launchSecret":"b"})", false},
           {R"({"activationKey":1,"launchSecret":"b"})", false},
           {R"({"ActivationKey":"a","launchSecret":"b"})", false},
           {R"(["a"])", false},
           {R"(["a","b","c"])", false},
           {R"({"activationKey":"a","launchSecret":"b"}x)", false},
       }) {
    auto c = credentials(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size());
    EXPECT_EQ(c.has_value(), ok) << doc;
    if (!ok) {
      EXPECT_STREQ(c.error().message, "invalid native activation");
    }
  }
  auto c = credentials(reinterpret_cast<const std::uint8_t *>(R"(["k","s"])"), 9);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->activationKey.view(), "k");
  EXPECT_EQ(c->launchSecret.view(), "s");
}

TEST(Frame, CredentialsBound) {
  std::string doc = R"({"activationKey":"a","launchSecret":"b"})";
  doc.resize(4096, ' ');
  EXPECT_TRUE(credentials(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size()));
  doc.push_back(' ');
  EXPECT_STREQ(credentials(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size()).error().message,
               "invalid native input bounds");
  EXPECT_FALSE(credentials(nullptr, 0));
}

TEST(Frame, GuardTurnsEveryFailureIntoOne) {
  EXPECT_EQ(guard([]() -> Result<> { return {}; }), 0);
  EXPECT_EQ(guard([]() -> Result<> { return fail(Error::other("x")); }), 1);
  EXPECT_EQ(guard([]() -> Result<> { throw std::runtime_error("fault"); }), 1);
  EXPECT_EQ(guard([]() -> Result<> { throw 42; }), 1);
}

}  // namespace
}  // namespace vela::ffi
