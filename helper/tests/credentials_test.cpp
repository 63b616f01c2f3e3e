#include <gtest/gtest.h>

#include "credentials.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

// Refused before the keychain is touched, so these run without root.
TEST(Credentials, InvalidArgumentsRefused) {
  const std::string hex(63, 'a');
  for (const auto &generation : {hex + "A", hex, hex + "aa", hex + "g"}) {
    std::optional<Error> readError, storeError;
    EXPECT_FALSE(VelaReadServiceCredentials(generation, &readError));
    EXPECT_FALSE(VelaStoreServiceCredentials(generation, std::vector<std::uint8_t>(8, 1), &storeError));
    EXPECT_EQ(readError, test::credentialError(-50)) << generation;
    EXPECT_EQ(storeError, test::credentialError(-50)) << generation;
  }
  for (std::size_t size : {0, 4097}) {
    std::optional<Error> error;
    EXPECT_FALSE(VelaStoreServiceCredentials(hex + "a", std::vector<std::uint8_t>(size, 1), &error));
    EXPECT_EQ(error, test::credentialError(-50)) << size;
  }
}

}  // namespace
}  // namespace vela::helper
