// STUB until the issue-11 branch lands: "install" and "repair" are not
// offered yet.
#include "install.hpp"

namespace vela::helper {

Reply installRequest(std::string_view, const Message &request, const PeerState &) {
  return reply(request, false, "unsupported_operation", "The requested privileged operation is not allowlisted.");
}
bool performV3Install(std::string_view, std::string_view, std::span<const std::uint8_t>, std::span<std::uint8_t>,
                      std::uint32_t, ErrorOut) {
  return false;
}
std::optional<std::string> userNameForUID(std::uint32_t) { return std::nullopt; }

}  // namespace vela::helper
