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
  // A change to the current release record, or to the installed generation
  // (last: it stays), and the error that refuses the start.
  const std::tuple<const char *, std::function<void(Json &)>, std::optional<Error>> rows[] = {
      {"sound", [](Json &) {}, std::nullopt},
      {"upper_case_digest_names_the_lower_case_root",
       [&](Json &r) { r["archiveSha256"] = "CCCCCCCCCCCCCCCC" + g.digest.substr(16); },
       test::credentialError(platform::keychain::kParam)},
      {"version_cut_short_by_a_nul", [&](Json &r) { r["version"] = g.version + '\0' + "x"; },
       Error{kActivationDomain, 1, "Accepted broker identity is invalid."}},
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
}

TEST(Restore, AttemptsAtMostFivePerWindowOfMoreThan300Seconds) {
  // A pass's time, whether a trust state names a current release by then (one
  // without a custody tree, that cannot start), and the window and attempts after.
  const std::tuple<double, bool, double, std::uint64_t> rows[] = {
      {1000, false, 1000, 0},  // the first pass opens a window
      {1001, false, 1000, 0},  // no trust state counts nothing
      {1002, true, 1000, 1},
      {1003, true, 1000, 2},
      {1004, true, 1000, 3},
      {1005, true, 1000, 4},
      {1006, true, 1000, 5},
      {1007, true, 1000, 5},  // the sixth is not attempted
      {1300, true, 1000, 5},  // exactly 300 seconds is the same window
      {900, true, 1000, 5},   // a clock set back keeps the window
      {1300.5, true, 1300.5, 1},  // past 300 seconds a new window opens
  };
  const std::string state = vela::test::trustStateOf({});
  for (const auto &[now, trusted, window, attempts] : rows) {
    if (trusted) {
      ASSERT_TRUE(atomicRootData(VelaV3State, VelaTrustStateName, test::bytes(state), nullptr));
    }
    restoreAcceptedBroker(now);
    EXPECT_EQ(VelaRestartWindow, window) << now;
    EXPECT_EQ(VelaRestartFailures, attempts) << now;
  }
}

}  // namespace
}  // namespace vela::helper
