#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "files.hpp"
#include "support.hpp"
#include "trust.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kDirectory(VelaV3State);
const std::string kFile = kDirectory + "/" + std::string(VelaTrustStateName);

std::string release(const std::string &channel) {
  return R"({"channel":")" + channel + R"(","version":"1.2.3","archiveSha256":")" + std::string(64, 'a') +
         R"(","archiveBytes":7,"notBeforeMs":100})";
}

const std::string kSound = R"({"schemaVersion":3,"channels":{"stable":)" + release("stable") +
                           R"(},"current":)" + release("stable") + "}";

const Error kUnsafe{kActivationDomain, 1, "Root broker trust state is unsafe; refusing to reset it."};
const Error kCorrupt{kActivationDomain, 1, "Root broker trust state is corrupt; refusing to reset it."};

class TrustState : public testing::Test {
 protected:
  void SetUp() override {
    umask(077);
    ASSERT_TRUE(ensureRootDirectory(VelaV3State, 0700, nullptr));
  }
};

// A document padded with spaces to exactly `size` bytes.
std::string padded(std::string document, std::size_t size) {
  document.resize(size, ' ');
  return document;
}

// The entry under the state file's name, never opened unless it is a
// regular file (opening a FIFO would block).
std::string snapshot() {
  struct stat st {};
  if (lstat(kFile.c_str(), &st) != 0) return "absent";
  std::string kind = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid) + ":";
  return S_ISREG(st.st_mode) ? kind + test::readFile(kFile) : kind;
}

void writeState(const std::string &content, mode_t mode = 0600, uid_t owner = 0) {
  test::writeFile(kFile, content, mode);
  chown(kFile.c_str(), owner, 0);
}

TEST(TrustStateFirstStart, DefaultStateWithoutWritingAnything) {
  umask(077);
  std::optional<Error> error;
  auto state = readRootTrust(&error);
  ASSERT_TRUE(state);
  EXPECT_EQ(*state, defaultTrustState());
  EXPECT_FALSE(error);
  struct stat st {};
  ASSERT_EQ(stat(kDirectory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(test::directoryNames(kDirectory).empty());
}

TEST_F(TrustState, WrittenStateReadsBack) {
  ASSERT_TRUE(atomicRootData(VelaV3State, VelaTrustStateName, test::bytes(kSound), nullptr));
  auto state = readRootTrust(nullptr);
  ASSERT_TRUE(state);
  EXPECT_EQ(*state, Json::parse(kSound));
}

struct FileCase {
  const char *name;
  std::function<void()> prepare;
  std::optional<Error> error;  // none: the sound state is read
};

class TrustFiles : public TrustState, public testing::WithParamInterface<FileCase> {};

TEST_P(TrustFiles, Outcome) {
  const auto &c = GetParam();
  c.prepare();
  auto before = snapshot();
  std::optional<Error> error;
  auto state = readRootTrust(&error);
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(state.has_value(), !c.error);
  EXPECT_EQ(snapshot(), before) << "a refused file is never rewritten";
}

Error parserError(const std::string &document) {
  try {
    [[maybe_unused]] auto parsed = Json::parse(document);
  } catch (const Json::parse_error &e) {
    return {"NSCocoaErrorDomain", 3840, e.what()};
  }
  return {};
}

INSTANTIATE_TEST_SUITE_P(
    Trust, TrustFiles,
    testing::Values(
        FileCase{"mode_0600", [] { writeState(kSound, 0600); }, std::nullopt},
        FileCase{"mode_0400", [] { writeState(kSound, 0400); }, std::nullopt},
        FileCase{"exactly_2_MiB", [] { writeState(padded(kSound, 2'097'152)); }, std::nullopt},
        // unsafe
        FileCase{"mode_0640", [] { writeState(kSound, 0640); }, kUnsafe},
        FileCase{"mode_0604", [] { writeState(kSound, 0604); }, kUnsafe},
        FileCase{"owned_by_another_user", [] { writeState(kSound, 0600, 1234); }, kUnsafe},
        FileCase{"link_to_a_sound_file",
                 [] {
                   test::writeFile(kDirectory + "/real.json", kSound);
                   symlink("real.json", kFile.c_str());
                 },
                 kUnsafe},
        FileCase{"directory", [] { mkdir(kFile.c_str(), 0700); }, kUnsafe},
        FileCase{"fifo", [] { mkfifo(kFile.c_str(), 0600); }, kUnsafe},
        // corrupt
        FileCase{"one_byte_over_2_MiB", [] { writeState(padded(kSound, 2'097'153)); }, kCorrupt},
        FileCase{"schema_2", [] { writeState(R"({"schemaVersion":2,"channels":{},"current":null})"); }, kCorrupt},
        FileCase{"channels_array", [] { writeState(R"({"schemaVersion":3,"channels":[],"current":null})"); },
                 kCorrupt},
        FileCase{"array_form", [] { writeState(R"([3,{},null])"); }, kCorrupt},
        FileCase{"refused_by_the_core",
                 [] { writeState(R"({"schemaVersion":3,"channels":{"beta":)" + release("stable") + "}}"); },
                 kCorrupt},
        FileCase{"not_json", [] { writeState("{\"schemaVersion\":3,"); }, parserError("{\"schemaVersion\":3,")},
        FileCase{"empty", [] { writeState(""); }, parserError("")}),
    rowName<FileCase>);

TEST_F(TrustState, EarlierErrorStaysOverARefusal) {
  writeState(kSound, 0644);
  const Error earlier{kPosixDomain, 2, "earlier"};
  std::optional<Error> error = earlier;
  EXPECT_FALSE(readRootTrust(&error));
  EXPECT_EQ(error, earlier);
}

TEST_F(TrustState, RefusalWithoutOutParameterIsOnlyNothing) {
  writeState("not json");
  EXPECT_FALSE(readRootTrust(nullptr));
}

TEST_F(TrustState, UnsafeStateDirectoryAncestor) {
  chmod("/private/var", 0777);
  std::optional<Error> error;
  EXPECT_FALSE(readRootTrust(&error));
  EXPECT_EQ(error, (Error{kPosixDomain, EPERM, "root custody path is unsafe: " + kDirectory}));
}

}  // namespace
}  // namespace vela::helper
