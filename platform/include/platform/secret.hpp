// Buffers for secrets: every allocation is overwritten with zeros, over its
// whole size, before it goes back to the heap. And the stack: what a
// function left in its frame stays there once it has returned, until a
// deeper call happens to overwrite it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include <sodium/utils.h>

namespace vela::secret {

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U> &) {}
  T *allocate(std::size_t n) { return static_cast<T *>(::operator new(n * sizeof(T))); }
  void deallocate(T *p, std::size_t n) {
    sodium_memzero(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U> &) const {
    return true;
  }
};

// A vector never keeps its bytes inside the object (unlike a short string),
// so the allocator sees every byte it ever held.
using Bytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

class Text {
 public:
  Text() = default;
  explicit Text(std::string_view s) { assign(s); }
  void assign(std::string_view s) {
    bytes_.clear();
    bytes_.insert(bytes_.end(), s.begin(), s.end());
  }
  std::string_view view() const { return {bytes_.data(), bytes_.size()}; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<char, WipingAllocator<char>> bytes_;
};

// How deep below a shallow frame the stack is cleared: well beyond any work
// of the daemon's (the deepest, an install, stays within 16 KiB of the
// queue's loop, 45 KiB under the sanitizers). Clearing it takes about 2 µs.
inline constexpr std::size_t kStackDepth = 128 * 1024;

// Overwrites with zeros kStackDepth of the stack below the caller's frame,
// and with it whatever the calls that have returned to the caller left
// there. For a frame from which all work is called, such as the queue's loop.
void clear_stack() noexcept;

}  // namespace vela::secret
