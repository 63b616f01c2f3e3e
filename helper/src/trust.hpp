// The root trust state on disk: which release was accepted for each channel
// and which generation is current.
#pragma once

#include <optional>
#include <string_view>

#include "errors.hpp"
#include "serialization.hpp"

namespace vela::helper {

// The daemon's state directory and the trust state file in it.
inline constexpr std::string_view VelaV3State = "/private/var/db/vela-broker-helper";
inline constexpr std::string_view VelaTrustStateName = "trust-state-v3.json";

// The state with nothing accepted, as a missing file reads.
Json defaultTrustState();

// Reads the trust state: the default state when the file is absent, nothing
// when it is unsafe or corrupt. A refused file is never reset or removed.
std::optional<Json> readRootTrust(ErrorOut error);

}  // namespace vela::helper
