// The broker and the seal script as real children: a test runtime tree run
// by this machine's Node under a service account made for the test, through
// the exported functions and the runtime module.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "../runtime_tree.hpp"
#include "runtime.hpp"
#include "sha256.hpp"
#include "tree.hpp"
#include "vela_core.h"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;
using test::outcome;

const std::string kGeneration = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kUpper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
const std::string kKey = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
const std::string kSecret = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
const std::string kCredentials = fixture::credentials(kKey, kSecret);
const std::vector<std::string> kBaseEnvironment = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=/var/empty",
                                                   "NODE_ENV=production"};
const std::map<std::string, std::string> kLimits = {
    {"Max core file size", "0"}, {"Max open files", "1024"}, {"Max processes", "64"}, {"Max data size", "536870912"}};
const char *kLeak = "/private/leak";
constexpr Waits kQuick{.ready = 300ms, .stop = 2s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

struct Ids {
  uid_t uid;
  gid_t gid, agent, control;
};

const uint8_t *u8(std::string_view s) { return reinterpret_cast<const uint8_t *>(s.data()); }
std::string digest(std::string_view s) { return sha256::hex({u8(s), s.size()}); }
std::string text(const rapidjson::Value &v) { return {v.GetString(), v.GetStringLength()}; }

std::vector<std::string> strings(const rapidjson::Value &v) {
  std::vector<std::string> out;
  for (const auto &e : v.GetArray()) out.push_back(text(e));
  return out;
}

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }
bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// A service account and its groups, made inside the sandbox, with ids that
// no other test process running at the same time uses: the kernel counts a
// uid's processes against RLIMIT_NPROC across all sandboxes. A test holds a
// lock on byte n of a shared file, until it ends, for the ids n, n+100, n+200.
Ids make_accounts() {
  const int locks = open("/tmp/vela-test-ids.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (locks < 0) throw std::runtime_error("cannot open the id locks");
  for (unsigned n = 200; n < 300; ++n) {
    struct flock slot {
      .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = n, .l_len = 1, .l_pid = 0
    };
    if (fcntl(locks, F_SETLK, &slot) != 0) continue;
    const std::string id = std::to_string(n), agent = std::to_string(n + 100), control = std::to_string(n + 200);
    fixture::run("groupadd -g " + id + " velabroker && groupadd -g " + agent + " velaagent && groupadd -g " + control +
                 " velacontrol && useradd -r -M -N -d /var/empty -s /usr/sbin/nologin -u " + id + " -g " + id +
                 " velabroker");
    return {n, n, n + 100, n + 200};  // the descriptor, and with it the lock, stays until the process ends
  }
  throw std::runtime_error("no free test ids");
}

class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/private", F_OK) != 0) GTEST_SKIP() << "runs as root in the sandbox";
    ids = make_accounts();
    state = directory("/private/state");
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(vela_core_stop(), 0);
    }
  }

  // A fresh runtime tree made with the generator's options.
  std::string runtime(const std::string &options = "") {
    const std::string root = "/private/runtime-" + std::to_string(++trees);
    fixture::make_runtime(root, options);
    return root;
  }

  // A directory of the service account.
  std::string directory(const std::string &path) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chown(path.c_str(), ids.uid, ids.gid), 0) << path;
    return path;
  }

  int start(const std::string &root, const std::string &generation = kGeneration) {
    return vela_core_start(root.c_str(), state.c_str(), ids.uid, ids.gid, ids.agent, ids.control, generation.c_str(),
                           u8(kCredentials), kCredentials.size());
  }
  // The launch secret does not matter to sealing.
  int seal(const std::string &root, const std::string &stateDir, std::string_view vault) {
    const std::string creds = fixture::credentials(kKey, "not a hexadecimal secret");
    return vela_core_seal(root.c_str(), stateDir.c_str(), ids.uid, ids.gid, u8(creds), creds.size(), u8(vault),
                          vault.size());
  }

  // The running broker's pid from the status record, or 0.
  pid_t status_pid(const std::string &generation = kGeneration) {
    char out[1024];
    if (vela_core_status(out, sizeof out) != 0) return 0;
    rapidjson::Document d;
    d.Parse(out);
    const pid_t pid = d["pid"].GetInt();
    EXPECT_EQ(std::string(out),
              R"({"generation":")" + generation + R"(","pid":)" + std::to_string(pid) + R"(,"ready":true})");
    return pid;
  }

  rapidjson::Document report(const char *name) { return fixture::read_report(state + "/" + name); }

  Ids ids{};
  std::string state;
  int trees = 0;
};

// ---- what the child is given ----

// Identity, groups, limits, working directory, environment and command line
// of a child of parent, reported through the direct launcher.
void expect_launch(const rapidjson::Value &r, pid_t parent, const Ids &ids, const std::string &root,
                   const std::string &script, const std::set<unsigned> &groups,
                   const std::vector<std::string> &environment) {
  EXPECT_EQ(r["ppid"].GetInt(), parent);
  for (const char *id : {"uid", "euid"}) EXPECT_EQ(r[id].GetUint(), ids.uid) << id;
  for (const char *id : {"gid", "egid"}) EXPECT_EQ(r[id].GetUint(), ids.gid) << id;
  std::set<unsigned> got;
  for (const auto &g : r["groups"].GetArray()) got.insert(g.GetUint());
  EXPECT_EQ(got, groups);
  for (const auto &[name, value] : kLimits)
    EXPECT_EQ(strings(r["limits"][name.c_str()]), (std::vector<std::string>{value, value})) << name;
  EXPECT_EQ(text(r["cwd"]), root + "/host/app");
  EXPECT_EQ(strings(r["environ"]), environment);
  const auto argv = strings(r["argv"]);
  ASSERT_EQ(argv.size(), 4U);  // Node, then the launcher with its arguments
  EXPECT_EQ(std::vector(argv.begin() + 1, argv.end()),
            (std::vector<std::string>{root + "/host/node/bin/node", "--max-old-space-size=384", root + "/" + script}));
}

// Descriptors of a reported child: the expected ones with their targets and
// access modes, and no other descriptor that leads to what its parent held.
void expect_descriptors(const rapidjson::Value &fds, int last) {
  auto target = [&](int fd) { return text(fds[std::to_string(fd).c_str()]["target"]); };
  auto flags = [&](int fd) { return std::stoul(text(fds[std::to_string(fd).c_str()]["flags"]), nullptr, 8); };
  EXPECT_TRUE(target(0).starts_with("pipe:"));
  EXPECT_EQ(flags(0) & O_ACCMODE, unsigned(O_RDONLY));
  EXPECT_EQ(target(1), "/dev/null");
  EXPECT_EQ(target(2), "/dev/null");
  std::set<std::string> ours = {target(0)};
  if (last == 4) {
    EXPECT_TRUE(target(3).starts_with("pipe:"));
    EXPECT_EQ(flags(3) & O_ACCMODE, unsigned(O_RDONLY));
    EXPECT_TRUE(target(4).starts_with("pipe:"));
    EXPECT_EQ(flags(4) & (O_ACCMODE | O_NONBLOCK), unsigned(O_WRONLY | O_NONBLOCK));
    ours.insert({target(3), target(4)});
  }
  for (const auto &fd : fds.GetObject()) {
    const int n = std::stoi(fd.name.GetString());
    const std::string t = text(fd.value["target"]);
    EXPECT_NE(t, kLeak) << n;
    if (n > last) {
      EXPECT_FALSE(ours.contains(t)) << "descriptor " << n << " duplicates " << t;
    }
  }
}

// Both children, started by a daemon that holds a descriptor without
// close-on-exec and has no descriptors 0, 1 and 2, so that the core's own
// pipes take those numbers: each child gets exactly its launch.
TEST_F(Broker, ChildrenSeeExactlyTheirLaunch) {
  const std::string root = runtime("--launcher direct");
  ASSERT_EQ(dup2(open(kLeak, O_CREAT | O_RDWR, 0600), 40), 40);
  const pid_t daemon = fork();
  ASSERT_GE(daemon, 0);
  if (daemon == 0) {
    for (int fd : {0, 1, 2}) close(fd);
    _exit(seal(root, state, "vault") == 0 && start(root) == 0 && vela_core_stop() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto sealer = report("seal-report.json");
  expect_launch(sealer, daemon, ids, root, "host/app/scripts/seal-protected-runtime.mjs", {ids.gid}, kBaseEnvironment);
  expect_descriptors(sealer["fds"], 2);

  auto r = report("broker-report.json");
  const std::string agent = std::to_string(ids.agent), control = std::to_string(ids.control);
  std::vector<std::string> environment = kBaseEnvironment;
  environment.insert(
      environment.end(),
      {"VELA_ACTIVATION_KEY_FD=0", "VELA_MAC_BROKER_AUTHORITY_FD=3", "VELA_MAC_BROKER_READY_FD=4",
       "VELA_MAC_BROKER_GENERATION=" + kGeneration, "VELA_MAC_BROKER_PARENT_PID=" + std::to_string(daemon),
       "VELA_PROTECTED_PACKAGE_DIR=" + root + "/host/app/protected", "VELA_PROTECTED_STATE_DIR=" + state,
       "VELA_CAPABILITY_PROFILES_FILE=" + root + "/host/app/protected/broker/capability-profiles.json",
       "VELA_PROTECTED_BROKER_HANDLERS=" + root + "/host/app/protected/broker/handlers.js",
       "VELA_CAPABILITY_BROKER_ENDPOINT=/var/run/vela-broker/invoke.sock",
       "VELA_CAPABILITY_ADMIN_ENDPOINT=/var/run/vela-broker/admin.sock",
       "VELA_CAPABILITY_BOOTSTRAP_ENDPOINT=/var/run/vela-broker/bootstrap.sock",
       "VELA_CAPABILITY_PROOF_ISSUER_ENDPOINT=/var/run/vela-broker/proof-issuer.sock",
       "VELA_CAPABILITY_INVOKE_GID=" + agent, "VELA_CAPABILITY_BOOTSTRAP_GID=" + agent,
       "VELA_CAPABILITY_ADMIN_GID=" + control, "VELA_CAPABILITY_PROOF_ISSUER_GID=" + control});
  expect_launch(r, daemon, ids, root, "host/app/protected/broker/index.js", {ids.gid, ids.agent, ids.control},
                environment);
  expect_descriptors(r["fds"], 4);
  std::string authority;
  for (std::size_t i = 0; i < kSecret.size(); i += 2)
    authority += static_cast<char>(std::stoi(kSecret.substr(i, 2), nullptr, 16));
  for (const auto &[fd, content] : {std::pair{"0", kKey}, std::pair{"3", authority}}) {
    EXPECT_EQ(r["inputs"][fd]["bytes"].GetUint(), content.size()) << fd;
    EXPECT_EQ(text(r["inputs"][fd]["sha256"]), digest(content)) << fd;
  }
}

TEST_F(Broker, Lifecycle) {
  const std::string root = runtime();
  ASSERT_EQ(start(root), 0);
  const pid_t first = status_pid();
  ASSERT_GT(first, 0);

  // The same generation while it runs: nothing is read, nothing launched.
  // A start without a generation and a seal leave the broker alone.
  EXPECT_EQ(vela_core_start(nullptr, nullptr, 0, 0, 0, 0, kGeneration.c_str(), nullptr, 0), 0);
  EXPECT_EQ(vela_core_start(root.c_str(), state.c_str(), ids.uid, ids.gid, ids.agent, ids.control, nullptr,
                            u8(kCredentials), kCredentials.size()),
            1);
  EXPECT_EQ(seal(root, state, "vault"), 0);
  EXPECT_EQ(status_pid(), first);

  // An exited broker fails every status until a start replaces it; the
  // status collects it.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(first), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(status_pid(), 0);
  EXPECT_EQ(status_pid(), 0);
  EXPECT_TRUE(no_children());
  ASSERT_EQ(start(root), 0);
  const pid_t second = status_pid();
  EXPECT_NE(second, first);

  // The generation in upper case is another generation.
  ASSERT_EQ(start(root, kUpper), 0);
  EXPECT_TRUE(gone(second));
  const pid_t third = status_pid(kUpper);

  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_TRUE(gone(third));
  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_EQ(status_pid(), 0);
}

// A start for another generation stops the running broker before it looks
// at anything else; whatever it then finds wrong leaves no broker at all.
TEST_F(Broker, ReplacementStopsTheOldBrokerFirst) {
  const std::string root = runtime(), broken = runtime("--broker trailing"), other(64, 'e');
  struct Row {
    const char *name, *root;
    gid_t control;
    std::string generation, creds;
  };
  for (const auto &row : std::vector<Row>{
           {"extra key", root.c_str(), ids.control, other, R"({"activationKey":"a","launchSecret":"b","x":"c"})"},
           {"generation not hex", root.c_str(), ids.control, std::string(64, 'g'), kCredentials},
           {"aliased groups", root.c_str(), ids.agent, other, kCredentials},
           {"no root", nullptr, ids.control, other, kCredentials},
           {"no program", "/private/nothing", ids.control, other, kCredentials},
           {"readiness fails", broken.c_str(), ids.control, other, kCredentials},
       }) {
    ASSERT_EQ(start(root), 0) << row.name;
    const pid_t old = status_pid();
    EXPECT_EQ(vela_core_start(row.root, state.c_str(), ids.uid, ids.gid, ids.agent, row.control, row.generation.c_str(),
                              u8(row.creds), row.creds.size()),
              1)
        << row.name;
    EXPECT_TRUE(gone(old)) << row.name;
    EXPECT_EQ(status_pid(), 0) << row.name;
    EXPECT_TRUE(no_children()) << row.name;
  }
}

// Children that fail to start, to prove readiness or to seal, through the
// runtime module: each gives its own refusal and leaves no child behind.
TEST_F(Broker, FailedChildren) {
  constexpr Waits kNoKill{.ready = 300ms, .stop = 0s, .ready_poll = 10ms, .exit_poll = 5ms};
  const char *failed = "protected service operation failed";
  struct Row {
    const char *options, *change;
    Waits waits;
    testing::Matcher<std::string> outcome;
  };
  for (const auto &[options, change, waits, expected] : std::vector<Row>{
           {"--broker trailing", "", kWaits, "invalid child readiness proof"},
           // Its exit may be seen before or after the line is read.
           {"--broker exit-after", "", kWaits, testing::StartsWith("broker exited ")},
           // The failed kill is the start's error.
           {"--broker silent", "", kNoKill, "native broker child did not terminate within its deadline"},
           {"", "rm host/node/bin/node", kQuick, test::os_error(ENOENT)},
           {"", "chmod 0700 host/node/bin", kQuick, test::os_error(EACCES)},  // hidden from the service account
           {"", "mv host/app host/moved", kQuick, test::os_error(ENOENT)},    // no working directory
           {"--seal fail", "", kWaits, failed},
           {"--seal signal", "", kWaits, failed},
           {"--seal hang", "", kQuick, "protected service operation timed out"},
       }) {
    SCOPED_TRACE(std::string(options) + change);
    const std::string root = runtime(options);
    if (*change) fixture::run("cd '" + root + "' && " + change);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_THAT(std::string_view(options).starts_with("--seal")
                    ? outcome(runtime::seal(root, state, ids.uid, ids.gid, kKey, "vault", waits))
                    : outcome(runtime::start(root, state, ids.uid, ids.gid, ids.agent, ids.control, kGeneration, kKey,
                                             kSecret, waits)),
                expected);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_TRUE(no_children());
  }
}

// The real 30 s wait, once.
TEST_F(Broker, ReadinessTimesOutAfterThirtySeconds) {
  const std::string root = runtime("--broker silent");
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(start(root), 1);
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 30s);
  EXPECT_LT(took, 35s);
  EXPECT_EQ(status_pid(), 0);
  EXPECT_TRUE(no_children());
}

// The document as the seal script must receive it: compact, keys in byte
// order, quotation marks and backslashes escaped. Refused material never
// reaches the script.
TEST_F(Broker, SealDocument) {
  const std::string root = "/private/run\"time";  // Node's module loader takes no backslash
  fixture::make_runtime(root);
  const std::string stateDir = directory("/private/state \"\\"), report = stateDir + "/seal-report.json";
  const std::string head = R"({"activationKey":")" + kKey +
                           R"(","packageDir":"/private/run\"time/host/app/protected","packageVaultKeyBase64":")";
  const std::string tail = R"(","stateDir":"/private/state \"\\"})";
  for (const auto &[vault, escaped] : std::vector<std::pair<std::string, std::string>>{
           {R"(q"b\s/+=)", R"(q\"b\\s/+=)"}, {std::string(256, 'v'), std::string(256, 'v')}, {"", ""}}) {
    ASSERT_EQ(seal(root, stateDir, vault), 0) << vault;
    EXPECT_EQ(text(fixture::read_report(report)["document"]["sha256"]), digest(head + escaped + tail)) << vault;
  }
  ASSERT_EQ(unlink(report.c_str()), 0);
  EXPECT_EQ(seal(root, stateDir, std::string(257, 'v')), 1);
  EXPECT_EQ(seal(root, stateDir, "\xFF"), 1);
  EXPECT_EQ(vela_core_seal(root.c_str(), stateDir.c_str(), ids.uid, ids.gid, nullptr, 0, u8(""), 0), 1);
  EXPECT_NE(access(report.c_str(), F_OK), 0) << "a refused seal started its script";
  EXPECT_TRUE(no_children());
}

}  // namespace
}  // namespace vela::runtime
