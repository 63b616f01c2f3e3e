// STUB until the issue-9 branch lands: every function refuses.
#include "identity.hpp"

namespace vela::helper {

bool serviceIdentity(std::uint32_t &, std::uint32_t &, std::uint32_t &, std::uint32_t &) { return false; }
bool vela_service_properties_allowed(const passwd *) { return false; }
bool vela_group_entry_allowed(const group *, const std::uint32_t (&)[3], std::uint32_t (&)[3]) { return false; }
bool vela_user_entry_allowed(const passwd *, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t &) {
  return false;
}
bool validGroupRecord(std::string_view, std::uint32_t, bool) { return false; }
std::optional<Json> readGroupRecord(std::string_view) { return std::nullopt; }

}  // namespace vela::helper
