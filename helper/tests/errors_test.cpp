#include <gtest/gtest.h>

#include "errors.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const Error kEarlier{kPosixDomain, 2, "earlier"};
const Error kLater{kHelperDomain, 60, "later"};
const Error kActivation{kActivationDomain, 1, "activation"};

struct Case {
  const char *name;
  std::optional<Error> before;
  bool activation;  // activationFailure, else setError with kLater
  std::optional<Error> after;
};

class SettingRules : public testing::TestWithParam<Case> {};

TEST_P(SettingRules, Outcome) {
  const auto &c = GetParam();
  std::optional<Error> error = c.before;
  if (c.activation)
    EXPECT_FALSE(activationFailure(&error, "activation"));
  else
    setError(&error, kLater);
  EXPECT_EQ(error, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, SettingRules,
    testing::Values(Case{"set_fills_empty", std::nullopt, false, kLater},
                    Case{"set_replaces_earlier", kEarlier, false, kLater},
                    Case{"activation_fills_empty", std::nullopt, true, kActivation},
                    Case{"activation_keeps_earlier", kEarlier, true, kEarlier}),
    rowName<Case>);

TEST(SettingRules, WithoutOutParameterNothingIsSet) {
  setError(nullptr, kLater);
  EXPECT_FALSE(activationFailure(nullptr, "activation"));
}

}  // namespace
}  // namespace vela::helper
