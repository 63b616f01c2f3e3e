#include "platform/programs.hpp"

#include <cerrno>
#include <linux/close_range.h>
#include <unistd.h>

namespace vela::platform {

int close_on_exec_from(unsigned lowest) noexcept {
  return close_range(lowest, ~0U, CLOSE_RANGE_CLOEXEC) == 0 ? 0 : errno;
}

}  // namespace vela::platform
