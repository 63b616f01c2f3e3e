#include "semver.hpp"

#include <gtest/gtest.h>

namespace vela::semver {
namespace {

TEST(Semver, Syntax) {
  for (const char *bad : {"", "1.2", "1.2.3.4", "v1.2.3", "01.2.3", "1.02.3", "1.2.03", "1.2.3-", "1.2.3+",
                          "1.2.3-01", "1.2.3-a..b", "1.2.3+a..b", "1.2.3-a_b", "1.2.3+a+b", " 1.2.3", "1.2.3 ",
                          "1..3", "1.2.-3", "-1.2.3", "1.2.3-\xC3\xA9", "a.b.c"})
    EXPECT_FALSE(parse(bad)) << bad;
}

// Each version orders strictly below the next.
TEST(Semver, TotalOrder) {
  const char *chain[] = {
      "1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",  "1.0.0-beta.2", "1.0.0-beta.11",
      "1.0.0-rc.1",   "1.0.0",         "1.0.0+1",          "1.0.0+01",    "1.0.0+2",      "1.0.0+10",
      "1.0.0+10.1",   "1.0.0+B",       "1.0.0+a",          "1.0.0+a.0",   "1.2.3",        "1.2.3+b1",
      "1.2.3+b2",     "1.10.0",        "2.0.0",            "10.0.0",      "99999999999999999999.0.0"};
  for (std::size_t i = 0; i < std::size(chain); ++i) {
    auto a = parse(chain[i]);
    ASSERT_TRUE(a) << chain[i];
    EXPECT_EQ(compare(*a, *a), 0) << chain[i];
    for (std::size_t j = i + 1; j < std::size(chain); ++j) {
      auto b = parse(chain[j]);
      EXPECT_LT(compare(*a, *b), 0) << chain[i] << " < " << chain[j];
      EXPECT_GT(compare(*b, *a), 0) << chain[j] << " > " << chain[i];
    }
  }
}

}  // namespace
}  // namespace vela::semver
