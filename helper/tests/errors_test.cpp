#include <gtest/gtest.h>

#include "errors.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

TEST(Errors, SetReplacesWhileActivationFailureOnlyFillsAnEmptyError) {
  const Error earlier{kPosixDomain, 2, "earlier"}, later{kHelperDomain, 60, "later"};
  std::optional<Error> error = earlier, empty;
  setError(&error, later);
  EXPECT_FALSE(activationFailure(&error, "activation") || activationFailure(&empty, "activation"));
  EXPECT_EQ(error, later);
  EXPECT_EQ(empty, (Error{kActivationDomain, 1, "activation"}));
  setError(nullptr, later);
  EXPECT_FALSE(activationFailure(nullptr, "activation"));
}

}  // namespace
}  // namespace vela::helper
