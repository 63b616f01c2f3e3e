// The frame of the exported functions: argument readers, output, the guard
// that turns every failure into 1, and the activation credentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "platform/secret.hpp"

namespace vela::ffi {

// Per-argument maxima of byte buffers.
inline constexpr std::size_t kMaxInventory = 33'554'432;
inline constexpr std::size_t kMaxState = 2'097'152;
inline constexpr std::size_t kMaxEnvelope = 2'097'152;
inline constexpr std::size_t kMaxCredentials = 4096;
inline constexpr std::size_t kMaxVaultKey = 256;

Result<std::span<const std::uint8_t>> bytes(const std::uint8_t *data, std::size_t length, std::size_t max);
Result<std::string_view> string(const char *text);
// Copies the text and a NUL into the buffer, or writes nothing.
Result<> output(char *buffer, std::size_t capacity, std::string_view text);

struct Credentials {
  secret::Text activationKey;
  secret::Text launchSecret;
};

// Reads the caller's document from a private copy that is wiped afterwards.
Result<Credentials> credentials(const std::uint8_t *data, std::size_t length);

// Runs a body and gives 0 for success, 1 for an error or any exception.
template <class Body>
int guard(Body &&body) noexcept {
  try {
    return body() ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

// A value that one caller at a time may use. A fault that unwinds out of a
// use poisons it for good: every later use fails at once and leaves the
// value as it is.
template <class T>
class Locked {
 public:
  template <class Body>
  Result<> use(Body &&body) {
    std::lock_guard lock(mutex_);
    if (poisoned_) return fail(Error::other("native supervisor lock unavailable"));
    try {
      return body(value_);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  T value_{};
};

}  // namespace vela::ffi
