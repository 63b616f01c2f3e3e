#include "platform/secret.hpp"

namespace vela::secret {

// Its own frame lies right below the caller's, where the calls it returned
// from had theirs; never inlined, so that it has a frame of its own.
[[gnu::noinline]] void clear_stack() noexcept {
  unsigned char below[kStackDepth];
  sodium_memzero(below, sizeof below);
}

}  // namespace vela::secret
