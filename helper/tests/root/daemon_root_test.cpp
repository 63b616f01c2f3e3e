// The installed daemon and client, as a host runs them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include <sodium.h>

#include "daemon.hpp"
#include "foreground.hpp"
#include "platform/wire.hpp"
#include "root/fixture.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names
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

struct StartCase {
  const char *name;
  std::function<void()> prepare;
  uid_t uid;
  int status;
};

class DaemonStart : public testing::TestWithParam<StartCase> {};

TEST_P(DaemonStart, ExitStatus) {
  GetParam().prepare();
  EXPECT_EQ(exitStatus(spawn(kDaemon, GetParam().uid)), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, DaemonStart,
    testing::Values(StartCase{"not_root", [] {}, kUser, 77},
                    StartCase{"socket_directory_writable_by_group", [] { chmod("/run", 0775); }, 0, 78}),
    rowName<StartCase>);

TEST_F(Daemon, RequestsOnOneConnection) {
  const std::string big = "/private/big";
  test::writeFile(big, std::string(platform::ipc::wire::kMaxFrame, 'x'), 0644);
  struct Row {
    const char *name;
    std::string requests;
    Output expected;
  };
  const Row rows[] = {
      {"status_without_broker", "status", {kAllOk, kAvailable}},
      {"signed_protocol_version", "send i:protocolVersion=3 s:operation=status", {kNotOk, kProtocol}},
      {"no_protocol_version", "send s:operation=status", {kNotOk, kProtocol}},
      {"protocol_version_4", "send u:protocolVersion=4 s:operation=status", {kNotOk, kProtocol}},
      {"no_operation", "send u:protocolVersion=3", {kNotOk, kOperation}},
      {"operation_in_other_case", "send u:protocolVersion=3 s:operation=Status", {kNotOk, kOperation}},
      {"operation_with_trailing_space", "send u:protocolVersion=3 's:operation=status '", {kNotOk, kOperation}},
      {"replies_in_order", "send u:protocolVersion=3 -- status", {kNotOk, kOperation + kAvailable}},
      {"no_reply_expected_none_sent", "--no-reply send u:protocolVersion=3 -- status", {kAllOk, kAvailable}},
      {"undecodable_frame_ends_the_connection", "status -- send u:protocolVersion=3 u:protocolVersion=3 -- status",
       {kConnection, kAvailable}},
      {"frame_over_the_bound_ends_the_connection", "status -- send d:big=" + big + " -- status",
       {kConnection, kAvailable}},
  };
  for (const auto &row : rows) EXPECT_EQ(outputOf(asUser(kClient) + row.requests), row.expected) << row.name;
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

TEST_F(Daemon, RequestWithoutReplyIsCarriedOut) {
  const auto generation = test::installGeneration(test::makeServiceAccounts());
  const std::string source = "/private/runtime-" + generation.digest, open = "foreground_open " + generation.digest;
  const auto inventory = test::readFile(source + "/mac-broker-inventory.json");
  ASSERT_TRUE(prepareForeground(source, test::bytes(inventory), generation.release(), false, nullptr));
  EXPECT_EQ(outputOf(asUser(kClient) + "--no-reply " + open + " -- " + open),
            (Output{kNotOk, line(false, "invalid_channel", "Foreground channel must be opened exactly once.")}));
}

// The running broker's status as the client prints it; nothing while none runs.
std::optional<Json> brokerStatus() {
  auto reply = Json::parse(outputOf(asUser(kClient) + "status").second);
  if (reply["code"] != "runtime_ready") return std::nullopt;
  EXPECT_FALSE(reply.contains("message"));
  std::string text = reply["runtimeStatus"], decoded(text.size(), '\0');
  std::size_t size = 0;
  sodium_base642bin(reinterpret_cast<unsigned char *>(decoded.data()), decoded.size(), text.data(), text.size(),
                    nullptr, &size, nullptr, sodium_base64_VARIANT_ORIGINAL);
  return Json::parse(decoded.substr(0, size));
}

TEST(DaemonBroker, StartedAtOnceRestartedByTheNextTickStoppedBySigterm) {
  const auto generation = test::installGeneration(test::makeServiceAccounts());
  test::makeCurrent(generation);
  pid_t daemon = spawn(kDaemon, 0);
  ASSERT_TRUE(listening());
  auto first = brokerStatus();  // answered once the start-up restore has ended
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["generation"], generation.digest);
  kill((*first)["pid"].get<pid_t>(), SIGKILL);
  std::optional<Json> restarted;
  for (int second = 0; second < 30 && (!restarted || *restarted == *first); ++second, sleep(1))
    restarted = brokerStatus();
  ASSERT_TRUE(restarted && *restarted != *first) << "no restart within two ticks";
  kill(daemon, SIGTERM);
  EXPECT_EQ(exitStatus(daemon), 0);
  EXPECT_NE(kill((*restarted)["pid"].get<pid_t>(), 0), 0) << "the broker outlived the daemon";
}

struct AdmissionCase {
  const char *name;
  std::function<void()> prepare;
  std::string command;
};

class Admission : public Daemon, public testing::WithParamInterface<AdmissionCase> {};

TEST_P(Admission, CancelledWithoutReply) {
  GetParam().prepare();
  EXPECT_EQ(outputOf(GetParam().command + "status"), (Output{kRefused, ""}));
}

const std::string kOther = VELA_BIN_DIR "/vela-other-client";

INSTANTIATE_TEST_SUITE_P(
    Daemon, Admission,
    testing::Values(
        AdmissionCase{"root_peer", [] {}, asUser(kClient, 0)},
        AdmissionCase{"another_executable",
                      [] { std::filesystem::copy_file(kClient, kOther); chmod(kOther.c_str(), 0755); },
                      asUser(kOther)},
        AdmissionCase{"trusted_file_writable_by_group", [] { chmod(kClient.c_str(), 0775); }, asUser(kClient)},
        AdmissionCase{"trusted_path_through_group_writable_directory", [] { chmod(VELA_BIN_DIR, 0775); },
                      asUser(kClient)}),
    rowName<AdmissionCase>);

}  // namespace
}  // namespace vela::helper
