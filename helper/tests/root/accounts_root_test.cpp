#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include "accounts.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using test::commandOutput;

void run(const std::string &command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

TEST(Accounts, ScriptRunsWithExactlyItsEnvironmentAndMakesTheAccounts) {
  const std::string root = "/private/runtime", report = "/private/vela-test/account-script/";
  run("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --out " + root);
  std::optional<Error> error;
  ASSERT_TRUE(prepareServiceAccount(root, "a b", &error)) << error->message;
  auto lines = [&](const char *name) { return commandOutput("tr '\\0' '\\n' < " + report + name + " | sort"); };
  EXPECT_EQ(lines("environ"), "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nVELA_AGENT_USER=a b\nVELA_BROKER_PREPARE_ONLY=1\n"
                              "VELA_RUNTIME_ROOT=" + root + "\n");
  EXPECT_EQ(lines("cmdline"), "/bin/sh\n" + root + "/host/app/packaging/macos/install-vela-broker.sh\n");
  EXPECT_EQ(lines("cwd"), root + "\n");
  const passwd *broker = getpwnam("_velabroker");
  ASSERT_TRUE(broker && getgrnam("_velaagent") && getgrnam("_velacontrol"));
  EXPECT_TRUE(broker->pw_uid >= 200 && broker->pw_uid <= 499 && broker->pw_gid == getgrnam("_velabroker")->gr_gid &&
              std::string(broker->pw_shell) + broker->pw_dir == "/usr/bin/false/var/empty");
}

TEST(Accounts, MembershipIsAddedForOneUser) {
  run("groupadd -g 300 _velaagent && useradd --badname -M -u 301 'a b' 2>/dev/null");
  std::optional<Error> error;
  EXPECT_TRUE(addCustomerPublicMembership("a b", &error));
  EXPECT_FALSE(addCustomerPublicMembership("nobody-here", &error));
  EXPECT_EQ(error, (Error{kHelperDomain, 6, "privileged broker task failed with exit status 6"}));
  EXPECT_EQ(commandOutput("getent group _velaagent"), "_velaagent:x:300:a b\n");
}

TEST(Accounts, TreeIsGivenToRootAndTheGroup) {
  run("mkdir -p /private/tree/a/b /private/target && touch /private/tree/a/f && chown -R 1234:1234 /private/tree && "
      "ln -s /private/target /private/link");
  EXPECT_TRUE(makeServiceReadable("/private/tree", 321, nullptr));
  EXPECT_EQ(commandOutput("find /private/tree -printf '%U:%G\\n' | sort -u"), "0:321\n");
  EXPECT_FALSE(makeServiceReadable("/private/link", 321, nullptr)) << "the mode is set without following a link";
  struct stat st {};
  EXPECT_TRUE(stat("/private/tree", &st) == 0 && (st.st_mode & 07777) == 0750);
  EXPECT_TRUE(stat("/private/target", &st) == 0 && (st.st_mode & 07777) == 0755);
}

}  // namespace
}  // namespace vela::helper
