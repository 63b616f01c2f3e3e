// Shell commands and the broker's service account, for the root tests of the
// core and of the daemon (run as root in the sandbox).
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/clocks.hpp"
#include "platform/processes.hpp"

namespace vela::test {

// Runs a shell command; a failure throws.
inline void run(const std::string &command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

struct ServiceIds {
  std::uint32_t brokerUid, brokerGid, agentGid, controlGid;
};

// The broker account whose id this process holds.
inline uid_t lockedBrokerUid = 0;

// Run at exit, before the lock goes with the process: what the account left
// running (a test that stopped early, a daemon killed with SIGKILL) would
// count against the process limit of the next test that takes the id.
inline void endLockedAccount() {
  (void)platform::end_user_processes(lockedBrokerUid, platform::uptime_ns() + 5'000'000'000);
}

// `_velabroker` and its group (id n), `_velaagent` (n+100) and `_velacontrol`
// (n+200), with an n that no test running at the same time uses (the kernel
// counts a uid's processes across sandboxes): this process locks byte n of a
// shared file until it ends, and ends the account's processes first.
inline ServiceIds makeServiceAccounts() {
  const int locks = open("/tmp/vela-test-ids.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  for (unsigned n = 200; locks >= 0 && n < 300; ++n) {
    struct flock slot {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = n, .l_len = 1, .l_pid = 0};
    if (fcntl(locks, F_SETLK, &slot) != 0) continue;
    const std::string id = std::to_string(n);
    run("groupadd -g " + id + " _velabroker && groupadd -g " + std::to_string(n + 100) + " _velaagent && groupadd -g " +
        std::to_string(n + 200) + " _velacontrol && useradd -M -N -s /usr/bin/false -d /var/empty -u " + id + " -g " +
        id + " _velabroker 2>/dev/null");
    lockedBrokerUid = n;
    std::atexit(endLockedAccount);
    return {n, n, n + 100, n + 200};
  }
  throw std::runtime_error("no free service ids");
}

}  // namespace vela::test
