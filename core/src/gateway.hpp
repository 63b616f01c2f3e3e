// Bounded capture of a child's output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vela::gateway {

// A growable byte buffer that never holds more than kLimit bytes in total.
class LimitedOutput {
 public:
  static constexpr std::size_t kLimit = 32'768;

  // Appends as many of the bytes as still fit and returns that number
  // (0 once the buffer is full).
  std::size_t write(std::span<const std::uint8_t> bytes);
  std::span<const std::uint8_t> bytes() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
};

}  // namespace vela::gateway
