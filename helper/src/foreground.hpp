// The foreground channel: a connection's verified view of one generation's
// static user interface, and the install-time preparation of foreground
// trees.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "files.hpp"
#include "serialization.hpp"

namespace vela::helper {

inline constexpr std::string_view VelaForeground = "/Library/Application Support/Vela/Foreground";

// One open channel, fixed when it is opened.
struct ForegroundContext {
  std::string generation;  // 64 lower-case hexadecimal digits
  std::string version;     // the custody inventory's own version
  std::string root;        // the generation's foreground root
  // The custody inventory as read at open time: one copy for every channel
  // that read the same bytes for the generation.
  std::shared_ptr<const Data> inventory;
  std::string channelGeneration;
};

std::optional<std::string> foregroundRoot(const Json &release);
std::optional<ForegroundContext> openForegroundContext(std::string_view generation, ErrorOut error);
bool foregroundBindingIsCurrent(const ForegroundContext *context, ErrorOut error);
Json foregroundBinding(const ForegroundContext &context);
std::optional<Data> foregroundStatus(ErrorOut error);

bool prepareForeground(std::string_view sourceRoot, std::span<const std::uint8_t> inventory, const Json &release,
                       bool repair, ErrorOut error);

}  // namespace vela::helper
