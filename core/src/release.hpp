// Releases: what has been accepted (the root trust state) and, built on it,
// the verification of signed release envelopes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "json.hpp"

namespace vela::release {

struct AcceptedRelease {
  std::string channel;
  std::string version;
  std::string archiveSha256;
  std::uint64_t archiveBytes = 0;
  std::int64_t notBeforeMs = 0;

  static bool eq(const AcceptedRelease &a, const AcceptedRelease &b);
};

struct TrustState {
  std::uint32_t schemaVersion = 0;
  json::Map<AcceptedRelease> channels;
  std::optional<AcceptedRelease> current;
};

std::optional<TrustState> read_state(std::span<const std::uint8_t> bytes);

Result<> validate_state(const TrustState &state);

// The compact written form: the five keys in order, no whitespace.
Result<std::string> write(const AcceptedRelease &release);

}  // namespace vela::release
