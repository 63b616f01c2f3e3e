// Running programs: limits and descriptors as the platform names them.
#pragma once

#include <sys/resource.h>

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

}  // namespace vela::platform
