#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "files.hpp"
#include "support.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

const std::string kDirectory(VelaV3State);
const std::string kFile = kDirectory + "/" + std::string(VelaTrustStateName);
const std::string kSound = vela::test::trustStateOf({});

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

// The entry under the state file's name, opened only when a regular file (a FIFO would block).
std::string snapshot() {
  struct stat st {};
  if (lstat(kFile.c_str(), &st) != 0) return "absent";
  std::string kind = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid) + ":";
  return S_ISREG(st.st_mode) ? kind + test::readFile(kFile) : kind;
}

TEST(TrustState, FirstStartWritesNothingAndRefusedFilesStayAsTheyAre) {
  std::optional<Error> error;
  EXPECT_EQ(readRootTrust(&error), Json::parse(R"({"schemaVersion":3,"channels":{},"current":null})"));
  EXPECT_FALSE(error);
  EXPECT_EQ(test::commandOutput("stat -c %a " + kDirectory + " && ls -A " + kDirectory), "700\n");

  const Error unsafe{kActivationDomain, 1, "Root broker trust state is unsafe; refusing to reset it."};
  const Error corrupt{kActivationDomain, 1, "Root broker trust state is corrupt; refusing to reset it."};
  const std::string largest = kSound + std::string(2'097'152 - kSound.size(), ' ');
  const std::tuple<const char *, std::function<void()>, std::optional<Error>> rows[] = {
      {"exactly_2_MiB", [&] { test::writeFile(kFile, largest); }, std::nullopt},
      {"unsafe_directory_ancestor", [] { chmod("/private/var", 0777); },
       Error{kPosixDomain, EPERM, "root custody path is unsafe: " + kDirectory}},
      {"mode_0640", [] { test::writeFile(kFile, kSound, 0640); }, unsafe},
      {"mode_0604", [] { test::writeFile(kFile, kSound, 0604); }, unsafe},
      {"owned_by_another_user", [] { test::writeFile(kFile, kSound); chown(kFile.c_str(), 1234, 0); }, unsafe},
      {"fifo", [] { mkfifo(kFile.c_str(), 0600); }, unsafe},
      {"one_byte_over_2_MiB", [&] { test::writeFile(kFile, largest + " "); }, corrupt},
      {"refused_by_the_core",
       [] { test::writeFile(kFile, vela::test::trustState(R"("beta":)" + vela::test::Release{}.json())); }, corrupt},
      {"not_json", [] { test::writeFile(kFile, "{\"schemaVersion\":3,"); },
       Error{"NSCocoaErrorDomain", 3840,
             "[json.exception.parse_error.101] parse error at line 1, column 20: syntax error while parsing object key "
             "- unexpected end of input; expected string literal"}},
  };
  for (const auto &[name, prepare, expected] : rows) {
    SCOPED_TRACE(name);
    ASSERT_EQ(std::system(("chmod 0755 /private/var && rm -f " + kFile).c_str()), 0);
    prepare();
    const auto before = snapshot();
    std::optional<Error> refusal;
    auto state = readRootTrust(&refusal);
    EXPECT_EQ(refusal, expected);
    EXPECT_EQ(state, expected ? std::nullopt : std::optional(Json::parse(kSound)));
    EXPECT_EQ(snapshot(), before) << "a refused file is never rewritten";
  }
}

}  // namespace
}  // namespace vela::helper
