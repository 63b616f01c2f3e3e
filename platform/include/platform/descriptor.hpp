// An owned file descriptor.
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>
#include <utility>

#include <unistd.h>

namespace vela::platform {

// Closes its descriptor when it goes or takes another one. Closing keeps
// errno, so a failure can be reported after its descriptors are released.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor &operator=(Descriptor &&other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Writes all the bytes, retrying on EINTR; 0, or the errno value of the
// write that failed (EIO for one that wrote nothing).
inline int write_all(int fd, std::span<const std::uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace vela::platform
