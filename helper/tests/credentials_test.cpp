#include <gtest/gtest.h>

#include "credentials.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kGeneration(64, 'a');

Error invalidArgument() {
  return {"VelaBrokerCredentials", -50,
          "Service activation custody is unavailable; the helper will not start an unsealed runtime."};
}

struct GenerationCase {
  const char *name;
  std::string generation;
};

// Refused before the keychain is touched, so these run without root.
class InvalidGenerations : public testing::TestWithParam<GenerationCase> {};

TEST_P(InvalidGenerations, RefusedWithInvalidArgument) {
  std::optional<Error> error;
  EXPECT_FALSE(VelaReadServiceCredentials(GetParam().generation, &error));
  EXPECT_EQ(error, invalidArgument());
  error.reset();
  EXPECT_FALSE(VelaStoreServiceCredentials(GetParam().generation, std::vector<std::uint8_t>(8, 1), &error));
  EXPECT_EQ(error, invalidArgument());
}

INSTANTIATE_TEST_SUITE_P(Credentials, InvalidGenerations,
                         testing::Values(GenerationCase{"upper_case", std::string(63, 'a') + "A"},
                                         GenerationCase{"short", std::string(63, 'a')},
                                         GenerationCase{"long", std::string(65, 'a')},
                                         GenerationCase{"not_hex", std::string(63, 'a') + "g"},
                                         GenerationCase{"empty", ""}),
                         rowName<GenerationCase>);

TEST(Credentials, ValueOutsideOneTo4096BytesRefusedOnStore) {
  for (std::size_t size : {0, 4097}) {
    std::optional<Error> error;
    EXPECT_FALSE(VelaStoreServiceCredentials(kGeneration, std::vector<std::uint8_t>(size, 1), &error));
    EXPECT_EQ(error, invalidArgument()) << size;
  }
}

}  // namespace
}  // namespace vela::helper
