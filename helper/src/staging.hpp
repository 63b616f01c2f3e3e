// The runtime archive: a private copy proven against the signed size and
// digest, extracted by tar; and the records that bind each version to one
// archive.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace vela::helper {

inline constexpr std::string_view VelaArchiveIdentityBase = "/private/var/db/vela-broker-helper/archive-identities";

bool extractAuthenticatedArchive(std::string_view archivePath, std::string_view expectedSha256,
                                 std::uint64_t expectedBytes, std::string_view destination, ErrorOut error);

bool validateOrRecordArchiveIdentity(std::string_view version, std::string_view archiveSha256, bool repair,
                                     bool recordingAllowed, ErrorOut error);

// 64 lower-case hexadecimal digits.
std::string hexDigest(std::span<const std::uint8_t, 32> digest);

}  // namespace vela::helper
