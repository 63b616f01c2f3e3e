// Running programs: limits and descriptors as the platform names them, and
// tasks: programs launched with exactly the environment, directory and
// streams prepared for them, and waited for against a deadline.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "platform/descriptor.hpp"

namespace vela::platform {

// The child's address-space limit. Linux's RLIMIT_AS counts address space
// that is only reserved, and Node cannot start under 512 MiB of it;
// RLIMIT_DATA bounds what the child really allocates.
inline constexpr int kAddressSpaceLimit = RLIMIT_DATA;

// Marks every descriptor numbered `lowest` or above close-on-exec, so that
// the program executed next inherits none of them while the caller may still
// use them until then. Async-signal-safe: meant for a child between fork and
// exec. Returns 0 or an errno value.
int close_on_exec_from(unsigned lowest) noexcept;

// Forks with every signal blocked, so that no handler of the daemon runs in
// the child before it has reset them or ended; the child runs `body`, which
// must not return. The child's pid, or -1 with errno set.
template <class Body>
pid_t fork_blocked(Body body) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = fork();
  if (pid == 0) body();
  const int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = fork_error;
  return pid;
}

// A program as its caller prepares it; launching changes none of it.
struct Task {
  std::string executable{};  // absolute path, also the program's argv[0]
  std::vector<std::string> arguments{};
  std::map<std::string, std::string> environment{};  // the whole environment
  std::string directory{};                           // working directory; empty keeps the caller's
  int standard_input = -1;                           // borrowed; -1 is the null device
  // When set, the program sees every file system read-only except this
  // directory, where it can make no device usable either.
  std::string writable_directory{};
};

// Where a launched task's standard streams go: borrowed descriptors, -1 for
// the null device.
struct Streams {
  int input = -1;
  int output = -1;
  int error = -1;
};

// A launched task, held by a process descriptor so that a wait cannot reach
// another process. Dropping it unreaped abandons the task.
class Process {
 public:
  Process(pid_t pid, Descriptor pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

  // Waits until the task has ended or the monotonic clock (uptime_ns)
  // reaches the deadline; true once it has ended and been reaped.
  bool wait_until(std::int64_t deadline_ns);
  // The exit status, or the number of the signal that ended the task.
  int termination_status() const { return status_; }
  // Signals the task's process group: the task and what it started.
  void signal(int number) const;

 private:
  pid_t pid_;
  Descriptor pidfd_;
  int status_ = -1;
  bool ended_ = false;
};

// Starts the task with the given streams in a process group of its own. The
// child gets no other descriptor, no blocked signal and every signal at its
// default action.
// Fails with an errno value when the program cannot be started (missing
// program, missing working directory and the like).
std::expected<Process, int> launch(const Task &task, Streams streams);

// A descriptor from which exactly these bytes can be read, for a task's
// standard input; it never blocks the writer, whatever the task reads.
std::expected<Descriptor, int> input_file(std::span<const std::uint8_t> bytes);

}  // namespace vela::platform
