// The installed daemon and client, as a host runs them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>

#include "platform/ipc_client.hpp"
#include "platform/paths.hpp"
#include "platform/wire.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kDaemon = VELA_BIN_DIR "/vela-broker-helper";
const std::string kClient(platform::paths::kTrustedClient);
constexpr uid_t kUser = 300;

const std::string kAvailable =
    R"({"ok":true,"code":"helper_available","message":"Vela broker helper is authenticated and reachable; )"
    R"(protected runtime readiness has not been verified."})"
    "\n";
const std::string kProtocol =
    R"({"ok":false,"code":"unsupported_protocol","message":"Unsupported Vela broker helper protocol."})"
    "\n";
const std::string kOperation =
    R"({"ok":false,"code":"unsupported_operation","message":"The requested privileged operation is not allowlisted."})"
    "\n";

enum ClientExit { kAllOk, kNotOk, kUsage, kRefused, kConnection };

pid_t spawn(const std::string &program, uid_t uid) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(126);
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

// The exit status of a child; -1 while it still runs after 10 seconds.
int exitStatus(pid_t pid) {
  for (int tick = 0; tick < 1000; ++tick, usleep(10'000)) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return -1;
}

bool listening() {
  for (int tick = 0; tick < 1000; ++tick, usleep(10'000))
    if (platform::ipc::connect_service(platform::paths::kService)) return true;
  return false;
}

std::string asUser(const std::string &program, uid_t uid = kUser) {
  auto id = std::to_string(uid);
  return "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " + program + " ";
}

struct Output {
  int status;
  std::string text;
  bool operator==(const Output &) const = default;
};

Output finish(FILE *pipe, std::string text = {}) {
  char chunk[4096];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  int status = pclose(pipe);
  return {WEXITSTATUS(status), text};
}

Output run(const std::string &command) { return finish(popen((command + " 2>/dev/null").c_str(), "r")); }

struct StartCase {
  const char *name;
  std::function<void()> prepare;
  uid_t uid;
  int signal;  // sent once the daemon listens; 0 for none
  int status;
};

class DaemonStart : public testing::TestWithParam<StartCase> {};

TEST_P(DaemonStart, ExitStatus) {
  const auto &c = GetParam();
  c.prepare();
  pid_t daemon = spawn(kDaemon, c.uid);
  if (c.signal != 0) {
    ASSERT_TRUE(listening());
    kill(daemon, c.signal);
  }
  EXPECT_EQ(exitStatus(daemon), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, DaemonStart,
    testing::Values(StartCase{"not_root", [] {}, kUser, 0, 77},
                    StartCase{"socket_directory_writable_by_group", [] { chmod("/run", 0775); }, 0, 0, 78},
                    StartCase{"sigterm_stops_it", [] {}, 0, SIGTERM, 0}),
    rowName<StartCase>);

class Daemon : public testing::Test {
 protected:
  void SetUp() override {
    daemon_ = spawn(kDaemon, 0);
    ASSERT_TRUE(listening());
  }
  void TearDown() override {
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
  }
  pid_t daemon_ = -1;
};

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
  for (const auto &row : rows) EXPECT_EQ(run(asUser(kClient) + row.requests), row.expected) << row.name;
}

TEST_F(Daemon, BadFrameEndsOnlyItsOwnConnection) {
  const std::string fifo = "/private/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(chown(fifo.c_str(), kUser, kUser), 0);
  // The second request waits for its data until the test writes it.
  FILE *other = popen((asUser(kClient) + "status -- send u:protocolVersion=3 s:operation=status d:x=" + fifo).c_str(), "r");
  char first[4096] = {};
  ASSERT_TRUE(fgets(first, sizeof first, other));
  EXPECT_EQ(run(asUser(kClient) + "send u:protocolVersion=3 u:protocolVersion=3").status, kRefused);
  test::writeFile(fifo, "x");
  EXPECT_EQ(finish(other, first), (Output{kAllOk, kAvailable + kAvailable}));
}

struct AdmissionCase {
  const char *name;
  std::function<void()> prepare;
  std::string command;
};

class Admission : public Daemon, public testing::WithParamInterface<AdmissionCase> {};

TEST_P(Admission, CancelledWithoutReply) {
  GetParam().prepare();
  EXPECT_EQ(run(GetParam().command + "status"), (Output{kRefused, ""}));
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
