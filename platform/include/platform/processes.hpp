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
// or group, and repeats until a scan made after the last kill finds none
// left running. Each round first kills, in one walk of the process table
// that no fork can enter, every process whose real or saved id is `uid`
// (kill(-1) from a process with `uid` as its effective id), then scans /proc
// for the rest: each is signalled through its process descriptor, so that a
// number the system has meanwhile given to another process is never hit.
// Returns 0, EINVAL for uid 0, ETIMEDOUT when processes of the user still
// run at the deadline, or the errno value of a failed kill, scan or signal.
int end_user_processes(uid_t uid, std::int64_t deadline_ns);

}  // namespace vela::platform
