// The install and repair transaction through the real daemon and client, in
// the sandbox: outcomes, what each failing step leaves on disk, crashes at
// its critical points, and hostile requests.
#include <gtest/gtest.h>

#include <signal.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "daemon.hpp"
#include "fixture.hpp"
#include "foreground.hpp"
#include "install.hpp"
#include "platform/ipc.hpp"
#include "platform/secret.hpp"
#include "restore.hpp"
#include "staging.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names
using test::readFile;
using test::run;
namespace fs = std::filesystem;

constexpr const char *kReady = "Vela protected broker passed generation-bound functional readiness.";
constexpr const char *kFallback = "Vela broker installation failed.";
constexpr const char *kRejected = "The root helper rejected release signature, freshness, identity or rollback policy.";
constexpr const char *kBusy = "Another broker transaction is active.";
constexpr const char *kIncomplete = "The privileged install request is incomplete.";
constexpr const char *kCensus = "Existing broker identity/census is unsafe; no customer membership was changed.";
const std::string kTrust = std::string(VelaV3State) + "/" + std::string(VelaTrustStateName);

// A release made by tools/make-release.mjs, readable by the client's user.
struct Release {
  std::string dir, sha256;
  std::string archive() const { return dir + "/runtime.tar.gz"; }
  std::string files() const { return archive() + " " + dir + "/envelope.json " + dir + "/vault-key"; }
};

Release makeRelease(const std::string &name, const std::string &options = "") {
  const std::string dir = "/private/releases/" + name;
  auto made = test::outputOf("node " VELA_SOURCE_DIR "/tools/make-release.mjs --out " + dir + " " + options);
  run("chmod -R a+rX /private/releases");
  return {dir, Json::parse(made.second)["sha256"]};
}

// The client's last reply (null for none), run as the requesting user.
Json client(const std::string &requests) {
  std::string text = test::outputOf(test::asUser(test::kClient) + requests).second;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  auto line = text.substr(text.rfind('\n') + 1);
  return line.empty() ? Json() : Json::parse(line);
}
Json install(const Release &release, const char *operation = "install") {
  return client(std::string(operation) + " " + release.files());
}

std::string replaced(std::string text, std::string_view from, const std::string &to) {
  for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return text;
}

// The generation and pid of the running broker, as "status" tells them.
Json running() {
  const std::string text = client("status").value("runtimeStatus", "");
  std::string raw(text.size(), '\0');
  std::size_t length = 0;
  sodium_base642bin(reinterpret_cast<unsigned char *>(raw.data()), raw.size(), text.data(), text.size(), nullptr,
                    &length, nullptr, sodium_base64_VARIANT_ORIGINAL);
  return text.empty() ? Json{{"generation", ""}, {"pid", 0}} : Json::parse(raw.substr(0, length));
}

// The installed daemon, listening, with VELA_FAULT as given.
struct Daemon {
  explicit Daemon(const std::string &fault = "") {
    setenv("VELA_FAULT", fault.c_str(), 1);
    pid = test::spawn(test::kDaemon, 0);
    unsetenv("VELA_FAULT");
    EXPECT_TRUE(test::listening());
  }
  ~Daemon() { if (pid > 0) stop(SIGTERM); }
  // Its exit status once `signal` ended it (0: once it ended by itself).
  int stop(int signal) {
    kill(pid, signal);
    return test::exitStatus(std::exchange(pid, -1));
  }
  pid_t pid;
};

// The names in a directory, none when it is missing.
std::string names(std::string_view directory) { return test::outputOf("ls -A " + std::string(directory)).second; }
// Everything the transaction may touch, but its staging directories.
std::string snapshot() {
  return test::outputOf("find /private/var /Library -path '*/staged/*' -prune -o -printf '%p %m %u %g %s\\n' | sort")
      .second;
}

struct Transaction : testing::Test {
  void SetUp() override {
    test::makeServiceAccounts();
    run("useradd -M -N -u " + std::to_string(test::kUser) + " vela-user");
    v1 = makeRelease("v1", "--version 1.0.0 --age 3600");
    v2 = makeRelease("v2", "--version 2.0.0 --age 1800");
  }
  // v1 installed and current, with its broker running under a new daemon.
  void v1Current() {
    Daemon first;
    ASSERT_EQ(install(v1)["code"], "runtime_ready");
  }
  Release v1, v2;
};

// ---- outcomes ----

// V1 and V2 in a request stand for a release's archive, envelope and vault
// material, ARCHIVE for v1's archive alone; /private/b-N holds N bytes.
// SEND is an install request of exactly these fields.
#define SEND(archive, envelope, vault)                                                               \
  "send u:protocolVersion=3 s:operation=install " archive " d:releaseEnvelope=/private/b-" envelope \
  " d:packageVaultKey=/private/b-" vault

struct Outcome {
  const char *name;
  bool v1Current;
  const char *request, *code, *message;
  const char *runs;  // "v1", "v2" or "" for none
  const char *before = "";  // a command run first; TREE stands for v1's tree
  std::string fault = "";
  bool lockHeld = false;
};

const Outcome kOutcomes[] = {
    {"FirstInstall", false, "install V1", "runtime_ready", kReady, "v1"},
    {"SameReleaseAgain", true, "install V1", "runtime_ready", kReady, "v1"},
    {"NewerRelease", true, "install V2", "runtime_ready", kReady, "v2"},
    {"ThreeRepairsOfCurrent", true, "repair V1 -- repair V1 -- repair V1", "runtime_ready", kReady, "v1"},
    {"RepairOverTamperedTree", true, "repair V1", "runtime_ready", kReady, "v1", "echo >> TREE/release/RELEASE.txt"},
    {"RepairWhoseBrokerFails", true, "repair V1", "install_failed", kFallback, "v1", "", "install.step-34"},
    {"LockHeld", false, "install V1", "install_failed", kBusy, "", "", "", true},
    {"VaultOf45Bytes", false, SEND("s:archivePath=ARCHIVE", "99", "45"), "invalid_request", kIncomplete, ""},
    {"EmptyEnvelope", false, SEND("s:archivePath=ARCHIVE", "0", "44"), "invalid_request", kIncomplete, ""},
    {"EnvelopeOver2MiB", false, SEND("s:archivePath=ARCHIVE", "2097153", "44"), "invalid_request", kIncomplete, ""},
    {"EnvelopeOf2MiB", false, SEND("s:archivePath=ARCHIVE", "2097152", "44"), "install_failed", kRejected, ""},
    {"ArchivePathAsData", false, SEND("d:archivePath=/private/b-99", "99", "44"), "invalid_request", kIncomplete, ""},
    {"ControlGroupMember", false, "install V1", "install_failed", kCensus, "", "gpasswd -a nobody _velacontrol"},
};

struct Outcomes : Transaction, testing::WithParamInterface<Outcome> {
  std::string sha(std::string_view name) const { return name == "v1" ? v1.sha256 : name == "v2" ? v2.sha256 : ""; }
  std::string request() const {
    return replaced(replaced(replaced(GetParam().request, "V1", v1.files()), "V2", v2.files()), "ARCHIVE",
                    v1.archive());
  }
};

TEST_P(Outcomes, RepliedAndLeftInPlace) {
  const Outcome &row = GetParam();
  if (row.v1Current) v1Current();
  const std::string trustBefore = row.v1Current ? readFile(kTrust) : "";
  Descriptor lock(open(std::string(VelaInstallLock).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (row.lockHeld) flock(lock.get(), LOCK_EX);
  if (*row.before) run(replaced(row.before, "TREE", std::string(VelaV3Versions) + "/" + v1.sha256));
  for (std::size_t size : {0, 44, 45, 99, 2'097'152, 2'097'153})
    test::writeFile("/private/b-" + std::to_string(size), std::string(size, 'x'), 0644);
  Daemon daemon(row.fault);
  const Json answer = client(request());
  EXPECT_EQ(answer["code"], row.code);
  EXPECT_EQ(answer.value("message", ""), row.message);
  EXPECT_EQ(running()["generation"], sha(row.runs));
  EXPECT_EQ(names(VelaStageBase), "");
  const bool ready = answer["code"] == "runtime_ready";
  EXPECT_TRUE(ready || !row.v1Current || readFile(kTrust) == trustBefore) << "a refusal leaves the trust state";
  EXPECT_EQ(test::outputOf("id -nG vela-user").second.contains("_velaagent"), ready || row.v1Current) << "membership";
  // A tree of the same generation moved aside stays only when it is invalid
  // (changed); one whose broker failed is kept as failed.
  EXPECT_EQ(names(VelaV3Versions).contains(v1.sha256 + ".quarantined-"), std::string_view(row.before).contains("TREE"));
  EXPECT_EQ(names(VelaV3Versions).contains(".failed-"), row.fault == "install.step-34");
}

INSTANTIATE_TEST_SUITE_P(Install, Outcomes, testing::ValuesIn(kOutcomes), rowName<Outcome>);

// A request sent without a reply, alone on its connection, is carried out,
// even when the daemon gets to the connection only later (its queue busy).
TEST_F(Transaction, NoReplyStillInstalls) {
  Daemon daemon;
  kill(daemon.pid, SIGSTOP);
  FILE *client = popen((test::asUser(test::kClient) + "--no-reply install " + v1.files()).c_str(), "r");
  usleep(500'000);  // time enough for a client that did not wait to have ended
  kill(daemon.pid, SIGCONT);
  EXPECT_EQ(test::finish(client), (test::Output{test::kAllOk, ""}));
  EXPECT_EQ(running()["generation"], v1.sha256);
}

// ---- a failure at each step ----

// What stays after a step fails (v2 over a current v1), for each step that
// leaves something to undo: the archive identity record, the foreground tree,
// the keychain credentials, the promoted tree (kept, not current), and v1's
// broker restarted by the rollback. Step 33's bootout changes nothing.
enum Left { kRecord = 1, kForeground = 2, kCredentials = 4, kPromoted = 8, kRestarted = 16, kCommitted = 32 };
constexpr int kSealed = kRecord | kForeground | kCredentials;

const std::pair<int, int> kFailingSteps[] = {
    {12, 0}, {16, 0}, {17, kRecord}, {22, kRecord}, {23, kRecord | kForeground},
    {26, kRecord | kForeground}, {27, kRecord | kForeground}, {28, kRecord | kForeground},
    {29, kSealed}, {30, kSealed | kRestarted}, {31, kSealed | kRestarted}, {32, kSealed | kRestarted},
    {33, kSealed | kPromoted | kCommitted}, {34, kSealed | kPromoted | kRestarted},
    {35, kSealed | kPromoted | kRestarted},
};

struct FailingStep : Transaction, testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(FailingStep, LeavesItsStateAndTheNextInstallWorks) {
  const auto [step, left] = GetParam();
  v1Current();
  const std::string trustBefore = readFile(kTrust);
  Daemon daemon("install.step-" + std::to_string(step));
  const Json before = running();
  const bool committed = left & kCommitted;
  EXPECT_EQ(install(v2)["message"], committed ? kReady : kFallback);
  EXPECT_EQ(readFile(kTrust) == trustBefore, !committed);
  const Json after = running();
  EXPECT_EQ(after["generation"], committed ? v2.sha256 : v1.sha256);
  EXPECT_EQ(after["pid"] != before["pid"], (left & (kRestarted | kCommitted)) != 0);
  EXPECT_EQ(fs::exists(std::string(VelaArchiveIdentityBase) + "/2.0.0.sha256"), (left & kRecord) != 0);
  EXPECT_EQ(fs::exists(std::string(VelaForeground) + "/" + v2.sha256), (left & kForeground) != 0);
  EXPECT_EQ(VelaReadServiceCredentials(v2.sha256, nullptr).has_value(), (left & kCredentials) != 0);
  EXPECT_EQ(fs::exists(std::string(VelaV3Versions) + "/" + v2.sha256), (left & kPromoted) != 0);
  EXPECT_EQ(names(VelaStageBase), "");
  for (const char *checkpoint : {".prepared-", ".quarantined-", ".failed-"})
    EXPECT_FALSE(names(VelaV3Versions).contains(checkpoint)) << checkpoint;
  EXPECT_EQ(install(v2)["code"], "runtime_ready");
  EXPECT_EQ(running()["generation"], v2.sha256);
}

INSTANTIATE_TEST_SUITE_P(Install, FailingStep, testing::ValuesIn(kFailingSteps),
                         [](const auto &row) { return "Step" + std::to_string(row.param.first); });

// ---- crashes ----

struct Crash {
  const char *name, *point;
  bool committed;
  bool repair = false;  // of v1, instead of an install of v2
};

const Crash kCrashes[] = {
    {"BeforeTheStop", "install.step-30:kill", false},
    {"RepairBetweenMovingAsideAndPromotion", "install.step-32:kill", false, true},
    {"BetweenPromotionAndCommit", "install.step-33:kill", false},
    {"RightAfterTheCommit", "install.step-36:kill", true},
};

struct Crashes : Transaction, testing::WithParamInterface<Crash> {};

TEST_P(Crashes, TrustStateWholeAndRestoredThenInstallable) {
  v1Current();
  const std::string trustBefore = readFile(kTrust);
  {
    Daemon dying(GetParam().point);
    const Json answer = GetParam().repair ? install(v1, "repair") : install(v2);
    EXPECT_TRUE(answer.is_null()) << "no reply from a daemon killed in the middle";
    EXPECT_EQ(dying.stop(0), 128 + SIGKILL);
  }
  Daemon restarted;
  const Release &current = GetParam().committed ? v2 : v1;
  EXPECT_EQ(readFile(kTrust) == trustBefore, !GetParam().committed);
  EXPECT_EQ(Json::parse(readFile(kTrust))["current"]["archiveSha256"], current.sha256);
  EXPECT_EQ(running()["generation"], current.sha256) << "started at the first restore";
  EXPECT_EQ(names(VelaStageBase), "") << "the killed transaction's staging";
  EXPECT_FALSE(names(VelaV3Versions).contains(".prepared-"));
  const Release v3 = makeRelease("v3", "--version 3.0.0 --age 60");
  EXPECT_EQ(install(v3)["code"], "runtime_ready");
  EXPECT_EQ(running()["generation"], v3.sha256);
}

INSTANTIATE_TEST_SUITE_P(Install, Crashes, testing::ValuesIn(kCrashes), rowName<Crash>);

// An exception inside a locked step still rolls back and cleans up, then
// passes on; the same install again commits, which ends the restart count.
TEST_F(Transaction, ExceptionRollsBackAndPasses) {
  v1Current();
  const std::string trustBefore = readFile(kTrust), envelope = readFile(v2.dir + "/envelope.json");
  const std::string key = readFile(v2.dir + "/vault-key");
  Data vault(key.begin(), key.end());
  setenv("VELA_FAULT", "install.step-32:throw", 1);
  EXPECT_THROW(performV3Install("install", v2.archive(), test::bytes(envelope), vault, test::kUser, nullptr),
               std::runtime_error);
  char status[1024] = {};
  EXPECT_EQ(vela_core_status(status, sizeof status), 0);
  EXPECT_TRUE(std::string_view(status).contains(v1.sha256)) << "the earlier generation started again";
  EXPECT_EQ(readFile(kTrust), trustBefore);
  EXPECT_EQ(names(VelaStageBase), "");
  VelaRestartFailures = 5;
  EXPECT_TRUE(performV3Install("install", v2.archive(), test::bytes(envelope), vault, test::kUser, nullptr));
  EXPECT_EQ(VelaRestartFailures, 0u);
  vela_core_stop();
}

// ---- connections held ----

// The daemon, started with a soft limit of 100 descriptors, raises it to the
// hard one; one user holding all the connections it may (its next one is
// refused) leaves another user's install and the restore of a killed broker
// working.
TEST_F(Transaction, UserAtItsCapOfConnectionsLeavesInstallAndRestoreWorking) {
  v1Current();
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit small{100, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &small);
  Daemon daemon;
  setrlimit(RLIMIT_NOFILE, &saved);
  std::vector<test::StalledClient> held;
  for (int i = 0; i < 64; ++i) held.emplace_back("status", 301);
  EXPECT_EQ(test::outputOf(test::asUser(test::kClient, 301) + "status"), (test::Output{test::kRefused, ""}));
  EXPECT_EQ(install(v2)["code"], "runtime_ready");
  const Json before = running();
  ASSERT_GT(before["pid"], 0);
  kill(before["pid"], SIGKILL);
  int tick = 0;
  for (Json now; tick < 31 && ((now = running())["pid"] == 0 || now["pid"] == before["pid"]); ++tick) sleep(1);
  EXPECT_LT(tick, 31) << "no restart within two ticks";
}

// ---- the broker account's stops ----

// The log of the process chain a broker of --broker chain leaves: the
// uptime its newest link wrote, every few milliseconds while it runs.
std::string chainLog(const Json &broker) { return readFile("/var/tmp/vela-chain-" + to_string(broker["pid"])); }
bool chainRuns(const Json &broker) {
  const std::string before = chainLog(broker);
  usleep(300'000);
  return chainLog(broker) != before;
}

// A broker's chain runs until the broker's account is stopped: by a repair,
// by SIGTERM, and by the start-up of a daemon after one killed with SIGKILL.
// The sandbox holds as many processes as a desktop: a walk of them takes
// longer than a link of the chain lives.
TEST_F(Transaction, NoChainOfTheBrokerOutlivesAStop) {
  run("for i in $(seq 400); do sleep 1000 </dev/null >/dev/null 2>&1 & done");
  const Release chained = makeRelease("chained", "--broker chain");
  const std::string anyOfTheAccount = "pgrep -U _velabroker >/dev/null";
  auto daemon = std::make_unique<Daemon>();
  ASSERT_EQ(install(chained)["code"], "runtime_ready");
  const Json first = running();
  ASSERT_TRUE(chainRuns(first));
  ASSERT_EQ(install(chained, "repair")["code"], "runtime_ready");
  EXPECT_FALSE(chainRuns(first)) << "after a repair";
  const Json second = running();
  ASSERT_TRUE(chainRuns(second));
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  EXPECT_FALSE(chainRuns(second)) << "after SIGTERM";
  EXPECT_NE(std::system(anyOfTheAccount.c_str()), 0);

  daemon = std::make_unique<Daemon>();
  const Json third = running();  // started by the first restore
  ASSERT_TRUE(chainRuns(third));
  EXPECT_EQ(daemon->stop(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(chainRuns(third));
  daemon = std::make_unique<Daemon>();
  EXPECT_FALSE(chainRuns(third)) << "after the start-up of the next daemon";
  EXPECT_TRUE(chainRuns(running()));
}

// ---- secrets ----

// A process's writable mappings, each named by its line of the maps file and
// read as root; those over 1 GiB are address space a sanitizer reserves.
std::vector<std::pair<std::string, std::string>> writableMemory(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream maps(proc + "/maps");
  Descriptor mem(open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<std::pair<std::string, std::string>> regions;
  for (std::string line; std::getline(maps, line);) {
    unsigned long from = 0, to = 0;
    char access[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, access) != 3 || access[1] != 'w' || to - from > 1ul << 30)
      continue;
    std::string region(to - from, '\0');
    ssize_t n = pread(mem.get(), region.data(), region.size(), static_cast<off_t>(from));
    region.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    regions.emplace_back(line, std::move(region));
  }
  return regions;
}

// The heap, and the stack frames of work that has returned.
TEST_F(Transaction, NoSecretLeftInTheDaemonAfterAnInstall) {
  Daemon daemon;
  ASSERT_EQ(install(v1)["code"], "runtime_ready");
  const auto stored = VelaReadServiceCredentials(v1.sha256, nullptr);
  ASSERT_TRUE(stored);
  const Json credentials = Json::parse(stored->begin(), stored->end());
  const auto memory = writableMemory(daemon.pid);
  for (const std::string &secret : {readFile(v1.dir + "/vault-key"), credentials["activationKey"].get<std::string>(),
                                    credentials["launchSecret"].get<std::string>()})
    for (const auto &[mapping, bytes] : memory) EXPECT_FALSE(bytes.contains(secret)) << secret << " in " << mapping;
  // No work reached deeper into the main thread's stack than the queue
  // clears after it: above the cleared depth lie only the frames of main and
  // what the process started with (its arguments and environment, 8 to 16
  // KiB).
  EXPECT_LE(test::statusBytes(daemon.pid, "VmStk"), secret::kStackDepth + 32 * 1024);
}

// ---- hostile requests: refused, and nothing outside staging changes ----

// Made with these options of tools/make-release.mjs (none: v2), then this
// command with ARCHIVE for the release's archive.
struct Hostile {
  const char *name, *options, *command, *message;
};

const Hostile kHostile[] = {
    {"ArchiveIsALinkToARootOnlyFile", "",
     "mv ARCHIVE /private/root-only.tar.gz && chmod 0600 /private/root-only.tar.gz && "
     "ln -s /private/root-only.tar.gz ARCHIVE",
     kFallback},
    {"Downgrade", "--version 0.9.0 --age 60", "true", kRejected},
    {"TamperedArchive", "", "printf X | dd of=ARCHIVE bs=1 seek=100 conv=notrunc status=none",
     "runtime archive does not match the authenticated release manifest"},
};

struct Hostiles : Transaction, testing::WithParamInterface<Hostile> {};

TEST_P(Hostiles, RefusedAndNothingChanged) {
  const Hostile &row = GetParam();
  v1Current();
  const Release release = *row.options ? makeRelease("hostile", row.options) : v2;
  run(replaced(row.command, "ARCHIVE", release.archive()));
  Daemon daemon;
  const Json before = running();
  const std::string state = snapshot();
  const Json answer = install(release);
  EXPECT_EQ(answer["code"], "install_failed");
  EXPECT_EQ(answer["message"], row.message);
  EXPECT_EQ(snapshot(), state);
  EXPECT_EQ(running(), before);
}

INSTANTIATE_TEST_SUITE_P(Install, Hostiles, testing::ValuesIn(kHostile), rowName<Hostile>);

}  // namespace
}  // namespace vela::helper
