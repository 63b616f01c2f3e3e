// STUB until the issue-9 branch lands: every function refuses.
#include "activation.hpp"

#include <algorithm>
#include <cctype>

namespace vela::helper {

bool isHexDigest(std::string_view text) {
  return text.size() == 64 && std::ranges::all_of(text, [](unsigned char c) { return std::isxdigit(c) != 0; });
}
std::optional<std::string> generationRoot(const Json &) { return std::nullopt; }
bool ensureServiceEndpoints(std::uint32_t, std::uint32_t, ErrorOut) { return false; }
bool startAcceptedRelease(const Json &, ErrorOut) { return false; }

}  // namespace vela::helper
