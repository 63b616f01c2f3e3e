#include <gtest/gtest.h>

#include <sys/stat.h>

#include "files.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

TEST(RootDirectories, MissingComponentsAreMadeOwnerOnlyAndExistingOnesKept) {
  umask(077);  // the daemon's
  std::optional<Error> error;
  EXPECT_TRUE(ensureRootDirectory("/private/var/new/made", 0755, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(test::commandOutput("stat -c %a /private/var /private/var/new /private/var/new/made"), "755\n700\n700\n");
}

TEST(RootDirectories, UnsafeComponentRefusedNamingTheWholePath) {
  const std::pair<const char *, int> rows[] = {{"mkdir -m 0775 /private/a", EPERM},
                                               {"mkdir -m 0755 /private/a && chown 1234 /private/a", EPERM},
                                               {"mkdir /private/real && ln -s real /private/a", ENOTDIR}};
  for (const auto &[prepare, code] : rows) {
    ASSERT_EQ(std::system(("rm -rf /private/a && " + std::string(prepare)).c_str()), 0);
    std::optional<Error> error;
    EXPECT_FALSE(ensureRootDirectory("/private/a/b", 0700, &error)) << prepare;
    EXPECT_EQ(error, (Error{kPosixDomain, code, "root custody path is unsafe: /private/a/b"})) << prepare;
  }
}

}  // namespace
}  // namespace vela::helper
