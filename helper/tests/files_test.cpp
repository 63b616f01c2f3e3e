#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "files.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

using test::bytes;
using test::TempDir;

// safeRelativePath

struct PathCase {
  const char *name;
  std::string path;
  bool safe;
};

class RelativePaths : public testing::TestWithParam<PathCase> {};

TEST_P(RelativePaths, Verdict) { EXPECT_EQ(safeRelativePath(GetParam().path), GetParam().safe) << GetParam().path; }

INSTANTIATE_TEST_SUITE_P(Files, RelativePaths,
                         testing::Values(PathCase{"two_components", "a/b.json", true},
                                         PathCase{"one_component", "trust-state-v3.json", true},
                                         PathCase{"dot_inside_name", "a/.b..c", true},
                                         PathCase{"empty", "", false},
                                         PathCase{"absolute", "/a/b", false},
                                         PathCase{"backslash", "a\\b", false},
                                         PathCase{"empty_component", "a//b", false},
                                         PathCase{"trailing_slash", "a/", false},
                                         PathCase{"dot", "a/./b", false},
                                         PathCase{"dot_dot", "a/../b", false},
                                         PathCase{"only_dot_dot", "..", false},
                                         PathCase{"nul", std::string("a\0b", 3), false}),
                         rowName<PathCase>);

// A tree with every kind of entry the walks must refuse.
class Tree : public testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "sub").c_str(), 0700);
    test::writeFile(dir / "sub/file", "content");
    test::writeFile(dir / "empty", "");
    test::writeFile(dir / "exact", std::string(64, 'x'));
    test::writeFile(dir / "over", std::string(65, 'x'));
    symlink("sub", (dir / "dirlink").c_str());
    symlink("sub/file", (dir / "filelink").c_str());
    mkfifo((dir / "fifo").c_str(), 0600);
    root = Descriptor(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  }
  TempDir dir;
  Descriptor root;
};

// openAbsoluteDirectoryNoFollow

TEST_F(Tree, OpensAbsoluteDirectory) {
  std::optional<Error> error;
  Descriptor fd = openAbsoluteDirectoryNoFollow(dir / "sub", &error);
  EXPECT_TRUE(fd);
  EXPECT_FALSE(error);
  EXPECT_TRUE(openAbsoluteDirectoryNoFollow("/", &error));
  EXPECT_TRUE(openAbsoluteDirectoryNoFollow("//" + dir.path() + "//sub/", &error));
}

struct AbsoluteCase {
  const char *name;
  std::string suffix;  // after the tree's path; a leading "-" makes the path relative
  int errnoValue;
  std::optional<Error> error;
};

class AbsoluteRefusals : public Tree, public testing::WithParamInterface<AbsoluteCase> {};

TEST_P(AbsoluteRefusals, Refused) {
  const auto &c = GetParam();
  std::string path = c.suffix.starts_with('-') ? c.suffix.substr(1) : dir.path() + c.suffix;
  std::optional<Error> error;
  errno = 0;
  EXPECT_FALSE(openAbsoluteDirectoryNoFollow(path, &error));
  if (c.errnoValue != 0) {
    EXPECT_EQ(errno, c.errnoValue);
  }
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AbsoluteRefusals,
    testing::Values(
        AbsoluteCase{"relative", "-relative/path", 0, Error{kHelperDomain, 1, "source root must be absolute"}},
        AbsoluteCase{"dot_dot", "/sub/..", EINVAL, std::nullopt},
        AbsoluteCase{"dot", "/./sub", EINVAL, std::nullopt},
        AbsoluteCase{"link_component", "/dirlink", ENOTDIR, Error{kPosixDomain, ENOTDIR, "unsafe source ancestor: dirlink"}},
        AbsoluteCase{"link_then_more", "/dirlink/x", ENOTDIR,
                     Error{kPosixDomain, ENOTDIR, "unsafe source ancestor: dirlink"}},
        AbsoluteCase{"missing", "/missing", ENOENT, Error{kPosixDomain, ENOENT, "unsafe source ancestor: missing"}},
        AbsoluteCase{"file", "/empty", ENOTDIR, Error{kPosixDomain, ENOTDIR, "unsafe source ancestor: empty"}}),
    rowName<AbsoluteCase>);

// readRelativeFileNoFollow, bounded to 64 bytes

struct ReadCase {
  const char *name;
  std::string path;
  std::optional<std::string> content;
  std::optional<Error> error;
};

class Reads : public Tree, public testing::WithParamInterface<ReadCase> {};

TEST_P(Reads, Outcome) {
  const auto &c = GetParam();
  std::optional<Error> error;
  auto data = readRelativeFileNoFollow(root.get(), c.path, 64, &error);
  EXPECT_EQ(data, c.content ? std::optional(bytes(*c.content)) : std::nullopt);
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Reads,
    testing::Values(ReadCase{"nested", "sub/file", "content", std::nullopt},
                    ReadCase{"exactly_the_bound", "exact", std::string(64, 'x'), std::nullopt},
                    ReadCase{"one_over_the_bound", "over", std::nullopt, std::nullopt},
                    ReadCase{"empty_file", "empty", "", std::nullopt},
                    ReadCase{"fifo", "fifo", std::nullopt, std::nullopt},
                    ReadCase{"directory", "sub", std::nullopt, std::nullopt},
                    ReadCase{"link_leaf", "filelink", std::nullopt, std::nullopt},
                    ReadCase{"missing_leaf", "sub/missing", std::nullopt, std::nullopt},
                    ReadCase{"unsafe_path", "sub/../exact", std::nullopt, std::nullopt},
                    ReadCase{"link_component", "dirlink/file", std::nullopt,
                             Error{kPosixDomain, ENOTDIR, "unsafe path component: dirlink"}},
                    ReadCase{"file_component", "exact/file", std::nullopt,
                             Error{kPosixDomain, ENOTDIR, "unsafe path component: exact"}}),
    rowName<ReadCase>);

TEST_F(Tree, RelativeParentOfOneComponentIsTheDirectoryItself) {
  std::vector<std::string> components{"exact"};
  Descriptor parent = openRelativeParent(root.get(), components, nullptr);
  ASSERT_TRUE(parent);
  struct stat a {}, b {};
  fstat(parent.get(), &a);
  fstat(root.get(), &b);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_NE(parent.get(), root.get());
  EXPECT_EQ(fcntl(parent.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

// atomicRootData

TEST_F(Tree, AtomicWriteReplacesWholeFileWithOwnerOnlyMode) {
  test::writeFile(dir / "state.json", "old", 0644);
  ASSERT_TRUE(atomicRootData(dir.path(), "state.json", bytes("new"), nullptr));
  EXPECT_EQ(test::readFile(dir / "state.json"), "new");
  struct stat st {};
  lstat((dir / "state.json").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_TRUE(atomicRootData(dir.path(), "fresh", bytes(""), nullptr));
  EXPECT_EQ(test::readFile(dir / "fresh"), "");
}

struct AtomicCase {
  const char *name;
  std::string directory;  // below the tree
  std::string fileName;
  std::optional<Error> error;
};

class AtomicRefusals : public Tree, public testing::WithParamInterface<AtomicCase> {};

TEST_P(AtomicRefusals, NothingLeftBehind) {
  const auto &c = GetParam();
  std::string directory = dir.path() + c.directory;
  auto before = test::directoryNames(directory);
  std::optional<Error> error;
  EXPECT_FALSE(atomicRootData(directory, c.fileName, bytes("data"), &error));
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(test::directoryNames(directory), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AtomicRefusals,
    testing::Values(
        // The rename fails after the temporary file was written.
        AtomicCase{"name_is_a_directory", "", "sub", std::nullopt},
        AtomicCase{"name_with_a_path", "", "sub/file", std::nullopt},
        AtomicCase{"name_dot_dot", "/sub", "..", std::nullopt},
        AtomicCase{"directory_through_link", "/dirlink", "x",
                   Error{kPosixDomain, ENOTDIR, "unsafe source ancestor: dirlink"}}),
    rowName<AtomicCase>);

TEST_F(Tree, ConcurrentReaderSeesOldOrNewNeverPart) {
  const std::string a(200'000, 'a'), b(100'000, 'b');
  ASSERT_TRUE(atomicRootData(dir.path(), "state", bytes(a), nullptr));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      auto data = readRelativeFileNoFollow(root.get(), "state", 1 << 20, nullptr);
      if (!data) {
        ++torn;
        continue;
      }
      std::string text(data->begin(), data->end());
      if (text != a && text != b) ++torn;
      ++reads;
    }
  });
  bool written = true;
  for (int i = 0; written && (i < 200 || reads < 200); ++i)
    written = atomicRootData(dir.path(), "state", bytes(i % 2 ? b : a), nullptr);
  done = true;
  reader.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(torn, 0);
  auto names = test::directoryNames(dir.path());
  EXPECT_EQ(std::ranges::count_if(names, [](const std::string &n) { return n.contains(".tmp-"); }), 0);
}

}  // namespace
}  // namespace vela::helper
