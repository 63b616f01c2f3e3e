// Every process of one user account, wherever it runs, and waiting for a
// process to end through its process descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace vela::platform {

// Waits until every thread of the process behind `pidfd` has ended or the
// monotonic clock (uptime_ns) reaches the deadline; true once it has ended.
bool await_exit(int pidfd, std::int64_t deadline_ns);

// As root, kills with SIGKILL every process one of whose threads has `uid`
// as its real, effective, saved or file-system user id, whatever its session
// or group, and repeats until a scan finds none left running. Each process
// is signalled through its process descriptor, so that a number the system
// has meanwhile given to another process is never hit. Returns 0, EINVAL for
// uid 0, ETIMEDOUT when processes of the user still run at the deadline, or
// the errno value of a failed scan or signal.
int end_user_processes(uid_t uid, std::int64_t deadline_ns);

}  // namespace vela::platform
