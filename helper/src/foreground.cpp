// STUB until the foreground branch lands: every function refuses.
#include "foreground.hpp"
#include "service.hpp"

namespace vela::helper {

std::optional<std::string> foregroundRoot(const Json &) { return std::nullopt; }
std::optional<ForegroundContext> openForegroundContext(std::string_view, ErrorOut) { return std::nullopt; }
bool foregroundBindingIsCurrent(const ForegroundContext *, ErrorOut) { return false; }
Json foregroundBinding(const ForegroundContext &) { return Json::object(); }
std::optional<Data> foregroundStatus(ErrorOut) { return std::nullopt; }
bool prepareForeground(std::string_view, std::span<const std::uint8_t>, const Json &, bool, ErrorOut) {
  return false;
}
Reply foregroundChannelOperation(std::string_view, const Message &, PeerState &) { return std::nullopt; }
Reply foregroundStatusOperation(const Message &) { return std::nullopt; }

}  // namespace vela::helper
