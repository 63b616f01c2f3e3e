// Clocks and durable writes.
#pragma once

#include <cstdint>

namespace vela::platform {

// Nanoseconds of a monotonic clock that does not count time asleep: the
// designed-for CLOCK_UPTIME_RAW, which on Linux is CLOCK_MONOTONIC.
std::int64_t uptime_ns();

// Flushes a file to stable storage, the device's cache included: the
// designed-for F_FULLFSYNC, which on Linux fsync already does. Retries on
// EINTR; returns 0 or an errno value.
int full_fsync(int fd);

}  // namespace vela::platform
