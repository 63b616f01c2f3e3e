// The broker and the seal script as real children: a test runtime tree run
// by this machine's Node under a service account made for the test, through
// the exported functions and the runtime module.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "../runtime_tree.hpp"
#include "runtime.hpp"
#include "vela_core.h"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;
using fixture::make_runtime;
using fixture::read_report;
using fixture::run;
using fixture::sha256_hex;

const std::string kGeneration = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kOther(64, 'e');
const std::string kKey = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
const std::string kSecret = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
constexpr Waits kQuick{.ready = 300ms, .stop = 2s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

struct Ids {
  uid_t uid;
  gid_t gid, agent, control;
};

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
    struct flock slot {};
    slot.l_type = F_WRLCK;
    slot.l_whence = SEEK_SET;
    slot.l_start = n;
    slot.l_len = 1;
    if (fcntl(locks, F_SETLK, &slot) != 0) continue;
    const Ids ids{n, n, n + 100, n + 200};
    run("groupadd -g " + std::to_string(ids.gid) + " velabroker");
    run("groupadd -g " + std::to_string(ids.agent) + " velaagent");
    run("groupadd -g " + std::to_string(ids.control) + " velacontrol");
    run("useradd -r -M -N -d /var/empty -s /usr/sbin/nologin -u " + std::to_string(ids.uid) + " -g " +
        std::to_string(ids.gid) + " velabroker");
    return ids;  // the descriptor, and with it the lock, stays until the process ends
  }
  throw std::runtime_error("no free test ids");
}

class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/private", F_OK) != 0) GTEST_SKIP() << "runs as root in the sandbox";
    ids = make_accounts();
    state = directory("/private/state", ids.uid);
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(vela_core_stop(), 0);
    }
  }

  // A fresh runtime tree made with the generator's options.
  std::string runtime(const std::string &options = "") {
    const std::string root = "/private/runtime-" + std::to_string(++trees);
    make_runtime(root, options);
    return root;
  }

  std::string directory(const std::string &path, uid_t owner) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chown(path.c_str(), owner, ids.gid), 0) << path;
    return path;
  }

  int start(const std::string &root, const std::string &generation, const std::string &creds) {
    return vela_core_start(root.c_str(), state.c_str(), ids.uid, ids.gid, ids.agent, ids.control, generation.c_str(),
                           reinterpret_cast<const uint8_t *>(creds.data()), creds.size());
  }
  int start(const std::string &root, const std::string &generation = kGeneration) {
    return start(root, generation, fixture::credentials(kKey, kSecret));
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

  rapidjson::Document report(const char *name) { return read_report(state + "/" + name); }

  Ids ids{};
  std::string state;
  int trees = 0;
};

// ---- what the child is given ----

std::vector<std::string> broker_environment(const std::string &root, const std::string &state, const Ids &ids,
                                            const std::string &generation) {
  const std::string agent = std::to_string(ids.agent), control = std::to_string(ids.control);
  return {
      "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
      "HOME=/var/empty",
      "NODE_ENV=production",
      "VELA_ACTIVATION_KEY_FD=0",
      "VELA_MAC_BROKER_AUTHORITY_FD=3",
      "VELA_MAC_BROKER_READY_FD=4",
      "VELA_MAC_BROKER_GENERATION=" + generation,
      "VELA_MAC_BROKER_PARENT_PID=" + std::to_string(getpid()),
      "VELA_PROTECTED_PACKAGE_DIR=" + root + "/host/app/protected",
      "VELA_PROTECTED_STATE_DIR=" + state,
      "VELA_CAPABILITY_PROFILES_FILE=" + root + "/host/app/protected/broker/capability-profiles.json",
      "VELA_PROTECTED_BROKER_HANDLERS=" + root + "/host/app/protected/broker/handlers.js",
      "VELA_CAPABILITY_BROKER_ENDPOINT=/var/run/vela-broker/invoke.sock",
      "VELA_CAPABILITY_ADMIN_ENDPOINT=/var/run/vela-broker/admin.sock",
      "VELA_CAPABILITY_BOOTSTRAP_ENDPOINT=/var/run/vela-broker/bootstrap.sock",
      "VELA_CAPABILITY_PROOF_ISSUER_ENDPOINT=/var/run/vela-broker/proof-issuer.sock",
      "VELA_CAPABILITY_INVOKE_GID=" + agent,
      "VELA_CAPABILITY_BOOTSTRAP_GID=" + agent,
      "VELA_CAPABILITY_ADMIN_GID=" + control,
      "VELA_CAPABILITY_PROOF_ISSUER_GID=" + control,
  };
}

// Identity, groups, limits and working directory of a reported child.
void expect_identity(const rapidjson::Value &r, const Ids &ids, const std::string &root, std::set<unsigned> groups) {
  EXPECT_EQ(r["uid"].GetUint(), ids.uid);
  EXPECT_EQ(r["euid"].GetUint(), ids.uid);
  EXPECT_EQ(r["gid"].GetUint(), ids.gid);
  EXPECT_EQ(r["egid"].GetUint(), ids.gid);
  std::set<unsigned> got;
  for (const auto &g : r["groups"].GetArray()) got.insert(g.GetUint());
  EXPECT_EQ(got, groups);
  EXPECT_EQ(text(r["cwd"]), root + "/host/app");
  const std::map<std::string, std::string> limits = {
      {"Max core file size", "0"}, {"Max open files", "1024"}, {"Max processes", "64"}, {"Max data size", "536870912"}};
  for (const auto &[name, value] : limits) {
    EXPECT_EQ(strings(r["limits"][name.c_str()]), (std::vector<std::string>{value, value})) << name;
  }
  EXPECT_EQ(r["ppid"].GetInt(), getpid());
}

// Descriptors of a reported child: the expected ones with their targets and
// access modes, and no other descriptor that leads to what the test holds.
void expect_descriptors(const rapidjson::Value &fds, int last, const std::string &leak) {
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
    EXPECT_EQ(flags(4) & O_ACCMODE, unsigned(O_WRONLY));
    EXPECT_NE(flags(4) & O_NONBLOCK, 0U);
    ours.insert({target(3), target(4)});
  }
  for (const auto &fd : fds.GetObject()) {
    const int n = std::stoi(fd.name.GetString());
    const std::string t = text(fd.value["target"]);
    EXPECT_NE(t, leak) << n;
    if (n > last) {
      EXPECT_FALSE(ours.contains(t)) << "descriptor " << n << " duplicates " << t;
    }
  }
}

// A descriptor the test holds without close-on-exec: no child may get it.
int leak_marker(const std::string &path) {
  const int fd = open(path.c_str(), O_CREAT | O_RDWR, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_GE(dup2(fd, 40), 0);
  return fd;
}

TEST_F(Broker, ChildSeesExactlyItsLaunch) {
  const std::string root = runtime("--launcher direct");
  leak_marker("/private/leak");
  ASSERT_EQ(start(root), 0);
  const pid_t pid = status_pid();
  ASSERT_GT(pid, 0);

  auto r = report("broker-report.json");
  EXPECT_EQ(r["pid"].GetInt(), pid);
  expect_identity(r, ids, root, {ids.gid, ids.agent, ids.control});
  const auto argv = strings(r["argv"]);
  ASSERT_EQ(argv.size(), 4U);  // Node, then the launcher with its arguments
  EXPECT_EQ(std::vector(argv.begin() + 1, argv.end()),
            (std::vector<std::string>{root + "/host/node/bin/node", "--max-old-space-size=384",
                                      root + "/host/app/protected/broker/index.js"}));
  EXPECT_EQ(strings(r["environ"]), broker_environment(root, state, ids, kGeneration));
  expect_descriptors(r["fds"], 4, "/private/leak");
  EXPECT_EQ(r["inputs"]["0"]["bytes"].GetInt(), 64);
  EXPECT_EQ(text(r["inputs"]["0"]["sha256"]), sha256_hex(kKey));
  std::string authority;
  for (std::size_t i = 0; i < kSecret.size(); i += 2)
    authority += static_cast<char>(std::stoi(kSecret.substr(i, 2), nullptr, 16));
  EXPECT_EQ(r["inputs"]["3"]["bytes"].GetInt(), 32);
  EXPECT_EQ(text(r["inputs"]["3"]["sha256"]), sha256_hex(authority));

  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_TRUE(gone(pid));
  EXPECT_EQ(status_pid(), 0);
}

// A daemon started without descriptors 0, 1 and 2: the core's own pipes then
// take those numbers, and each child must still get exactly its map.
TEST_F(Broker, DaemonWithoutStandardDescriptors) {
  const std::string root = runtime();
  const pid_t daemon = fork();
  ASSERT_GE(daemon, 0);
  if (daemon == 0) {
    for (int fd : {0, 1, 2}) close(fd);
    const bool sealed = runtime::seal(root, state, ids.uid, ids.gid, kKey, "vault", kWaits).has_value();
    auto broker =
        runtime::start(root, state, ids.uid, ids.gid, ids.agent, ids.control, kGeneration, kKey, kSecret, kWaits);
    _exit(sealed && broker && broker->stop() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  expect_descriptors(report("seal-report.json")["fds"], 2, "");
  auto r = report("broker-report.json");
  expect_descriptors(r["fds"], 4, "");
  EXPECT_EQ(r["inputs"]["0"]["bytes"].GetInt(), 64);
  EXPECT_EQ(r["inputs"]["3"]["bytes"].GetInt(), 32);
}

TEST_F(Broker, Lifecycle) {
  const std::string root = runtime();
  ASSERT_EQ(start(root), 0);
  const pid_t first = status_pid();
  ASSERT_GT(first, 0);
  EXPECT_EQ(report("broker-report.json")["pid"].GetInt(), first);  // the /bin/sh launcher keeps the process

  // The same generation while it runs: nothing is read, nothing launched.
  EXPECT_EQ(vela_core_start(nullptr, nullptr, 0, 0, 0, 0, kGeneration.c_str(), nullptr, 0), 0);
  EXPECT_EQ(start(root, kGeneration, "{malformed"), 0);
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
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);

  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_TRUE(gone(second));
  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_EQ(status_pid(), 0);
}

// A start for another generation stops the running broker before it looks
// at anything else; whatever it then finds wrong leaves no broker at all.
TEST_F(Broker, ReplacementStopsTheOldBrokerFirst) {
  const std::string root = runtime();
  const std::string good = fixture::credentials(kKey, kSecret);
  std::string too_long = good;
  too_long.resize(4097, ' ');
  const uint32_t high = 2147483648U;
  struct Row {
    const char *name;
    const char *root;
    uid_t uid;
    gid_t gid, agent, control;
    std::string generation, creds;
  };
  const Ids &i = ids;
  const char *r = root.c_str();
  for (const auto &row : std::vector<Row>{
           {"extra key", r, i.uid, i.gid, i.agent, i.control, kOther,
            R"({"activationKey":"a","launchSecret":"b","x":"c"})"},
           {"credentials over bound", r, i.uid, i.gid, i.agent, i.control, kOther, too_long},
           {"short key", r, i.uid, i.gid, i.agent, i.control, kOther, fixture::credentials(kKey.substr(1), kSecret)},
           {"secret not hex", r, i.uid, i.gid, i.agent, i.control, kOther,
            fixture::credentials(kKey, std::string(64, 'x'))},
           {"generation not hex", r, i.uid, i.gid, i.agent, i.control, std::string(64, 'g'), good},
           {"root uid", r, 0, i.gid, i.agent, i.control, kOther, good},
           {"root gid", r, i.uid, 0, i.agent, i.control, kOther, good},
           {"aliased groups", r, i.uid, i.gid, i.agent, i.agent, kOther, good},
           {"agent is the broker group", r, i.uid, i.gid, i.gid, i.control, kOther, good},
           {"control is the broker group", r, i.uid, i.gid, i.agent, i.gid, kOther, good},
           {"group 0", r, i.uid, i.gid, 0, i.control, kOther, good},
           {"group too high", r, i.uid, i.gid, i.agent, high, kOther, good},
           {"no root", nullptr, i.uid, i.gid, i.agent, i.control, kOther, good},
           {"no program", "/private/nothing", i.uid, i.gid, i.agent, i.control, kOther, good},
       }) {
    ASSERT_EQ(start(root), 0) << row.name;
    const pid_t old = status_pid();
    EXPECT_EQ(vela_core_start(row.root, state.c_str(), row.uid, row.gid, row.agent, row.control, row.generation.c_str(),
                              reinterpret_cast<const uint8_t *>(row.creds.data()), row.creds.size()),
              1)
        << row.name;
    EXPECT_TRUE(gone(old)) << row.name;
    EXPECT_EQ(status_pid(), 0) << row.name;
    EXPECT_TRUE(no_children()) << row.name;
  }
  // Without a generation nothing is replaced.
  ASSERT_EQ(start(root), 0);
  const pid_t running = status_pid();
  EXPECT_EQ(vela_core_start(r, state.c_str(), i.uid, i.gid, i.agent, i.control, nullptr,
                            reinterpret_cast<const uint8_t *>(good.data()), good.size()),
            1);
  EXPECT_EQ(status_pid(), running);
}

TEST_F(Broker, UpperCaseGeneration) {
  std::string upper = kGeneration, lower = kGeneration;
  std::ranges::transform(upper, upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  const std::string root = runtime();
  ASSERT_EQ(start(root, upper), 0);
  const pid_t first = status_pid(upper);
  ASSERT_GT(first, 0);
  // The lower-case form is another generation: the broker is replaced.
  ASSERT_EQ(start(root, lower), 0);
  EXPECT_TRUE(gone(first));
  EXPECT_GT(status_pid(lower), 0);
  // The proof must repeat the generation in the case it was given.
  EXPECT_EQ(start(runtime("--broker lower-case"), upper), 1);
  EXPECT_EQ(status_pid(), 0);
}

TEST_F(Broker, ReadinessInTwoPieces) {
  ASSERT_EQ(start(runtime("--broker split")), 0);
  EXPECT_GT(status_pid(), 0);
}

TEST_F(Broker, SealLeavesTheBrokerAlone) {
  const std::string root = runtime();
  ASSERT_EQ(start(root), 0);
  const pid_t pid = status_pid();
  const std::string creds = fixture::credentials(kKey, kSecret);
  EXPECT_EQ(
      vela_core_seal(root.c_str(), state.c_str(), ids.uid, ids.gid, reinterpret_cast<const uint8_t *>(creds.data()),
                     creds.size(), reinterpret_cast<const uint8_t *>("vault"), 5),
      0);
  EXPECT_EQ(status_pid(), pid);
}

// ---- brokers that fail their readiness ----

class BrokenBroker : public Broker, public ::testing::WithParamInterface<const char *> {};

TEST_P(BrokenBroker, StartFailsAndLeavesNothing) {
  ASSERT_EQ(start(runtime(std::string("--broker ") + GetParam())), 1);
  EXPECT_EQ(status_pid(), 0);
  EXPECT_TRUE(no_children());
  const pid_t pid = report("broker-report.json")["pid"].GetInt();
  EXPECT_TRUE(gone(pid));
}

INSTANTIATE_TEST_SUITE_P(Variants, BrokenBroker,
                         ::testing::Values("trailing", "extra-key", "daemon-pid", "close", "flood", "exit-before",
                                           "exit-after"),
                         [](const auto &variant) {
                           std::string name = variant.param;
                           std::erase(name, '-');
                           return name;
                         });

// The runtime module with short waits: the timeout paths.
TEST_F(Broker, ReadinessTimesOut) {
  const std::string root = runtime("--broker silent");
  struct Row {
    Waits waits;
    const char *refusal;
  };
  for (const auto &[waits, refusal] : {
           Row{kQuick, "broker generation readiness timed out"},
           Row{Waits{.ready = 300ms, .stop = 0s, .ready_poll = 10ms, .exit_poll = 5ms},
               "native broker child did not terminate within its deadline"},
       }) {
    const auto begin = std::chrono::steady_clock::now();
    auto r = runtime::start(root, state, ids.uid, ids.gid, ids.agent, ids.control, kGeneration, kKey, kSecret, waits);
    ASSERT_FALSE(r);
    EXPECT_STREQ(r.error().message, refusal);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_TRUE(no_children()) << refusal;
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

// A failure in the child, before or at the program's execution, fails the
// start with its errno and leaves no child.
TEST_F(Broker, ChildFailures) {
  struct Row {
    const char *name;
    std::string change;
    int error;
  };
  for (const auto &[name, change, error] : std::vector<Row>{
           {"no program", "rm host/node/bin/node", ENOENT},
           {"program not executable", "chmod 0644 host/node/bin/node", EACCES},
           {"program hidden from the service account", "chmod 0700 host/node/bin", EACCES},
           {"no working directory", "mv host/app host/moved", ENOENT},
       }) {
    const std::string root = runtime();
    run("cd '" + root + "' && " + change);
    auto r = runtime::start(root, state, ids.uid, ids.gid, ids.agent, ids.control, kGeneration, kKey, kSecret, kQuick);
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error().kind, Kind::os) << name;
    EXPECT_EQ(r.error().code, error) << name;
    EXPECT_TRUE(no_children()) << name;
  }
}

// ---- sealing ----

// The document as the seal script must receive it: compact, keys in byte
// order, quotation marks and backslashes escaped.
std::string escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

class Seal : public Broker {
 protected:
  int seal(const std::string &root, const std::string &state_dir, std::string_view vault, uid_t uid = 0,
           gid_t gid = 0) {
    const std::string creds = fixture::credentials(kKey, "not a hexadecimal secret");
    return vela_core_seal(root.c_str(), state_dir.c_str(), uid ? uid : ids.uid, gid ? gid : ids.gid,
                          reinterpret_cast<const uint8_t *>(creds.data()), creds.size(),
                          reinterpret_cast<const uint8_t *>(vault.data()), vault.size());
  }
};

TEST_F(Seal, ScriptReceivesTheDocument) {
  const std::string root = "/private/run\"time";  // Node's module loader takes no backslash
  make_runtime(root, "--launcher direct");
  const std::string state_dir = directory("/private/state \"\\", ids.uid);
  leak_marker("/private/leak");
  for (const std::string &vault : {std::string("q\"b\\s/+="), std::string(256, 'v'), std::string()}) {
    ASSERT_EQ(seal(root, state_dir, vault), 0) << vault;
    const std::string doc = R"({"activationKey":")" + kKey + R"(","packageDir":")" + escaped(root) +
                            R"(/host/app/protected","packageVaultKeyBase64":")" + escaped(vault) + R"(","stateDir":")" +
                            escaped(state_dir) + R"("})";
    auto r = read_report(state_dir + "/seal-report.json");
    EXPECT_EQ(text(r["document"]["sha256"]), sha256_hex(doc)) << doc;
    expect_identity(r, ids, root, {ids.gid});
    EXPECT_EQ(strings(r["environ"]), (std::vector<std::string>{"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=/var/empty",
                                                               "NODE_ENV=production"}));
    const auto argv = strings(r["argv"]);
    EXPECT_EQ(std::vector(argv.begin() + 1, argv.end()),
              (std::vector<std::string>{root + "/host/node/bin/node", "--max-old-space-size=384",
                                        root + "/host/app/scripts/seal-protected-runtime.mjs"}));
    expect_descriptors(r["fds"], 2, "/private/leak");
  }
  EXPECT_TRUE(no_children());
}

TEST_F(Seal, Refusals) {
  const std::string root = runtime();
  const std::string report = state + "/seal-report.json";
  EXPECT_EQ(seal(root, state, std::string(257, 'v')), 1);
  EXPECT_EQ(seal(root, state, "\xFF"), 1);
  EXPECT_EQ(vela_core_seal(root.c_str(), state.c_str(), 0, ids.gid, nullptr, 0, nullptr, 0), 1);
  const std::string creds = fixture::credentials(kKey, kSecret);
  const auto *c = reinterpret_cast<const uint8_t *>(creds.data());
  EXPECT_EQ(vela_core_seal(root.c_str(), state.c_str(), 0, ids.gid, c, creds.size(), c, 0), 1);
  EXPECT_EQ(vela_core_seal(root.c_str(), state.c_str(), ids.uid, 0, c, creds.size(), c, 0), 1);
  EXPECT_NE(access(report.c_str(), F_OK), 0) << "a refused seal started its script";
  EXPECT_TRUE(no_children());
}

TEST_F(Seal, ScriptOutcomes) {
  for (const auto &[variant, result] : {std::pair{"ok", 0}, std::pair{"fail", 1}, std::pair{"signal", 1}}) {
    EXPECT_EQ(seal(runtime(std::string("--seal ") + variant), state, "vault"), result) << variant;
    EXPECT_TRUE(no_children()) << variant;
  }
}

TEST_F(Seal, ScriptTimesOut) {
  const std::string root = runtime("--seal hang");
  const auto begin = std::chrono::steady_clock::now();
  auto r = runtime::seal(root, state, ids.uid, ids.gid, kKey, "vault", kQuick);
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.error().message, "protected service operation timed out");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_TRUE(no_children());
}

}  // namespace
}  // namespace vela::runtime
