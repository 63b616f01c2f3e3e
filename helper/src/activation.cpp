// STUB until the issue-9 branch lands: every function refuses.
#include "activation.hpp"

namespace vela::helper {

bool isHexDigest(std::string_view) { return false; }
std::optional<std::string> generationRoot(const Json &) { return std::nullopt; }
bool ensureServiceEndpoints(std::uint32_t, std::uint32_t, ErrorOut) { return false; }
bool startAcceptedRelease(const Json &, ErrorOut) { return false; }

}  // namespace vela::helper
