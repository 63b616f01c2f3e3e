#include "platform/processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clocks.hpp"
#include "platform/descriptor.hpp"
#include "platform/programs.hpp"

namespace vela::platform {
namespace {

// How many of the processes signalled in one pass it waits for; the others
// are signalled all the same and found again by the next pass.
constexpr std::size_t kAwaited = 64;
// Returned by a visit to end the walk early: not an errno value.
constexpr int kStop = -1;
// The real and saved id of the process that kills the account: one that no
// account may have (systemd reserves it: the nobody of 16-bit ids), so that
// no process of the account may signal or trace that process.
constexpr uid_t kNoOnesUid = static_cast<uid_t>(-2);

struct DirectoryCloser {
  void operator()(DIR *directory) const { closedir(directory); }
};

// Calls `visit` with every entry of a /proc directory whose name is a number
// (a process or a thread), until it returns other than 0. 0 at the end, the
// visit's value, or the errno value of the walk.
template <class Visit>
int each_number(const std::string &path, Visit visit) {
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir(path.c_str()));
  if (!directory) return errno;
  for (;;) {
    errno = 0;
    const dirent *entry = readdir(directory.get());
    if (entry == nullptr) return errno;
    const std::string_view name(entry->d_name);
    pid_t number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size()) continue;
    if (int result = visit(number)) return result;
  }
}

// Whether the Uid line of a status text (real, effective, saved and
// file-system ids) names `uid`.
bool names_user(std::string_view status, uid_t uid) {
  const auto line = status.find("\nUid:");
  if (line == std::string_view::npos) return false;
  const char *at = status.data() + line + 5, *end = status.data() + status.size();
  for (int field = 0; field < 4; ++field) {
    while (at < end && (*at == '\t' || *at == ' ')) ++at;
    uid_t id = 0;
    const auto parsed = std::from_chars(at, end, id);
    if (parsed.ec != std::errc()) return false;
    if (id == uid) return true;
    at = parsed.ptr;
  }
  return false;
}

// Whether the thread's status names the user: 0, or the errno value of a
// failed read. A thread that has gone names nobody.
int thread_names_user(const std::string &status_path, uid_t uid, bool &named) {
  Descriptor status(open(status_path.c_str(), O_RDONLY | O_CLOEXEC));
  char text[4096];  // the Uid line comes long before the first page ends
  const ssize_t got = status ? read(status.get(), text, sizeof text) : -1;
  if (got < 0) return errno == ENOENT || errno == ESRCH ? 0 : errno;
  named = names_user({text, static_cast<std::size_t>(got)}, uid);
  return 0;
}

// Whether any thread of the process has the user's id: 0, or an errno value.
int process_of_user(pid_t pid, uid_t uid, bool &ours) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  int result = each_number(tasks, [&](pid_t thread) {
    if (int e = thread_names_user(tasks + "/" + std::to_string(thread) + "/status", uid, ours)) return e;
    return ours ? kStop : 0;
  });
  if (result == ENOENT || result == ESRCH) result = 0;  // the process has gone
  return result == kStop ? 0 : result;
}

// What one scan found running and signalled.
struct Pass {
  std::size_t found = 0;
  std::vector<Descriptor> awaited;
};

// Kills the process if it is the user's and still runs: 0 or an errno value.
int end_if_users(pid_t pid, uid_t uid, Pass &pass) {
  Descriptor pidfd(pidfd_open(pid, 0));
  if (!pidfd) return errno == ESRCH ? 0 : errno;
  bool ours = false;
  if (int e = process_of_user(pid, uid, ours)) return e;
  // Ended by now, or its number may have named another process when its
  // status was read; still running, the status was its own.
  if (!ours || await_exit(pidfd.get(), 0)) return 0;
  if (pidfd_send_signal(pidfd.get(), SIGKILL, nullptr, 0) != 0) return errno == ESRCH ? 0 : errno;
  ++pass.found;
  if (pass.awaited.size() < kAwaited) pass.awaited.push_back(std::move(pidfd));
  return 0;
}

// The killer, forked. With the account's id as its effective id and
// kNoOnesUid as the others, it may signal exactly the processes whose real
// or saved id is the account's, and kill(-1) signals them all in one walk of
// the process table, which a fork cannot enter: no fork chain outruns it.
// Raw system calls only, between fork and exit. Its exit status is 0 or an
// errno value.
[[noreturn]] void kill_as(uid_t uid) {
  syscall(SYS_close_range, 0u, ~0u, 0u);  // nothing of the daemon's held as another user
  if (syscall(SYS_setresuid, kNoOnesUid, uid, kNoOnesUid) != 0) _exit(errno);
  _exit(kill(-1, SIGKILL) == 0 || errno == ESRCH ? 0 : errno);
}

// Kills every process whose real or saved id is `uid` (kill_as): 0, or an
// errno value. No process of the account can delay the killer, but its wait
// has the deadline all the same.
int kill_account(uid_t uid, std::int64_t deadline_ns) {
  const pid_t pid = fork_blocked([uid] { kill_as(uid); });
  if (pid < 0) return errno;
  Descriptor pidfd(pidfd_open(pid, 0));
  const bool ended = pidfd && await_exit(pidfd.get(), deadline_ns);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return ETIMEDOUT;
  return WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
}

}  // namespace

bool await_exit(int pidfd, std::int64_t deadline_ns) {
  pollfd ready{pidfd, POLLIN, 0};
  for (;;) {
    const std::int64_t left = std::max<std::int64_t>(deadline_ns - uptime_ns(), 0);
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    const int n = ppoll(&ready, 1, &timeout, nullptr);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

int end_user_processes(uid_t uid, std::int64_t deadline_ns) {
  if (uid == 0) return EINVAL;
  for (;;) {
    if (int e = kill_account(uid, deadline_ns)) return e;
    Pass pass;
    if (int e = each_number("/proc", [&](pid_t pid) { return end_if_users(pid, uid, pass); })) return e;
    if (pass.found == 0) return 0;
    if (uptime_ns() >= deadline_ns) return ETIMEDOUT;
    for (const Descriptor &pidfd : pass.awaited)
      if (!await_exit(pidfd.get(), deadline_ns)) return ETIMEDOUT;
  }
}

}  // namespace vela::platform
