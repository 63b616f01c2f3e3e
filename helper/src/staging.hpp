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

// The archive at `archivePath` is opened with the identity of `user`, the
// requesting user: only a file that user can reach and read is staged.
bool extractAuthenticatedArchive(std::string_view archivePath, std::string_view user, std::string_view expectedSha256,
                                 std::uint64_t expectedBytes, std::string_view destination, ErrorOut error);

bool validateOrRecordArchiveIdentity(std::string_view version, std::string_view archiveSha256, bool repair,
                                     bool recordingAllowed, ErrorOut error);

// Appends each byte as two lower-case hexadecimal digits, to a text or to a
// byte buffer (a wiping one for secrets).
template <class Out>
void appendHex(Out &out, std::span<const std::uint8_t> bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  for (std::uint8_t byte : bytes) {
    out.push_back(static_cast<typename Out::value_type>(kDigits[byte >> 4]));
    out.push_back(static_cast<typename Out::value_type>(kDigits[byte & 0xf]));
  }
}

// 64 lower-case hexadecimal digits.
std::string hexDigest(std::span<const std::uint8_t, 32> digest);

}  // namespace vela::helper
