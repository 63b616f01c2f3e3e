#include <gtest/gtest.h>

#include "credentials.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

// Refused before the keychain is touched, so these run without root.
TEST(Credentials, InvalidArgumentsRefused) {
  const std::string hex(63, 'a');
  const std::pair<std::string, std::size_t> rows[] = {{hex + "A", 8}, {hex, 8},      {hex + "aa", 8},
                                                      {hex + "g", 8}, {hex + "a", 0}, {hex + "a", 4097}};
  for (const auto &[generation, size] : rows) {
    std::optional<Error> readError, storeError;
    EXPECT_FALSE(VelaStoreServiceCredentials(generation, std::vector<std::uint8_t>(size, 1), &storeError));
    EXPECT_EQ(storeError, test::credentialError(-50)) << generation << " " << size;
    EXPECT_TRUE(size != 8 || (!VelaReadServiceCredentials(generation, &readError) && readError == storeError));
  }
}

}  // namespace
}  // namespace vela::helper
