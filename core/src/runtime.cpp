#include "runtime.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sodium/utils.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>

#include "json.hpp"
#include "platform/clocks.hpp"
#include "platform/hardening.hpp"
#include "platform/processes.hpp"
#include "platform/programs.hpp"
#include "platform/secret.hpp"
#include "rapidjson.hpp"
#include "sha256.hpp"

namespace vela::runtime {
namespace {

constexpr std::string_view kNode = "host/node/bin/node";
constexpr std::string_view kHeapOption = "--max-old-space-size=384";
constexpr std::string_view kDirectory = "host/app";
constexpr std::string_view kPackageDir = "host/app/protected";
constexpr std::string_view kBrokerScript = "host/app/protected/broker/index.js";
constexpr std::string_view kSealScript = "host/app/scripts/seal-protected-runtime.mjs";
constexpr std::size_t kReadPiece = 512;
constexpr gid_t kGroupBound = 2'147'483'648U;

// The child's resource limits, soft and hard alike, in the order they are set.
struct Limit {
  int resource;
  rlim_t value;
};
constexpr Limit kLimits[] = {
    {RLIMIT_CORE, 0},
    {RLIMIT_NOFILE, 1024},
    {RLIMIT_NPROC, 64},
    {platform::kAddressSpaceLimit, 536'870'912},
};

constexpr json::Field ready_fields[] = {
    json::field<&Ready::generation>("generation"),
    json::field<&Ready::pid>("pid"),
};
constexpr json::Record<Ready> ready_record{ready_fields, json::Extra::refuse};

Duration now() { return Duration(platform::uptime_ns()); }

void pause(Duration d) {
  timespec ts{static_cast<time_t>(d.count() / 1'000'000'000), static_cast<long>(d.count() % 1'000'000'000)};
  nanosleep(&ts, nullptr);  // an interrupted sleep only makes the next look earlier
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

// ---- the child, between fork and exec: async-signal-safe calls only ----

// Everything the child needs, prepared before fork.
struct Plan {
  const char *program;
  char *const *argv;
  char *const *envp;
  const char *directory;
  int input;
  int null;
  uid_t uid;
  gid_t gid;
  std::span<const gid_t> groups;
  std::span<const std::pair<int, int>> maps;
  const platform::SetIdFilter *filter;
  int report;  // write end of the close-on-exec report pipe
};

// Sent through the report pipe in place of an errno: the identity check
// after the switch failed.
constexpr int kDropFailed = 0;

[[noreturn]] void child_fails(int report, int code) {
  (void)!::write(report, &code, sizeof code);  // one int: a single atomic pipe write
  _exit(127);
}

// Ends the child with its errno unless the step succeeded.
void require(const Plan &p, bool ok) {
  if (!ok) child_fails(p.report, errno);
}

// The program starts with every signal at its default action, whatever the
// daemon set for itself, and nothing blocked.
void default_signals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);  // SIGKILL and SIGSTOP refuse: fine
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void switch_identity(const Plan &p) {
  for (auto [resource, value] : kLimits) {
    const rlimit limit{value, value};
    require(p, setrlimit(resource, &limit) == 0);
  }
  require(p, setgroups(p.groups.size(), p.groups.data()) == 0);
  require(p, setgid(p.gid) == 0);
  require(p, setuid(p.uid) == 0);
  if (geteuid() != p.uid || getegid() != p.gid) child_fails(p.report, kDropFailed);
  // Nothing the program runs can make a set-id copy of a program of the
  // account for another user to run.
  if (int e = p.filter->install()) child_fails(p.report, e);
}

[[noreturn]] void run_child(const Plan &p) {
  default_signals();
  // A session of its own: no controlling terminal of the daemon's, and one
  // process group to end.
  require(p, setsid() >= 0);
  require(p, dup2(p.input, 0) == 0);
  require(p, dup2(p.null, 1) == 1);
  require(p, dup2(p.null, 2) == 2);
  require(p, chdir(p.directory) == 0);
  switch_identity(p);
  int top = 2;
  for (auto [from, to] : p.maps) {
    require(p, dup2(from, to) == to);
    top = std::max(top, to);
  }
  // Nothing but the descriptors placed above reaches the program.
  if (int e = platform::close_on_exec_from(static_cast<unsigned>(top) + 1)) child_fails(p.report, e);
  execve(p.program, p.argv, p.envp);
  child_fails(p.report, errno);
}

// ---- the parent ----

int poll_ms(Duration d) {
  return static_cast<int>(std::clamp<std::int64_t>(std::chrono::ceil<std::chrono::milliseconds>(d).count(), 0, 60'000));
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> out;
  for (auto &t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// Reads the child's report within the limit: the count read, 0 (end of
// file) once the program runs. Any process of the account may stop the child
// before its exec, so the wait has a deadline.
Result<ssize_t> read_report(int report, int &code, Duration limit) {
  const Duration end = now() + limit;
  for (;;) {
    const Duration left = end - now();
    if (left <= Duration::zero()) return fail(Error::os(ETIMEDOUT));
    pollfd p{report, POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_ms(left));
    if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    if (ready <= 0) continue;
    const ssize_t n = ::read(report, &code, sizeof code);
    if (n >= 0) return n;
    if (errno != EINTR) return fail(Error::last_os());
  }
}

// The started child, or its failure with the child killed and collected.
Result<Child> await_exec(pid_t pid, int report, Duration limit, const Waits &waits) {
  Child child(pid);
  int code = 0;
  auto n = read_report(report, code, limit);
  if (n && *n == 0) return child;
  const Error error = !n                   ? n.error()
                      : *n != sizeof code  ? Error::os(EIO)
                      : code == kDropFailed ? invalid("service credential drop failed")
                                            : Error::os(code);
  if (auto stopped = terminate(child, waits); !stopped) return fail(stopped.error());
  return fail(error);
}

Result<std::vector<std::uint8_t>> collect_line(Child &child, int fd, const Waits &waits) {
  const Duration begin = now();
  std::vector<std::uint8_t> data;
  for (;;) {
    if (now() - begin >= waits.ready) return fail(invalid("broker generation readiness timed out"));
    auto state = child.exited();
    if (!state) return fail(state.error());
    if (*state) return fail(invalid("broker exited before readiness"));
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_ms(waits.ready_poll));
    if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    if (ready <= 0) continue;
    std::uint8_t piece[kReadPiece];
    const ssize_t got = ::read(fd, piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(Error::last_os());
    if (got == 0) return fail(invalid("broker closed readiness without proof"));
    data.insert(data.end(), piece, piece + got);
    if (data.size() > kMaxPipePayload) return fail(invalid("broker readiness exceeds bounds"));
    if (std::find(piece, piece + got, '\n') != piece + got) return data;
  }
}

void broker_environment(Command &cmd, std::string_view root, std::string_view stateDir, std::string_view generation,
                        gid_t agentGid, gid_t controlGid) {
  const std::string agent = std::to_string(agentGid), control = std::to_string(controlGid);
  cmd.env("VELA_ACTIVATION_KEY_FD", "0");
  cmd.env("VELA_MAC_BROKER_AUTHORITY_FD", "3");
  cmd.env("VELA_MAC_BROKER_READY_FD", "4");
  cmd.env("VELA_MAC_BROKER_GENERATION", generation);
  cmd.env("VELA_MAC_BROKER_PARENT_PID", std::to_string(getpid()));
  cmd.env("VELA_PROTECTED_PACKAGE_DIR", under(root, kPackageDir));
  cmd.env("VELA_PROTECTED_STATE_DIR", stateDir);
  cmd.env("VELA_CAPABILITY_PROFILES_FILE", under(root, "host/app/protected/broker/capability-profiles.json"));
  cmd.env("VELA_PROTECTED_BROKER_HANDLERS", under(root, "host/app/protected/broker/handlers.js"));
  cmd.env("VELA_CAPABILITY_BROKER_ENDPOINT", "/var/run/vela-broker/invoke.sock");
  cmd.env("VELA_CAPABILITY_ADMIN_ENDPOINT", "/var/run/vela-broker/admin.sock");
  cmd.env("VELA_CAPABILITY_BOOTSTRAP_ENDPOINT", "/var/run/vela-broker/bootstrap.sock");
  cmd.env("VELA_CAPABILITY_PROOF_ISSUER_ENDPOINT", "/var/run/vela-broker/proof-issuer.sock");
  cmd.env("VELA_CAPABILITY_INVOKE_GID", agent);
  cmd.env("VELA_CAPABILITY_BOOTSTRAP_GID", agent);
  cmd.env("VELA_CAPABILITY_ADMIN_GID", control);
  cmd.env("VELA_CAPABILITY_PROOF_ISSUER_GID", control);
}

// RapidJSON output into a wiping buffer.
struct SecretStream {
  using Ch = char;
  secret::Bytes *out;
  void Put(char c) { out->push_back(static_cast<std::uint8_t>(c)); }
  void Flush() {}
};

// The seal document: compact, keys in byte order.
bool activation_document(secret::Bytes &out, std::string_view root, std::string_view stateDir,
                         std::string_view activationKey, std::string_view vault) {
  out.reserve(kMaxPipePayload + 1);
  SecretStream stream{&out};
  rapidjson::Writer<SecretStream> w(stream);
  auto member = [&w](std::string_view key, std::string_view value) {
    return w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size())) &&
           w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  return w.StartObject() && member("activationKey", activationKey) && member("packageDir", under(root, kPackageDir)) &&
         member("packageVaultKeyBase64", vault) && member("stateDir", stateDir) && w.EndObject();
}

Result<> wait_for_seal(Child &child, const Waits &waits) {
  const Duration begin = now();
  for (;;) {
    auto state = child.exited();
    if (!state) return fail(state.error());
    if (*state) return **state == 0 ? Result<>{} : fail(invalid("protected service operation failed"));
    if (now() - begin > waits.seal) {
      if (auto stopped = terminate(child, waits); !stopped) return stopped;
      return fail(invalid("protected service operation timed out"));
    }
    pause(waits.exit_poll);
  }
}

// The error, after ending every process of the account (whose own failure
// the error outranks).
Error ended(Error error, uid_t uid, const Waits &waits) {
  (void)end_account(uid, waits);
  return error;
}

}  // namespace

Child::~Child() {
  if (!status_) (void)terminate(*this, kWaits);
}

Result<std::optional<int>> Child::exited() {
  if (status_) return status_;
  int status = 0;
  pid_t r;
  do r = waitpid(pid_, &status, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r < 0) return fail(Error::last_os());
  if (r == 0) return std::optional<int>();
  status_ = status;
  return status_;
}

bool BrokerProcess::alive() {
  auto state = child.exited();
  return state && !*state;
}

Result<> BrokerProcess::stop() {
  auto stopped = terminate(child, kWaits);
  auto ended = end_account(uid, kWaits);
  return stopped ? ended : stopped;
}

Error invalid(const char *message) { return Error::other(message); }

std::string under(std::string_view root, std::string_view relative) {
  std::string path(root);
  if (!path.ends_with('/')) path += '/';
  path += relative;
  return path;
}

Command::Command(std::string root, uid_t uid, gid_t gid, std::vector<gid_t> groups)
    : program_(under(root, kNode)),
      directory_(under(root, kDirectory)),
      args_{program_, std::string(kHeapOption)},
      uid_(uid),
      gid_(gid),
      groups_(std::move(groups)) {
  env("PATH", "/usr/bin:/bin:/usr/sbin:/sbin");
  env("HOME", "/var/empty");
  env("NODE_ENV", "production");
}

void Command::env(std::string_view name, std::string_view value) {
  std::string entry(name);
  entry += '=';
  entry += value;
  env_.push_back(std::move(entry));
}

Result<Child> Command::spawn(Duration limit, const Waits &waits) {
  // Every descriptor the child places comes from 10 or above, so that no
  // placement overwrites the source of another.
  auto in = high(input_.get());
  if (!in) return fail(in.error());
  Descriptor null_device(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null_device.get() < 0) return fail(Error::last_os());
  auto null = high(null_device.get());
  if (!null) return fail(null.error());
  auto report = pipe();
  if (!report) return fail(report.error());
  auto report_end = high(report->write.get());
  if (!report_end) return fail(report_end.error());
  report->write.reset();
  auto filter = platform::SetIdFilter::make();
  if (!filter) return fail(Error::os(filter.error()));

  auto argv = pointers(args_), envp = pointers(env_);
  const Plan plan{.program = program_.c_str(),
                  .argv = argv.data(),
                  .envp = envp.data(),
                  .directory = directory_.c_str(),
                  .input = in->get(),
                  .null = null->get(),
                  .uid = uid_,
                  .gid = gid_,
                  .groups = groups_,
                  .maps = maps_,
                  .filter = &*filter,
                  .report = report_end->get()};
  const pid_t pid = platform::fork_blocked([&plan] { run_child(plan); });
  if (pid < 0) return fail(Error::last_os());
  report_end->reset();
  return await_exec(pid, report->read.get(), limit, waits);
}

Result<Command> command(std::string_view root, uid_t uid, gid_t gid,
                        std::optional<std::pair<gid_t, gid_t>> socketGroups) {
  if (uid == 0 || gid == 0) return fail(invalid("broker child must use the dedicated non-root service identity"));
  std::vector<gid_t> groups{gid};
  if (socketGroups) {
    auto [agent, control] = *socketGroups;
    auto usable = [gid](gid_t g) { return g != 0 && g < kGroupBound && g != gid; };
    if (!usable(agent) || !usable(control) || agent == control)
      return fail(invalid("invalid or aliased broker socket groups"));
    groups.insert(groups.end(), {agent, control});
  }
  return Command(std::string(root), uid, gid, std::move(groups));
}

Result<Descriptor> input(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kMaxPipePayload) return fail(invalid("native activation input exceeds atomic pipe bound"));
  auto p = pipe();
  if (!p) return fail(p.error());
  if (int e = platform::write_all(p->write.get(), bytes)) return fail(Error::os(e));
  return std::move(p->read);
}

Result<Pipe> pipe() {
  // pipe2 makes both ends close-on-exec atomically: no other thread's child
  // can inherit them in between.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(Error::last_os());
  Pipe p{Descriptor(fds[0]), Descriptor(fds[1])};
  const int flags = fcntl(fds[1], F_GETFL);
  if (flags < 0 || fcntl(fds[1], F_SETFL, flags | O_NONBLOCK) != 0) return fail(Error::last_os());
  return p;
}

Result<Descriptor> high(int fd) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  if (copy < 0) return fail(Error::last_os());
  return Descriptor(copy);
}

Result<> check_ready(std::span<const std::uint8_t> data, std::string_view generation, std::uint32_t pid) {
  auto proof = json::read(data, ready_record);
  if (!proof) return fail(invalid("invalid child readiness proof"));
  if (proof->generation.size() != 64 || proof->generation != generation || proof->pid != pid)
    return fail(invalid("child readiness generation or PID mismatch"));
  return {};
}

Result<> read_ready(Child &child, Descriptor readEnd, std::string_view generation, const Waits &waits) {
  auto line = collect_line(child, readEnd.get(), waits);
  if (!line) return fail(line.error());
  if (auto proof = check_ready(*line, generation, child.pid()); !proof) return proof;
  auto state = child.exited();
  if (!state) return fail(state.error());
  if (*state) return fail(invalid("broker exited after readiness"));
  return {};
}

Result<> terminate(Child &child, const Waits &waits) {
  auto state = child.exited();
  if (!state) return fail(state.error());
  if (*state) return {};
  // The child's process group with it, once the child leads one.
  const auto pid = static_cast<pid_t>(child.pid());
  if (::kill(-pid, SIGKILL) != 0 && (errno != ESRCH || ::kill(pid, SIGKILL) != 0)) return fail(Error::last_os());
  const Duration begin = now();
  while (now() - begin < waits.stop) {
    state = child.exited();
    if (!state) return fail(state.error());
    if (*state) return {};
    pause(waits.exit_poll);
  }
  return fail(invalid("native broker child did not terminate within its deadline"));
}

Result<> end_account(uid_t uid, const Waits &waits) {
  if (uid == 0) return fail(invalid("broker child must use the dedicated non-root service identity"));
  const int e = platform::end_user_processes(uid, (now() + waits.stop).count());
  if (e == ETIMEDOUT) return fail(invalid("native broker child did not terminate within its deadline"));
  if (e != 0) return fail(Error::os(e));
  return {};
}

Result<BrokerProcess> start(std::string_view root, std::string_view stateDir, uid_t brokerUid, gid_t brokerGid,
                            gid_t agentGid, gid_t controlGid, std::string_view generation,
                            std::string_view activationKey, std::string_view launchSecret, const Waits &waits) {
  if (!sha256::is_hex_digest(generation) || activationKey.size() != 64 || launchSecret.size() != 64)
    return fail(invalid("native broker generation/activation is invalid"));
  secret::Bytes authority(32);
  std::size_t decoded = 0;
  if (sodium_hex2bin(authority.data(), authority.size(), launchSecret.data(), launchSecret.size(), nullptr, &decoded,
                     nullptr) != 0 ||
      decoded != authority.size())
    return fail(invalid("invalid native launch authority"));

  auto authority_end = input(authority);
  if (!authority_end) return fail(authority_end.error());
  auto authority_high = high(authority_end->get());
  if (!authority_high) return fail(authority_high.error());
  auto ready = pipe();
  if (!ready) return fail(ready.error());
  auto ready_high = high(ready->write.get());
  if (!ready_high) return fail(ready_high.error());

  auto cmd = command(root, brokerUid, brokerGid, std::pair{agentGid, controlGid});
  if (!cmd) return fail(cmd.error());
  cmd->arg(under(root, kBrokerScript));
  auto key = input(bytes_of(activationKey));
  if (!key) return fail(key.error());
  cmd->input(std::move(*key));
  broker_environment(*cmd, root, stateDir, generation, agentGid, controlGid);
  cmd->map(authority_high->get(), 3);
  cmd->map(ready_high->get(), 4);

  // Whatever fails from here on, no process of the account is left.
  auto child = cmd->spawn(waits.ready, waits);
  if (!child) return fail(ended(child.error(), brokerUid, waits));
  // Only the child may hold the write end now, so its exit ends the pipe.
  authority_end->reset();
  authority_high->reset();
  ready->write.reset();
  ready_high->reset();

  BrokerProcess process{std::string(generation), brokerUid, std::move(*child)};
  if (auto proven = read_ready(process.child, std::move(ready->read), generation, waits); !proven) {
    auto stopped = terminate(process.child, waits);
    return fail(ended(stopped ? proven.error() : stopped.error(), brokerUid, waits));
  }
  return process;
}

Result<> seal(std::string_view root, std::string_view stateDir, uid_t uid, gid_t gid, std::string_view activationKey,
              std::string_view vault, const Waits &waits) {
  secret::Bytes document;
  if (!activation_document(document, root, stateDir, activationKey, vault))
    return fail(invalid("cannot encode service activation"));
  auto cmd = command(root, uid, gid, std::nullopt);
  if (!cmd) return fail(cmd.error());
  cmd->arg(under(root, kSealScript));
  auto in = input(document);
  if (!in) return fail(in.error());
  cmd->input(std::move(*in));
  auto child = cmd->spawn(waits.seal, waits);
  if (!child) return fail(child.error());
  return wait_for_seal(*child, waits);
}

}  // namespace vela::runtime
