#include "platform/clocks.hpp"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace vela::platform {

std::int64_t uptime_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int full_fsync(int fd) {
  while (fsync(fd) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

}  // namespace vela::platform
