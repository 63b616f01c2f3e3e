// The installed daemon and client, as a host runs them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "daemon.hpp"
#include "foreground.hpp"
#include "platform/ipc.hpp"
#include "platform/wire.hpp"
#include "root/fixture.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using namespace test;
namespace fs = std::filesystem;

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
  // The requests "send d:big=FILE" of exactly the bound and one byte over it
  // (flags, count, key, tag and size take 17 bytes).
  const std::string bound = "/private/bound", over = "/private/over";
  test::writeFile(bound, std::string(platform::ipc::wire::kMaxRequest - 17, 'x'), 0644);
  test::writeFile(over, std::string(platform::ipc::wire::kMaxRequest - 16, 'x'), 0644);
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
      {"status -- send d:big=" + over + " -- status", {kConnection, kAvailable}},
      {"send d:big=" + bound, {kNotOk, kProtocol}},
  };
  for (const auto &[requests, expected] : rows) EXPECT_EQ(outputOf(asUser(kClient) + requests), expected) << requests;
}

TEST_F(Daemon, BadFrameEndsOnlyItsOwnConnection) {
  StalledClient other("status -- status");
  EXPECT_EQ(outputOf(asUser(kClient) + "send u:protocolVersion=3 u:protocolVersion=3").first, kRefused);
  EXPECT_EQ(other.finish(), (Output{kAllOk, kAvailable + kAvailable}));
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
  auto broker = brokerStatus();  // answered once the start-up restore has ended
  ASSERT_TRUE(broker);
  EXPECT_EQ((*broker)["generation"], generation.digest);
  EXPECT_EQ(commandOutput("pgrep -c -u " + std::to_string(ids.brokerUid)), "1\n");
  for (int killed = 1; killed <= 2; ++killed) {  // every tick, not only the first
    kill((*broker)["pid"].get<pid_t>(), SIGKILL);
    std::optional<Json> restarted;
    for (int second = 0; second < 30 && (!restarted || *restarted == *broker); ++second, sleep(1))
      restarted = brokerStatus();
    ASSERT_TRUE(restarted && *restarted != *broker) << "no restart within two ticks, killed " << killed;
    broker = restarted;
  }
  kill(daemon, SIGTERM);
  EXPECT_EQ(exitStatus(daemon), 0);
  EXPECT_NE(kill((*broker)["pid"].get<pid_t>(), 0), 0) << "the broker outlived the daemon";
}

// A change to the installed client, and the command that connects.
TEST_F(Daemon, PeerRefusedWithoutReply) {
  const std::string other = VELA_BIN_DIR "/vela-other-client";
  const std::pair<std::string, std::string> rows[] = {
      {"true", asUser(kClient, 0)},
      {"cp -p " + kClient + " " + other, asUser(other)},
      {"chmod g+w " + kClient, asUser(kClient)},
      {"chmod 0775 " VELA_BIN_DIR, asUser(kClient)},
      // Another file bound over the path once the client is opened, as a
      // process with mounts of its own can do (last: the mount stays).
      {"true", "exec 9<" + kClient + "; mount --bind " + other + " " + kClient + "; " + asUser("/proc/self/fd/9")},
  };
  for (const auto &[change, command] : rows) {
    ASSERT_EQ(std::system(("chmod 2755 " + kClient + " && chmod 0755 " VELA_BIN_DIR " && " + change).c_str()), 0);
    EXPECT_EQ(outputOf(command + "status"), (Output{kRefused, ""})) << change << "; " << command;
  }
}

// Descriptor `fd` of a process, taken as pidfd_getfd takes it; -1 when refused.
int takeDescriptor(pid_t pid, int fd) {
  platform::Descriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  return pidfd ? static_cast<int>(syscall(SYS_pidfd_getfd, pidfd.get(), fd, 0)) : -1;
}

// Ways for other code to hold a connection that the daemon serves as the
// client's, each true when it got one.
bool preloaded(pid_t) {
  return outputOf(asUser("env LD_PRELOAD=" VELA_PRELOAD_PROBE " " + kClient) + "status").second.contains("preloaded");
}

// A process of the user's connects and then executes the client, the daemon
// stopped meanwhile (as when its queue is busy); the test takes the socket.
bool connectedFirst(pid_t daemon) {
  constexpr int kHeld = 10;  // the socket's descriptor, kept across the exec
  kill(daemon, SIGSTOP);
  pid_t child = fork();
  if (child == 0) {
    auto socket = becomeUser(kUser) ? platform::ipc::connect_service(platform::paths::kService) : std::unexpected(0);
    if (socket && dup2(socket->get(), kHeld) == kHeld) execl(kClient.c_str(), kClient.c_str(), "status", nullptr);
    _exit(127);
  }
  const std::string exe = "/proc/" + std::to_string(child) + "/exe";
  for (int tick = 0; tick < 1000 && fs::read_symlink(exe) != kClient; ++tick) usleep(10'000);
  platform::Descriptor socket(takeDescriptor(child, kHeld));
  kill(daemon, SIGCONT);
  platform::ipc::wire::Entries status{{"protocolVersion", std::uint64_t{3}}, {"operation", std::string("status")}};
  bool served = platform::ipc::send_frame(socket.get(), platform::ipc::wire::encode(status, true)) == 0 &&
                platform::ipc::receive(socket.get()).has_value();
  EXPECT_EQ(exitStatus(child), kAllOk);
  return served;
}

// A process of the user's takes the socket out of a running client.
bool takenOut(pid_t) {
  StalledClient client("status");
  pid_t thief = fork();
  if (thief == 0) _exit(becomeUser(kUser) && takeDescriptor(client.pid(), 3) >= 0 ? 0 : 1);  // 3: its socket
  bool taken = exitStatus(thief) == 0;
  client.finish();
  return taken;
}

TEST_F(Daemon, NoOtherCodeHoldsAnAdmittedConnection) {
  const std::pair<const char *, bool (*)(pid_t)> rows[] = {
      {"LD_PRELOAD into the client", preloaded},
      {"connecting, then executing the client", connectedFirst},
      {"pidfd_getfd of a running client's socket", takenOut},
  };
  for (const auto &[way, gotThrough] : rows) EXPECT_FALSE(gotThrough(daemon_)) << way;
}

// Waits, up to a minute, until the daemon's main thread, which runs its
// queue, has gone half a second without running or waiting to run: the
// daemon has done all it can with what it was sent.
void awaitIdle(pid_t daemon) {
  const std::string counts = "/proc/" + std::to_string(daemon) + "/schedstat";
  std::string last = readFile(counts);
  for (int tick = 0; tick < 120; ++tick) {
    usleep(500'000);
    std::string now = readFile(counts);
    if (now == last) return;
    last = now;
  }
}

// One user's clients, stopped while the daemon sends each a foreground
// asset near the largest it serves, leave their replies unread: the daemon
// holds no more than that user's share of them, another user's request is
// answered meanwhile, and once the clients go on every one is answered.
TEST_F(Daemon, UnreadRepliesHoldOnlyTheirBudget) {
  constexpr std::size_t kAsset = 15 << 20, kClients = 64;
  // The user's share of replies, one reply past it, the copies of the asset
  // that making a reply takes besides the reply, and the daemon's own.
  std::size_t bound = platform::ipc::Limits{}.reply_bytes_per_user + 4 * kAsset + (32 << 20);
#ifdef __SANITIZE_ADDRESS__
  bound += 256 << 20;  // freed memory the sanitizer keeps from reuse, resident
#endif
  const auto generation = installGeneration(makeServiceAccounts(), "--large-asset " + std::to_string(kAsset));
  const std::string source = "/private/runtime-" + generation.digest;
  const std::string inventory = readFile(source + "/mac-broker-inventory.json");
  ASSERT_TRUE(prepareForeground(source, bytes(inventory), generation.release(), false, nullptr));
  // The daemon stopped, each client sends both requests (the open expects no
  // reply) and is stopped waiting for the asset before a byte of it is sent.
  kill(daemon_, SIGSTOP);
  std::vector<std::unique_ptr<StoppedClient>> clients;
  for (std::size_t i = 0; i < kClients; ++i)
    clients.push_back(std::make_unique<StoppedClient>("--no-reply foreground_open " + generation.digest +
                                                      " -- foreground_asset assets/large.js"));
  kill(daemon_, SIGCONT);
  awaitIdle(daemon_);
  EXPECT_EQ(outputOf("timeout 60 " + asUser(kClient, kUser + 1) + "status"), (Output{kAllOk, kAvailable}));
  EXPECT_LT(statusBytes(daemon_, "VmHWM"), bound) << "the daemon's peak resident memory";
  for (auto &client : clients) client->resume();
  for (auto &client : clients) EXPECT_EQ(client->finish(), kAllOk);
}

}  // namespace
}  // namespace vela::helper
