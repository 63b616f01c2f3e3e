// The foreground channel: a connection's verified view of one generation's
// static user interface, and the install-time preparation of foreground
// trees.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "files.hpp"
#include "request.hpp"
#include "serialization.hpp"

namespace vela::helper {

inline constexpr std::string_view VelaForeground = "/Library/Application Support/Vela/Foreground";

std::optional<std::string> foregroundRoot(const Json &release);
std::optional<ForegroundContext> openForegroundContext(std::string_view generation, ErrorOut error);
bool foregroundBindingIsCurrent(const ForegroundContext *context, ErrorOut error);
Json foregroundBinding(const ForegroundContext &context);
std::optional<Data> foregroundStatus(ErrorOut error);

// Rows of the dispatch table: "foreground_open", "foreground_current" and
// "foreground_asset" on the connection's channel, and "foreground_status".
Reply foregroundChannelOperation(std::string_view operation, const Message &request, PeerState &state);
Reply foregroundStatusOperation(const Message &request);

bool prepareForeground(std::string_view sourceRoot, std::span<const std::uint8_t> inventory, const Json &release,
                       bool repair, ErrorOut error);

}  // namespace vela::helper
