#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>

#include "files.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

TEST(Files, SafeRelativePaths) {
  const std::pair<std::string, bool> rows[] = {
      {"a/b.json", true}, {"a/.b..c", true}, {"", false},      {"/a/b", false},  {"a\\b", false},
      {"a//b", false},    {"a/", false},     {"a/./b", false}, {"a/../b", false}, {std::string("a\0b", 3), false}};
  for (const auto &[path, safe] : rows) EXPECT_EQ(safeRelativePath(path), safe) << path;
}

// A kernel attribute reports a page and holds less: refused, not waited on.
TEST(Files, ShortFileRefused) {
  Descriptor sys(open("/sys/kernel", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  alarm(10);
  EXPECT_FALSE(readRelativeFileNoFollow(sys.get(), "uevent_seqnum", 8192, nullptr));
  alarm(0);
}

// A tree with every kind of entry the walks must refuse.
class Tree : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mkdtemp(dir.data()));
    ASSERT_EQ(std::system(("cd " + dir + " && mkdir sub && printf content >sub/file && ln -s sub dirlink && "
                           "ln -s sub/file filelink && mkfifo fifo").c_str()), 0);
    root = Descriptor(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir = "/tmp/vela-test-XXXXXX";
  Descriptor root;
};

TEST_F(Tree, AbsoluteDirectories) {
  for (const auto &path : {dir + "/sub", std::string("/"), "//" + dir + "//sub/"})
    EXPECT_TRUE(openAbsoluteDirectoryNoFollow(path, nullptr)) << path;
  const std::pair<std::string, std::optional<Error>> rows[] = {
      {"relative/path", Error{kHelperDomain, 1, "source root must be absolute"}},
      {dir + "/sub/..", std::nullopt},  // none, errno EINVAL
      {dir + "/./sub", std::nullopt},
      {dir + "/dirlink", Error{kPosixDomain, ENOTDIR, "unsafe source ancestor: dirlink"}},
  };
  for (const auto &[path, expected] : rows) {
    std::optional<Error> error;
    errno = 0;
    EXPECT_FALSE(openAbsoluteDirectoryNoFollow(path, &error)) << path;
    EXPECT_TRUE(expected || errno == EINVAL) << path;
    EXPECT_EQ(error, expected) << path;
  }
}

TEST_F(Tree, RelativeReads) {
  auto content = readRelativeFileNoFollow(root.get(), "sub/file", 64, nullptr);
  EXPECT_TRUE(content && std::ranges::equal(*content, std::string_view("content")));
  const std::pair<std::string, std::optional<Error>> refusals[] = {
      {"fifo", std::nullopt}, {"filelink", std::nullopt}, {"sub/./file", std::nullopt},
      {"dirlink/file", Error{kPosixDomain, ENOTDIR, "unsafe path component: dirlink"}},
  };
  for (const auto &[path, expected] : refusals) {
    std::optional<Error> error;
    EXPECT_FALSE(readRelativeFileNoFollow(root.get(), path, 64, &error)) << path;
    EXPECT_EQ(error, expected) << path;
  }
  // The parent of one component: a close-on-exec duplicate.
  Descriptor parent = openRelativeParent(root.get(), std::vector<std::string>{"fifo"}, nullptr);
  EXPECT_NE(parent.get(), root.get());
  EXPECT_EQ(fcntl(parent.get(), F_GETFD), FD_CLOEXEC);
}

// "sub": the rename fails after the temporary file was written.
TEST_F(Tree, RefusedAtomicWriteLeavesNothingBehind) {
  for (const char *name : {"sub", "sub/file"}) {
    const auto before = test::directoryNames(dir);
    std::optional<Error> error;
    EXPECT_FALSE(atomicRootData(dir, name, test::bytes("data"), &error)) << name;
    EXPECT_FALSE(error) << name;
    EXPECT_EQ(test::directoryNames(dir), before) << name;
  }
}

}  // namespace
}  // namespace vela::helper
