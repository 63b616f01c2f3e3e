#include "ffi.hpp"

#include <gtest/gtest.h>

#include <string>

#include "documents.hpp"

namespace vela::ffi {
namespace {

using test::bytes;

// The refusal's message; empty for success.
std::string refusal(const auto &result) { return result ? "" : result.error().message; }

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

TEST(Frame, Credentials) {
  std::string largest = R"({"activationKey":"a","launchSecret":"b"})";
  largest.resize(4096, ' ');
  const std::pair<std::string, const char *> rows[] = {
      {largest, ""},
      {largest + ' ', "invalid native input bounds"},
      {R"({"activationKey":"a","launchSecret":"b","x":"c"})", "invalid native activation"},
      {R"({"activationKey":"a"})", "invalid native activation"},
  };
  for (const auto &[doc, expected] : rows)
    EXPECT_EQ(refusal(credentials(bytes(doc).data(), doc.size())), expected) << doc;
  auto c = credentials(bytes(R"(["k","s"])").data(), 9);
  ASSERT_TRUE(c);
  EXPECT_EQ(std::string(c->activationKey.view()) + std::string(c->launchSecret.view()), "ks");
}

// Anything thrown, not only exceptions of the standard library.
TEST(Frame, GuardTurnsAnyThrowIntoOne) {
  EXPECT_EQ(guard([]() -> Result<> { throw 42; }), 1);
}

}  // namespace
}  // namespace vela::ffi
