#include <gtest/gtest.h>

#include "errors.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

TEST(Errors, SetReplacesWhileActivationFailureOnlyFillsAnEmptyError) {
  const Error earlier{kPosixDomain, 2, "earlier"}, later{kHelperDomain, 60, "later"};
  std::optional<Error> error = earlier;
  setError(&error, later);
  EXPECT_EQ(error, later);
  EXPECT_FALSE(activationFailure(&error, "activation"));
  EXPECT_EQ(error, later);
  error.reset();
  EXPECT_FALSE(activationFailure(&error, "activation"));
  EXPECT_EQ(error, (Error{kActivationDomain, 1, "activation"}));
  setError(nullptr, later);
  EXPECT_FALSE(activationFailure(nullptr, "activation"));
}

}  // namespace
}  // namespace vela::helper
