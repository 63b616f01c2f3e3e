#include "accounts.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using test::commandOutput;

void run(const std::string &command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

TEST(Accounts, ScriptRunsWithExactlyItsEnvironment) {
  const std::string root = "/private/runtime", report = "/private/vela-test/account-script/";
  run("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --out " + root);
  std::optional<Error> error;
  ASSERT_TRUE(prepareServiceAccount(root, "a b", &error)) << error->message;
  auto lines = [&](const char *name) { return commandOutput("tr '\\0' '\\n' < " + report + name + " | sort"); };
  EXPECT_EQ(lines("environ"), "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nVELA_AGENT_USER=a b\nVELA_BROKER_PREPARE_ONLY=1\n"
                              "VELA_RUNTIME_ROOT=" + root + "\n");
  EXPECT_EQ(lines("cmdline"), "/bin/sh\n" + root + "/host/app/packaging/macos/install-vela-broker.sh\n");
  EXPECT_EQ(lines("cwd"), root + "\n");
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
  EXPECT_EQ(commandOutput("stat -c %a /private/tree /private/target"), "750\n755\n");
}

}  // namespace
}  // namespace vela::helper
