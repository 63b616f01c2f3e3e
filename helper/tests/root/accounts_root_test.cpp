#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>

#include <algorithm>
#include <ranges>

#include "accounts.hpp"
#include "platform/paths.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using test::readFile;

void run(const std::string &command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::vector<std::string> nulList(const std::string &path) {
  std::vector<std::string> list;
  for (auto part : std::views::split(readFile(path), '\0')) list.emplace_back(part.begin(), part.end());
  list.pop_back();
  std::ranges::sort(list);
  return list;
}

TEST(Accounts, ScriptRunsWithExactlyItsEnvironmentAndMakesTheAccounts) {
  const std::string root = "/private/runtime", report = "/private/vela-test/account-script";
  run("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --out " + root);
  std::optional<Error> error;
  ASSERT_TRUE(prepareServiceAccount(root, "a b", &error)) << error->message;
  EXPECT_EQ(nulList(report + "/environ"),
            (std::vector<std::string>{"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "VELA_AGENT_USER=a b",
                                      "VELA_BROKER_PREPARE_ONLY=1", "VELA_RUNTIME_ROOT=" + root}));
  EXPECT_EQ(nulList(report + "/cmdline"),
            (std::vector<std::string>{"/bin/sh", root + "/host/app/packaging/macos/install-vela-broker.sh"}));
  EXPECT_EQ(readFile(report + "/cwd"), root + "\n");
  const passwd *broker = getpwnam("_velabroker");
  ASSERT_NE(broker, nullptr);
  EXPECT_TRUE(broker->pw_uid >= 200 && broker->pw_uid <= 499 && broker->pw_gid == getgrnam("_velabroker")->gr_gid);
  EXPECT_EQ(std::string(broker->pw_shell) + broker->pw_dir, "/usr/bin/false/var/empty");
  EXPECT_TRUE(getgrnam("_velaagent") && getgrnam("_velacontrol"));
}

int standIn(std::vector<std::string> arguments) {
  std::string command(platform::paths::kDseditgroup);
  for (const auto &argument : arguments) command += " '" + argument + "'";
  return WEXITSTATUS(std::system((command + " 2>/dev/null").c_str()));
}

TEST(Accounts, MembershipIsAddedForOneUserInExactlyOneForm) {
  run("groupadd -g 300 _velaagent && useradd --badname -M -u 301 'a b' 2>/dev/null && useradd -M -u 302 alice");
  std::optional<Error> error;
  EXPECT_TRUE(addCustomerPublicMembership("a b", &error));
  EXPECT_FALSE(addCustomerPublicMembership("nobody-here", &error));
  EXPECT_EQ(error, (Error{kHelperDomain, 6, "privileged broker task failed with exit status 6"}));
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"-o", "edit", "-a", "alice", "-t", "user", "_velaagent"},
      {"-q", "-o", "edit", "-a", "alice", "-t", "user", "_velaagent", "extra"},
      {"-q", "-o", "edit", "-d", "alice", "-t", "user", "_velaagent"},
      {"-q", "-o", "edit", "-a", "alice", "-t", "group", "_velaagent"},
      {"-q", "-o", "edit", "-a", "alice", "-t", "user", "_velaagent,root"},
  };
  for (const auto &arguments : refused) EXPECT_EQ(standIn(arguments), 64);
  std::string members;
  for (char **member = getgrnam("_velaagent")->gr_mem; *member != nullptr; ++member) members += *member + std::string("|");
  EXPECT_EQ(members, "a b|");
}

TEST(Accounts, TreeIsGivenToRootAndTheGroup) {
  run("mkdir -p /private/tree/a/b /private/target && touch /private/tree/a/f && chown -R 1234:1234 /private/tree && "
      "ln -s /private/target /private/link");
  EXPECT_TRUE(makeServiceReadable("/private/tree", 321, nullptr));
  EXPECT_EQ(test::commandOutput("find /private/tree -printf '%U:%G\\n' | sort -u"), "0:321\n");
  EXPECT_FALSE(makeServiceReadable("/private/link", 321, nullptr)) << "the mode is set without following a link";
  struct stat st {};
  EXPECT_TRUE(stat("/private/tree", &st) == 0 && (st.st_mode & 07777) == 0750);
  EXPECT_TRUE(stat("/private/target", &st) == 0 && (st.st_mode & 07777) == 0755);
}

}  // namespace
}  // namespace vela::helper
