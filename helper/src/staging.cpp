// STUB until the issue-10 branch lands: every function refuses.
#include "staging.hpp"

namespace vela::helper {

bool extractAuthenticatedArchive(std::string_view, std::string_view, std::uint64_t, std::string_view, ErrorOut) {
  return false;
}
bool validateOrRecordArchiveIdentity(std::string_view, std::string_view, bool, bool, ErrorOut) { return false; }
std::string hexDigest(std::span<const std::uint8_t, 32>) { return {}; }

}  // namespace vela::helper
