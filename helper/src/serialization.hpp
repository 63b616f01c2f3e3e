// JSON documents of the daemon: mutable values, compact text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "errors.hpp"

namespace vela::helper {

using Json = nlohmann::json;

// Parses one JSON document. A document that is not JSON reports the
// parser's own error, replacing whatever the caller's error held.
std::optional<Json> parseJson(std::span<const std::uint8_t> bytes, ErrorOut error);

// The compact text of a document; nothing, with the serialiser's error
// (replacing whatever the caller's error held), when a string in it is not
// UTF-8.
std::optional<std::string> serializeJson(const Json &value, ErrorOut error);

}  // namespace vela::helper
