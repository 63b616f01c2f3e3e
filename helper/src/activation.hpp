// Starting an accepted generation: its custody re-verified, its credentials,
// identity and endpoint directories, then the broker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "serialization.hpp"

namespace vela::helper {

inline constexpr std::string_view VelaV3Versions = "/private/var/db/vela-broker-custody/versions";

// 64 hexadecimal digits, either case.
bool isHexDigest(std::string_view text);

// The generation root of a release: VelaV3Versions and the lower-case
// archiveSha256; nothing when that is not a string of 64 hexadecimal digits.
std::optional<std::string> generationRoot(const Json &release);

bool ensureServiceEndpoints(std::uint32_t brokerUid, std::uint32_t brokerGid, ErrorOut error);

// True only once the broker of that generation has proven readiness.
bool startAcceptedRelease(const Json &release, ErrorOut error);

}  // namespace vela::helper
