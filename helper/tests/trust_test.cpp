#include <gtest/gtest.h>

#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

TEST(TrustStateDefault, SerialisesToAStateTheCoreAccepts) {
  std::string text = defaultTrustState().dump();
  EXPECT_EQ(vela_core_validate_trust(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()), 0) << text;
  EXPECT_EQ(defaultTrustState(), Json::parse(R"({"schemaVersion":3,"channels":{},"current":null})"));
}

}  // namespace
}  // namespace vela::helper
