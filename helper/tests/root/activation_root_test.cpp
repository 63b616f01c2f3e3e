#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "platform/keychain.hpp"
#include "restore.hpp"
#include "root/fixture.hpp"

namespace vela::helper {
namespace {

TEST(Activation, ReadyBrokerOrRefusal) {
  const auto g = test::installGeneration(test::makeServiceAccounts());
  test::makeCurrent(g);
  // A change to the current release record, the broker's directories or the
  // installed generation (these two stay), and the error that refuses the start.
  const std::tuple<const char *, std::function<void(Json &)>, std::optional<Error>> rows[] = {
      {"sound", [](Json &) {}, std::nullopt},
      {"upper_case_digest_names_the_lower_case_root",
       [&](Json &r) { r["archiveSha256"] = "CCCCCCCCCCCCCCCC" + g.digest.substr(16); },
       test::credentialError(platform::keychain::kParam)},
      {"version_cut_short_by_a_nul", [&](Json &r) { r["version"] = g.version + '\0' + "x"; },
       Error{kActivationDomain, 1, "Accepted broker identity is invalid."}},
      {"socket_directory_writable_by_others", [](Json &) { chmod("/private/var/run/vela-broker", 0777); },
       Error{kActivationDomain, 1, "Broker endpoint custody is unsafe."}},
      // The keychain cannot be opened, and would name itself if it were read.
      {"one_byte_changed_before_the_keychain",
       [&](Json &) {
         std::fstream(g.root + "/host/node/bin/node", std::ios::in | std::ios::out).put('X');
         chmod("/Library/Keychains", 0777);
       },
       Error{kActivationDomain, 1, "Accepted broker custody failed integrity verification."}},
  };
  for (const auto &[name, change, expected] : rows) {
    SCOPED_TRACE(name);
    Json release = readRootTrust(nullptr).value()["current"];
    change(release);
    std::optional<Error> error;
    EXPECT_EQ(startAcceptedRelease(release, &error), !expected);
    EXPECT_EQ(error, expected);
    char status[512];
    EXPECT_EQ(vela_core_status(status, sizeof status), expected ? 1 : 0);
    if (!expected) {
      EXPECT_EQ(Json::parse(status)["generation"], g.digest);
      EXPECT_EQ(test::commandOutput("stat -c '%U:%G %F %a' /private/var/run/vela-broker /private/var/db/vela-broker"),
                "_velabroker:_velabroker directory 711\n_velabroker:_velabroker directory 750\n");
      // The broker's sockets lie under /var/run/vela-broker: one made there
      // lands in the directory prepared for it.
      test::run("setpriv --reuid=_velabroker --regid=_velabroker --clear-groups node -e "
                "\"require('net').createServer().listen('/var/run/vela-broker/invoke.sock', process.exit)\"");
      EXPECT_EQ(test::commandOutput("stat -c '%U %F' /private/var/run/vela-broker/invoke.sock"), "_velabroker socket\n");
    }
    vela_core_stop();
  }
  EXPECT_EQ(test::commandOutput("stat -c %a /private/var/run/vela-broker"), "777\n") << "refused, not repaired";
}

TEST(Restore, AttemptsAtMostFivePerWindowOfMoreThan300Seconds) {
  const auto g = test::installGeneration(test::makeServiceAccounts());
  const std::string noTree = vela::test::trustStateOf({}),
                    installed = vela::test::trustStateOf({.version = g.version, .digest = g.digest});
  // A time, the passes then, the current release written before them if any, and the window and attempts after.
  const std::tuple<double, int, const std::string *, double, std::uint64_t> rows[] = {
      {1000, 1, nullptr, 1000, 0},  // the first pass opens a window; no trust state counts nothing
      {1002, 5, &noTree, 1000, 5},  // one without a custody tree fails to start, and counts
      {1300, 1, nullptr, 1000, 5},  // no sixth attempt: exactly 300 seconds is the same window
      {900, 1, nullptr, 1000, 5},  // a clock set back keeps the window
      {1300.5, 1, nullptr, 1300.5, 1},  // past 300 seconds a new window opens
      {1301, 1, &installed, 1300.5, 2},  // a start that succeeds counts as well,
      {1302, 1, nullptr, 1300.5, 2},  // and its running broker is left alone
  };
  for (const auto &[now, passes, state, window, attempts] : rows) {
    ASSERT_TRUE(!state || atomicRootData(VelaV3State, VelaTrustStateName, test::bytes(*state), nullptr));
    for (int pass = 0; pass < passes; ++pass) restoreAcceptedBroker(now);
    EXPECT_EQ(VelaRestartWindow, window) << now;
    EXPECT_EQ(VelaRestartFailures, attempts) << now;
  }
  vela_core_stop();
}

}  // namespace
}  // namespace vela::helper
