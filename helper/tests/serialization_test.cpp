#include "serialization.hpp"

#include <gtest/gtest.h>

#include "support.hpp"

namespace vela::helper {
namespace {

// Every failure of the parser is a refusal with its own text, never an exception.
TEST(Serialization, ParserFailuresAreRefusals) {
  for (const char *text : {"{", "[-1e999]"}) {
    std::optional<Error> error;
    EXPECT_FALSE(parseJson(test::bytes(text), &error)) << text;
    EXPECT_TRUE(error && error->code == 3840 && !error->message.empty()) << text;
  }
}

}  // namespace
}  // namespace vela::helper
