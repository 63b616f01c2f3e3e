// Running programs: limits as the platform names them.
#pragma once

#include <sys/resource.h>

namespace vela::platform {

// The child's address-space limit. Linux's RLIMIT_AS counts address space
// that is only reserved, and Node cannot start under 512 MiB of it;
// RLIMIT_DATA bounds what the child really allocates.
inline constexpr int kAddressSpaceLimit = RLIMIT_DATA;

}  // namespace vela::platform
