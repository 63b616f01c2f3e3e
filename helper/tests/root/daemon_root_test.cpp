// The installed daemon and client, as a host runs them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "daemon.hpp"
#include "platform/wire.hpp"
#include "root/fixture.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using namespace test;

// A reply as the client prints it.
std::string line(bool ok, const std::string &code, const std::string &message) {
  return R"({"ok":)" + std::string(ok ? "true" : "false") + R"(,"code":")" + code + R"(","message":")" + message +
         "\"}\n";
}
const std::string kAvailable = line(true, "helper_available",
                                    "Vela broker helper is authenticated and reachable; protected runtime readiness "
                                    "has not been verified.");
const std::string kProtocol = line(false, "unsupported_protocol", "Unsupported Vela broker helper protocol.");
const std::string kOperation =
    line(false, "unsupported_operation", "The requested privileged operation is not allowlisted.");

TEST(DaemonStart, RefusedWithItsExitStatus) {
  EXPECT_EQ(exitStatus(spawn(kDaemon, kUser)), 77) << "not root";
  EXPECT_EQ(finish(popen(("timeout 10 env -u VELA_TEST_RUN " + kDaemon + " 2>&1").c_str(), "r")),
            (Output{79, "vela-broker-helper: refused: this build trusts the development release key; it runs only "
                        "as a test, with VELA_TEST_RUN=1\n"}))
      << "a test build not started as a test";
  chmod("/run", 0775);
  EXPECT_EQ(exitStatus(spawn(kDaemon, 0)), 78) << "socket directory writable by group";
}

TEST_F(Daemon, RequestsOnOneConnection) {
  const std::string big = "/private/big";
  test::writeFile(big, std::string(platform::ipc::wire::kMaxRequest, 'x'), 0644);
  const std::pair<std::string, Output> rows[] = {
      {"status", {kAllOk, kAvailable}},
      {"send i:protocolVersion=3 s:operation=status", {kNotOk, kProtocol}},
      {"send s:operation=status", {kNotOk, kProtocol}},
      {"send u:protocolVersion=4 s:operation=status", {kNotOk, kProtocol}},
      {"send u:protocolVersion=3", {kNotOk, kOperation}},
      {"send u:protocolVersion=3 s:operation=Status", {kNotOk, kOperation}},
      {"send u:protocolVersion=3 's:operation=status '", {kNotOk, kOperation}},
      {"send u:protocolVersion=3 -- status", {kNotOk, kOperation + kAvailable}},
      {"--no-reply send u:protocolVersion=3 -- status", {kAllOk, kAvailable}},
      // A frame that does not decode or is over the bound ends the connection.
      {"status -- send u:protocolVersion=3 u:protocolVersion=3 -- status", {kConnection, kAvailable}},
      {"status -- send d:big=" + big + " -- status", {kConnection, kAvailable}},
  };
  for (const auto &[requests, expected] : rows) EXPECT_EQ(outputOf(asUser(kClient) + requests), expected) << requests;
}

TEST_F(Daemon, BadFrameEndsOnlyItsOwnConnection) {
  const std::string fifo = "/private/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(chown(fifo.c_str(), kUser, kUser), 0);
  // The second request waits for its data until the test writes it.
  FILE *other = popen((asUser(kClient) + "status -- send u:protocolVersion=3 s:operation=status d:x=" + fifo).c_str(), "r");
  char first[4096] = {};
  ASSERT_TRUE(fgets(first, sizeof first, other));
  EXPECT_EQ(outputOf(asUser(kClient) + "send u:protocolVersion=3 u:protocolVersion=3").first, kRefused);
  test::writeFile(fifo, "x");
  EXPECT_EQ(finish(other, first), (Output{kAllOk, kAvailable + kAvailable}));
}

// The running broker's status as the client prints it; nothing while none runs.
std::optional<Json> brokerStatus() {
  auto reply = Json::parse(outputOf(asUser(kClient) + "status").second);
  if (reply["code"] != "runtime_ready") return std::nullopt;
  EXPECT_FALSE(reply.contains("message"));
  return Json::parse(commandOutput("echo " + reply["runtimeStatus"].get<std::string>() + " | base64 -d"));
}

// The broker of a daemon killed with SIGKILL ends when the next one starts.
TEST(DaemonBroker, StartedAloneAtOnceRestartedByTheNextTickStoppedBySigterm) {
  const auto ids = test::makeServiceAccounts();
  const auto generation = test::installGeneration(ids);
  test::makeCurrent(generation);
  pid_t daemon = spawn(kDaemon, 0);
  ASSERT_TRUE(listening() && brokerStatus());
  kill(daemon, SIGKILL);
  waitpid(daemon, nullptr, 0);
  daemon = spawn(kDaemon, 0);
  ASSERT_TRUE(listening());
  auto first = brokerStatus();  // answered once the start-up restore has ended
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["generation"], generation.digest);
  EXPECT_EQ(commandOutput("pgrep -c -u " + std::to_string(ids.brokerUid)), "1\n");
  kill((*first)["pid"].get<pid_t>(), SIGKILL);
  std::optional<Json> restarted;
  for (int second = 0; second < 30 && (!restarted || *restarted == *first); ++second, sleep(1))
    restarted = brokerStatus();
  ASSERT_TRUE(restarted && *restarted != *first) << "no restart within two ticks";
  kill(daemon, SIGTERM);
  EXPECT_EQ(exitStatus(daemon), 0);
  EXPECT_NE(kill((*restarted)["pid"].get<pid_t>(), 0), 0) << "the broker outlived the daemon";
}

// A change to the installed client, and the command that connects.
TEST_F(Daemon, PeerRefusedWithoutReply) {
  const std::string other = VELA_BIN_DIR "/vela-other-client";
  const std::pair<std::string, std::string> rows[] = {
      {"true", asUser(kClient, 0)},
      {"cp " + kClient + " " + other, asUser(other)},
      {"chmod 0775 " + kClient, asUser(kClient)},
      {"chmod 0775 " VELA_BIN_DIR, asUser(kClient)},
  };
  for (const auto &[change, command] : rows) {
    ASSERT_EQ(std::system(("chmod 0755 " + kClient + " " VELA_BIN_DIR " && " + change).c_str()), 0);
    EXPECT_EQ(outputOf(command + "status"), (Output{kRefused, ""})) << change << "; " << command;
  }
}

}  // namespace
}  // namespace vela::helper
