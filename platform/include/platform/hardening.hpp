// Kernel settings the daemon relies on but cannot set for itself, and the
// system-call filter of the service account's children.
#pragma once

#include <linux/filter.h>

#include <expected>
#include <vector>

namespace vela::platform {

// The file that holds Yama's ptrace scope.
inline constexpr const char *kPtraceScopeFile = "/proc/sys/kernel/yama/ptrace_scope";

// Processes of one user may take each other's descriptors (pidfd_getfd) and
// memory unless Yama restricts ptrace to ancestors (scope 1 or more): the
// running broker could then read what the daemon hands a seal child. Writes
// one line to `errorFd` when the scope in `file` is 0 or cannot be read
// (Yama absent); true when the scope is 1 or more.
bool check_ptrace_scope(int errorFd, const char *file = kPtraceScopeFile);

// A filter under which a process can make no set-user-id or set-group-id
// file: changing a mode, or creating a file, directory or node, with either
// bit in the mode fails with EPERM, and openat2 and io_uring_setup, whose
// modes it cannot see, fail with ENOSYS (callers fall back to the calls it
// sees). Compiled before fork; the child installs it.
class SetIdFilter {
 public:
  // Compiles the filter for this machine; an errno value on failure.
  static std::expected<SetIdFilter, int> make();
  // Sets no-new-privileges, so that no program executed later gains
  // privileges from its file, and installs the filter on the calling thread,
  // which keeps it across execve and hands it to every child. Async-signal-
  // safe, for a child between fork and exec. 0 or an errno value.
  int install() const noexcept;

 private:
  std::vector<sock_filter> program_;
};

}  // namespace vela::platform
