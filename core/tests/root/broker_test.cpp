// The broker and the seal script as real children: a test runtime tree run
// by this machine's Node under a service account made for the test.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <set>

#include "../runtime_tree.hpp"
#include "sandbox_accounts.hpp"
#include "runtime.hpp"
#include "sha256.hpp"
#include "tree.hpp"
#include "vela_core.h"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;
using test::outcome;
using Strings = std::vector<std::string>;

const std::string kGeneration(64, 'c'), kUpper(64, 'C');
const std::string kKey = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
const std::string kSecret = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
const std::string kCredentials = fixture::credentials(kKey, kSecret);
const char *kLeak = "/private/leak";
constexpr Waits kQuick{.ready = 300ms, .stop = 2s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

const uint8_t *u8(std::string_view s) { return reinterpret_cast<const uint8_t *>(s.data()); }
bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }
bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }
auto since(std::chrono::steady_clock::time_point t) { return std::chrono::steady_clock::now() - t; }


class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/private", F_OK) != 0) GTEST_SKIP() << "runs as root in the sandbox";
    ids = test::makeServiceAccounts();
    state = "/private/state";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    ASSERT_EQ(chown(state.c_str(), ids.brokerUid, ids.brokerGid), 0);
  }
  void TearDown() override { EXPECT_TRUE(IsSkipped() || vela_core_stop() == 0); }
  std::string runtime(const std::string &options = "") {
    const std::string root = "/private/runtime-" + std::to_string(++trees);
    fixture::make_runtime(root, options);
    return root;
  }
  int start(const std::string &root, const std::string &generation = kGeneration,
            const std::string &creds = kCredentials) {
    return vela_core_start(root.c_str(), state.c_str(), ids.brokerUid, ids.brokerGid, ids.agentGid, ids.controlGid,
                           generation.c_str(), u8(creds), creds.size());
  }
  // The launch secret does not matter to sealing.
  int seal(const std::string &root, std::string_view vault) {
    const std::string creds = fixture::credentials(kKey, "not a hexadecimal secret");
    return vela_core_seal(root.c_str(), state.c_str(), ids.brokerUid, ids.brokerGid, u8(creds), creds.size(), u8(vault),
                          vault.size());
  }
  // The running broker's pid from the status record, or 0.
  pid_t status_pid(const std::string &generation = kGeneration) {
    char out[1024];
    if (vela_core_status(out, sizeof out) != 0) return 0;
    const pid_t pid = nlohmann::json::parse(out)["pid"];
    EXPECT_EQ(std::string(out),
              R"({"generation":")" + generation + R"(","pid":)" + std::to_string(pid) + R"(,"ready":true})");
    return pid;
  }

  test::ServiceIds ids{};
  std::string state;
  int trees = 0;
};

// A daemon that holds a descriptor without close-on-exec and has no
// descriptors 0, 1 and 2 (so the core's own pipes take those numbers): the
// broker gets exactly its launch and nothing else the daemon held, and can
// make no set-id file.
TEST_F(Broker, ChildrenSeeExactlyTheirLaunch) {
  const std::string root = runtime("--launcher direct --broker setid");
  ASSERT_EQ(dup2(open(kLeak, O_CREAT | O_RDWR, 0600), 40), 40);
  const pid_t daemon = fork();
  if (daemon == 0) {
    for (int fd : {0, 1, 2}) close(fd);
    _exit(seal(root, R"(q"b\s)") == 0 && start(root) == 0 && vela_core_stop() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
  ASSERT_EQ(status, 0);
  // Compact, keys in byte order, quotation marks and backslashes escaped.
  const std::string doc = R"({"activationKey":")" + kKey + R"(","packageDir":")" + root +
                          R"(/host/app/protected","packageVaultKeyBase64":"q\"b\\s","stateDir":")" + state + R"("})";
  EXPECT_EQ(fixture::read_report(state + "/seal-report.json")["document"]["sha256"], sha256::hex(test::bytes(doc)));

  auto r = fixture::read_report(state + "/broker-report.json");
  EXPECT_EQ(r["setid"], (nlohmann::json{{"chmod", "EPERM"}, {"fchmod", "EPERM"}, {"open", "EPERM"}, {"mkdir", "EPERM"}}));
  EXPECT_EQ(r["ppid"], daemon);
  for (const char *id : {"uid", "euid", "gid", "egid"}) EXPECT_EQ(r[id], ids.brokerUid) << id;
  EXPECT_EQ(r["groups"].get<std::set<unsigned>>(), (std::set<unsigned>{ids.brokerUid, ids.agentGid, ids.controlGid}));
  for (const auto &[name, value] : std::map<std::string, std::string>{
           {"Max core file size", "0"}, {"Max open files", "1024"}, {"Max processes", "64"},
           {"Max data size", "536870912"}})
    EXPECT_EQ(r["limits"][name].get<Strings>(), (Strings{value, value})) << name;
  EXPECT_EQ(r["cwd"], root + "/host/app");
  const std::string agent = std::to_string(ids.agentGid), control = std::to_string(ids.controlGid);
  EXPECT_EQ(r["environ"].get<Strings>(),
            (Strings{"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=/var/empty", "NODE_ENV=production",
                     "VELA_ACTIVATION_KEY_FD=0", "VELA_MAC_BROKER_AUTHORITY_FD=3", "VELA_MAC_BROKER_READY_FD=4",
                     "VELA_MAC_BROKER_GENERATION=" + kGeneration,
                     "VELA_MAC_BROKER_PARENT_PID=" + std::to_string(daemon),
                     "VELA_PROTECTED_PACKAGE_DIR=" + root + "/host/app/protected", "VELA_PROTECTED_STATE_DIR=" + state,
                     "VELA_CAPABILITY_PROFILES_FILE=" + root + "/host/app/protected/broker/capability-profiles.json",
                     "VELA_PROTECTED_BROKER_HANDLERS=" + root + "/host/app/protected/broker/handlers.js",
                     "VELA_CAPABILITY_BROKER_ENDPOINT=/var/run/vela-broker/invoke.sock",
                     "VELA_CAPABILITY_ADMIN_ENDPOINT=/var/run/vela-broker/admin.sock",
                     "VELA_CAPABILITY_BOOTSTRAP_ENDPOINT=/var/run/vela-broker/bootstrap.sock",
                     "VELA_CAPABILITY_PROOF_ISSUER_ENDPOINT=/var/run/vela-broker/proof-issuer.sock",
                     "VELA_CAPABILITY_INVOKE_GID=" + agent, "VELA_CAPABILITY_BOOTSTRAP_GID=" + agent,
                     "VELA_CAPABILITY_ADMIN_GID=" + control, "VELA_CAPABILITY_PROOF_ISSUER_GID=" + control}));
  EXPECT_THAT(r["argv"].get<Strings>(),
              testing::ElementsAre(testing::_, root + "/host/node/bin/node", "--max-old-space-size=384",
                                   root + "/host/app/protected/broker/index.js"));
  auto &fds = r["fds"];
  const std::map<std::string, std::pair<std::string, unsigned>> expected = {
      {"0", {"pipe:", O_RDONLY}}, {"1", {"/dev/null", O_RDWR}}, {"2", {"/dev/null", O_RDWR}},
      {"3", {"pipe:", O_RDONLY}}, {"4", {"pipe:", O_WRONLY | O_NONBLOCK}}};
  std::set<std::string> ours;
  for (const auto &[fd, want] : expected) {
    const std::string target = fds[fd]["target"], flags = fds[fd]["flags"];
    EXPECT_TRUE(target.starts_with(want.first)) << fd << " " << target;
    EXPECT_EQ(std::stoul(flags, nullptr, 8) & (O_ACCMODE | O_NONBLOCK), want.second) << fd;
    if (fd != "1" && fd != "2") ours.insert(target);
  }
  for (const auto &[fd, held] : fds.items()) {
    const std::string target = held["target"];
    EXPECT_NE(target, kLeak) << fd;
    EXPECT_TRUE(expected.contains(fd) || !ours.contains(target)) << fd;
  }
  std::string authority;
  for (std::size_t i = 0; i < kSecret.size(); i += 2)
    authority += static_cast<char>(std::stoi(kSecret.substr(i, 2), nullptr, 16));
  for (const auto &[fd, content] : {std::pair{"0", kKey}, std::pair{"3", authority}})
    EXPECT_EQ(r["inputs"][fd]["sha256"], sha256::hex(test::bytes(content))) << fd;
}

TEST_F(Broker, Lifecycle) {
  const std::string root = runtime();
  // The daemon's own blocked and ignored signals do not reach the broker.
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old);
  auto previous = signal(SIGUSR2, SIG_IGN);
  ASSERT_EQ(start(root), 0);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  signal(SIGUSR2, previous);
  EXPECT_EQ(test::read_text(state + "/signals"), "SigBlk: 0000000000000000\nSigIgn: 0000000000000000\n");
  const pid_t first = status_pid();

  // The same generation while it runs (nothing is read), a start without a
  // generation and a seal leave the broker alone.
  EXPECT_EQ(vela_core_start(nullptr, nullptr, 0, 0, 0, 0, kGeneration.c_str(), nullptr, 0), 0);
  EXPECT_EQ(vela_core_start(root.c_str(), state.c_str(), ids.brokerUid, ids.brokerGid, ids.agentGid, ids.controlGid,
                            nullptr, u8(kCredentials), kCredentials.size()),
            1);
  EXPECT_EQ(seal(root, std::string(256, 'v')), 0);
  EXPECT_EQ(seal(root, std::string(257, 'v')), 1);
  EXPECT_EQ(status_pid(), first);

  // An exited broker fails every status until a start replaces it.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(first), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(status_pid() + status_pid(), 0);
  ASSERT_EQ(start(root), 0);
  const pid_t second = status_pid();
  EXPECT_NE(second, first);

  // The generation in upper case is another generation.
  ASSERT_EQ(start(root, kUpper), 0);
  EXPECT_TRUE(gone(second));
  const pid_t third = status_pid(kUpper);
  // A start for another generation stops the running broker before it looks
  // at anything else, and what it finds wrong then leaves no broker.
  EXPECT_EQ(start(root, kGeneration, R"({"activationKey":"a","launchSecret":"b","x":"c"})"), 1);
  EXPECT_TRUE(gone(third));
  EXPECT_EQ(status_pid(), 0);
  EXPECT_TRUE(no_children());
  EXPECT_EQ(vela_core_stop(), 0);
}

// What a broker leaves behind goes with it: a process that would open the
// next broker's descriptors, one that fills its account's process limit, and
// another user's process with the account's effective id (a set-user-id copy
// of a program of the account, run).
TEST_F(Broker, NothingOfTheAccountOutlivesItsBroker) {
  const std::string plain = runtime();
  ASSERT_EQ(start(runtime("--broker snoop")), 0);
  ASSERT_EQ(start(plain, kUpper), 0);
  usleep(300'000);
  EXPECT_NE(access((state + "/snooped").c_str(), F_OK), 0) << "the survivor reached the next broker";

  ASSERT_EQ(start(runtime("--broker crowd")), 0);
  usleep(300'000);  // the account is full
  int switched[2];
  ASSERT_EQ(::pipe(switched), 0);
  const pid_t other = fork();
  if (other == 0) {
    if (setresuid(65534, ids.brokerUid, 65534) == 0 && write(switched[1], "", 1) == 1) pause();
    _exit(1);
  }
  char byte;
  ASSERT_EQ(read(switched[0], &byte, 1), 1);
  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_EQ(waitpid(other, nullptr, WNOHANG), other);
  const auto begin = std::chrono::steady_clock::now();  // the system may take a while to reap them
  while (start(plain) != 0 && since(begin) < 5s) usleep(50'000);
  EXPECT_GT(status_pid(), 0);
}

// Processes of the account that a stop must neither miss nor wait for: a
// chain of processes that each fork their successor and exit, as fast as
// they can (a walk of /proc alone misses it half the time), and one that
// stops every process it may signal.
[[noreturn]] void forkChain() {
  while (fork() == 0) {
  }
  _exit(0);
}
[[noreturn]] void stopper() {
  for (;;) kill(-1, SIGSTOP);
}

TEST_F(Broker, NoProcessOfTheAccountOutrunsOrHoldsItsEnd) {
  const std::string left = "pgrep -U " + std::to_string(ids.brokerUid) + " >/dev/null";
  const std::pair<const char *, std::vector<void (*)()>> rows[] = {
      {"two fork chains", {forkChain, forkChain}},
      {"a fork chain and a stopper", {forkChain, stopper}},
  };
  for (const auto &[name, processes] : rows)
    for (int round = 0; round < 8; ++round) {
      std::vector<pid_t> started;
      for (void (*body)() : processes)
        if (started.emplace_back(fork()) == 0) {
          if (setresuid(ids.brokerUid, ids.brokerUid, ids.brokerUid) == 0) body();
          _exit(1);
        }
      usleep(50'000);
      EXPECT_EQ(platform::end_user_processes(ids.brokerUid, platform::uptime_ns() + 2'000'000'000), 0) << name;
      for (pid_t first : started) {
        kill(first, SIGKILL);  // should the end have failed
        waitpid(first, nullptr, 0);
      }
      usleep(50'000);
      ASSERT_NE(std::system(left.c_str()), 0) << name << ": left running, round " << round;
    }
}

// A process of the account stops the child between its identity switch and
// its exec, every time it can: the start fails by its deadline all the same.
TEST_F(Broker, ChildStoppedBeforeExecFailsTheStart) {
  const std::string root = runtime();
  alarm(60);  // a start that waits for ever ends the test
  for (int i = 0; i < 8; ++i) {
    const pid_t stopper = fork();
    if (stopper == 0) {
      if (setuid(ids.brokerUid) == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0)
        for (;;) kill(-1, SIGSTOP);
      _exit(1);
    }
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_NE(outcome(runtime::start(root, state, ids.brokerUid, ids.brokerGid, ids.agentGid, ids.controlGid,
                                     kGeneration, kKey, kSecret, kQuick)),
              "");
    EXPECT_LT(since(begin), 4s);
    kill(stopper, SIGKILL);
    waitpid(stopper, nullptr, 0);
    EXPECT_TRUE(no_children());
  }
  alarm(0);
}

// Children that fail to start, to prove readiness or to seal: each gives its
// own refusal, in bounded time, and leaves no child behind.
TEST_F(Broker, FailedChildren) {
  constexpr Waits kNoKill{.ready = 300ms, .stop = 0s, .ready_poll = 10ms, .exit_poll = 5ms};
  using Row = std::tuple<const char *, const char *, Waits, testing::Matcher<std::string>>;
  for (const auto &[options, change, waits, expected] : std::vector<Row>{
           // Its exit may be seen before or after the line is read.
           {"--broker exit-after", "", kWaits, testing::StartsWith("broker exited ")},
           // The failed kill is the start's error.
           {"--broker silent", "", kNoKill, "native broker child did not terminate within its deadline"},
           {"", "chmod 0700 host/node/bin", kQuick, test::os_error(EACCES)},  // hidden from the service account
           {"--seal fail", "", kWaits, "protected service operation failed"},
           {"--seal hang", "", kQuick, "protected service operation timed out"},
       }) {
    SCOPED_TRACE(std::string(options) + change);
    const std::string root = runtime(options);
    if (*change) fixture::run("cd '" + root + "' && " + change);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_THAT(std::string_view(options).starts_with("--seal")
                    ? outcome(runtime::seal(root, state, ids.brokerUid, ids.brokerGid, kKey, "vault", waits))
                    : outcome(runtime::start(root, state, ids.brokerUid, ids.brokerGid, ids.agentGid, ids.controlGid,
                                             kGeneration, kKey, kSecret, waits)),
                expected);
    EXPECT_LT(since(begin), 10s);
    EXPECT_TRUE(no_children());
  }
}

}  // namespace
}  // namespace vela::runtime
