#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "files.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

mode_t modeOf(const std::string &path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

void makeDirectory(const std::string &path, mode_t mode, uid_t owner = 0) {
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), mode);
  chown(path.c_str(), owner, 0);
}

TEST(RootDirectories, MissingComponentsAreMadeOwnerOnlyAndExistingOnesKept) {
  umask(077);  // the daemon's
  makeDirectory("/private/var", 0755);
  std::optional<Error> error;
  EXPECT_TRUE(ensureRootDirectory("/private/var/new/made", 0755, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(modeOf("/private/var"), 0755u);
  for (const char *path : {"/private/var/new", "/private/var/new/made"}) EXPECT_EQ(modeOf(path), 0700u) << path;
}

struct UnsafeCase {
  const char *name;
  std::function<void()> prepare;
  int code;
};

class UnsafeRootDirectories : public testing::TestWithParam<UnsafeCase> {};

TEST_P(UnsafeRootDirectories, RefusedNamingTheWholePath) {
  GetParam().prepare();
  std::optional<Error> error;
  EXPECT_FALSE(ensureRootDirectory("/private/a/b", 0700, &error));
  EXPECT_EQ(error, (Error{kPosixDomain, GetParam().code, "root custody path is unsafe: /private/a/b"}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnsafeRootDirectories,
    testing::Values(UnsafeCase{"group_writable", [] { makeDirectory("/private/a", 0775); }, EPERM},
                    UnsafeCase{"owned_by_another_user", [] { makeDirectory("/private/a", 0755, 1234); }, EPERM},
                    UnsafeCase{"link_component",
                               [] { makeDirectory("/private/real", 0700); symlink("real", "/private/a"); }, ENOTDIR}),
    rowName<UnsafeCase>);

}  // namespace
}  // namespace vela::helper
