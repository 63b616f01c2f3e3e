// The daemon's two exported functions: each accepted generation's service
// activation credentials, kept in the System keychain. The store never looks
// inside a value; it is 1 to 4096 opaque bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "errors.hpp"
#include "platform/secret.hpp"

// The stored credentials of a generation (64 lower-case hexadecimal digits),
// in a buffer that is wiped when released. Nothing without an error means
// that no item exists; nothing with an error, a failure.
std::optional<vela::secret::Bytes> VelaReadServiceCredentials(std::string_view generation,
                                                              vela::helper::ErrorOut error);

// Stores a generation's credentials once: true when added, or when an item
// with exactly these bytes already exists. An existing item is never changed.
bool VelaStoreServiceCredentials(std::string_view generation, std::span<const std::uint8_t> value,
                                 vela::helper::ErrorOut error);
