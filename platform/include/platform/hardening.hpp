// Kernel settings the daemon relies on but cannot set for itself.
#pragma once

namespace vela::platform {

// The file that holds Yama's ptrace scope.
inline constexpr const char *kPtraceScopeFile = "/proc/sys/kernel/yama/ptrace_scope";

// Processes of one user may take each other's descriptors (pidfd_getfd) and
// memory unless Yama restricts ptrace to ancestors (scope 1 or more): the
// running broker could then read what the daemon hands a seal child. Writes
// one line to `errorFd` when the scope in `file` is 0 or cannot be read
// (Yama absent); true when the scope is 1 or more.
bool check_ptrace_scope(int errorFd, const char *file = kPtraceScopeFile);

}  // namespace vela::platform
