#include "platform/hardening.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/descriptor.hpp"

namespace vela::platform {

namespace {

// The scope's first digit, or none when the file cannot be read.
int read_scope(const char *file) {
  Descriptor fd(open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  char digit = 0;
  if (!fd || read(fd.get(), &digit, 1) != 1 || digit < '0' || digit > '9') return -1;
  return digit - '0';
}

}  // namespace

bool check_ptrace_scope(int errorFd, const char *file) {
  const int scope = read_scope(file);
  if (scope > 0) return true;
  const std::string line = std::string("vela-broker-helper: kernel.yama.ptrace_scope is ") +
                           (scope == 0 ? "0" : "unavailable (no Yama)") +
                           ": processes of the broker account can read each other's descriptors; set it to 1\n";
  (void)write_all(errorFd, {reinterpret_cast<const std::uint8_t *>(line.data()), line.size()});
  return false;
}

}  // namespace vela::platform
