// Releases: what has been accepted (the root trust state) and, built on it,
// the verification of signed release envelopes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "json.hpp"
#include "release_keys.hpp"

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

// A signed release envelope: the manifest in Base64 and its detached
// signatures, tried in document order.
struct Signature {
  std::string keyId;
  std::string algorithm;
  std::string signature;  // Base64 of 64 bytes
};

struct Envelope {
  std::string payload;  // Base64 of the manifest's bytes, which are signed
  std::vector<Signature> signatures;
};

struct Key {
  std::string keyId;
  std::string publicKey;  // Base64 of 32 bytes
};

struct Keys {
  std::vector<Key> keys;
};

// The signed release manifest.
struct Rollback {
  std::string toVersion;
  std::string reason;
};

struct Artifact {
  std::optional<std::string> kind;
  std::string platform;
  std::string arch;
  std::string sha256;
  std::uint64_t sizeBytes = 0;
};

struct Manifest {
  std::uint32_t schemaVersion = 0;
  std::string channel;
  std::string version;
  std::string notBefore;
  std::string expiresAt;
  std::optional<json::AnyValue> halt;
  std::optional<Rollback> rollback;
  std::vector<Artifact> artifacts;
};

std::optional<Envelope> read_envelope(std::span<const std::uint8_t> bytes);
std::optional<Keys> read_keys(std::string_view text);
std::optional<Manifest> read_manifest(std::span<const std::uint8_t> bytes);

// A UTC timestamp ("...Z", RFC 3339) in milliseconds since the Unix epoch,
// digits below the millisecond dropped toward zero.
Result<std::int64_t> timestamp(std::string_view text);

// The wall clock in milliseconds since the Unix epoch; refused before it.
Result<std::int64_t> epoch_ms(std::chrono::system_clock::time_point now);

// Decides whether the envelope may be installed over the trust state on this
// architecture at the time now (milliseconds since the epoch), and names the
// release it carries. Only the keys of the key set are trusted.
Result<AcceptedRelease> verify(std::span<const std::uint8_t> envelope, const TrustState &state, std::string_view arch,
                               std::int64_t now, std::string_view keys = kBuiltInKeys);

}  // namespace vela::release
