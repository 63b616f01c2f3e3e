#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "files.hpp"
#include "support.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kDirectory(VelaV3State);
const std::string kFile = kDirectory + "/" + std::string(VelaTrustStateName);
const std::string kSound = vela::test::trustStateOf({});
const Error kUnsafe{kActivationDomain, 1, "Root broker trust state is unsafe; refusing to reset it."};
const Error kCorrupt{kActivationDomain, 1, "Root broker trust state is corrupt; refusing to reset it."};

// The entry under the state file's name, never opened unless it is a
// regular file (opening a FIFO would block).
std::string snapshot() {
  struct stat st {};
  if (lstat(kFile.c_str(), &st) != 0) return "absent";
  std::string kind = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid) + ":";
  return S_ISREG(st.st_mode) ? kind + test::readFile(kFile) : kind;
}

void writeState(std::string content, mode_t mode = 0600, uid_t owner = 0, std::size_t size = 0) {
  content.resize(std::max(size, content.size()), ' ');
  test::writeFile(kFile, content, mode);
  chown(kFile.c_str(), owner, 0);
}

Error parserError(const std::string &document) {
  try {
    [[maybe_unused]] auto parsed = Json::parse(document);
  } catch (const Json::parse_error &e) {
    return {"NSCocoaErrorDomain", 3840, e.what()};
  }
  return {};
}

TEST(TrustStateFirstStart, DefaultStateWithoutWritingAnything) {
  std::optional<Error> error;
  auto state = readRootTrust(&error);
  ASSERT_TRUE(state);
  EXPECT_FALSE(error);
  EXPECT_EQ(*state, Json::parse(R"({"schemaVersion":3,"channels":{},"current":null})"));
  struct stat st {};
  ASSERT_EQ(stat(kDirectory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(test::directoryNames(kDirectory).empty());
}

struct FileCase {
  const char *name;
  std::function<void()> prepare;
  std::optional<Error> error;  // none: the sound state is read
};

class TrustFiles : public testing::TestWithParam<FileCase> {};

TEST_P(TrustFiles, Outcome) {
  ASSERT_TRUE(ensureRootDirectory(VelaV3State, 0700, nullptr));
  const auto &c = GetParam();
  c.prepare();
  auto before = snapshot();
  std::optional<Error> error;
  auto state = readRootTrust(&error);
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(state, c.error ? std::nullopt : std::optional(Json::parse(kSound)));
  EXPECT_EQ(snapshot(), before) << "a refused file is never rewritten";
}

INSTANTIATE_TEST_SUITE_P(
    Trust, TrustFiles,
    testing::Values(
        FileCase{"exactly_2_MiB", [] { writeState(kSound, 0600, 0, 2'097'152); }, std::nullopt},
        // unsafe
        FileCase{"unsafe_directory_ancestor", [] { chmod("/private/var", 0777); },
                 Error{kPosixDomain, EPERM, "root custody path is unsafe: " + kDirectory}},
        FileCase{"mode_0640", [] { writeState(kSound, 0640); }, kUnsafe},
        FileCase{"mode_0604", [] { writeState(kSound, 0604); }, kUnsafe},
        FileCase{"owned_by_another_user", [] { writeState(kSound, 0600, 1234); }, kUnsafe},
        FileCase{"fifo", [] { mkfifo(kFile.c_str(), 0600); }, kUnsafe},
        // corrupt
        FileCase{"one_byte_over_2_MiB", [] { writeState(kSound, 0600, 0, 2'097'153); }, kCorrupt},
        FileCase{"refused_by_the_core", [] { writeState(vela::test::trustState(R"("beta":)" + vela::test::Release{}.json())); },
                 kCorrupt},
        FileCase{"not_json", [] { writeState("{\"schemaVersion\":3,"); }, parserError("{\"schemaVersion\":3,")}),
    rowName<FileCase>);

}  // namespace
}  // namespace vela::helper
