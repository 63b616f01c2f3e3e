#include "gateway.hpp"

#include <algorithm>

namespace vela::gateway {

std::size_t LimitedOutput::write(std::span<const std::uint8_t> bytes) {
  const std::size_t n = std::min(bytes.size(), kLimit - data_.size());
  data_.insert(data_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

}  // namespace vela::gateway
