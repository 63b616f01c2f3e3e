// The broker's service account and groups, and a census of the whole user
// and group databases that no other entry aliases them.
#pragma once

#include <grp.h>
#include <pwd.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "serialization.hpp"

namespace vela::helper {

// The broker account's user id, when the account exists with the properties
// of the service account.
std::optional<std::uint32_t> brokerAccountUid();

// The four ids of the service identity, meaningful only after true.
bool serviceIdentity(std::uint32_t &brokerUid, std::uint32_t &brokerGid, std::uint32_t &agentGid,
                     std::uint32_t &controlGid);

bool vela_service_properties_allowed(const passwd *entry);
bool vela_group_entry_allowed(const group *entry, const std::uint32_t (&gids)[3], std::uint32_t (&counters)[3]);
bool vela_user_entry_allowed(const passwd *entry, std::uint32_t brokerUid, std::uint32_t brokerGid,
                             std::uint32_t controlGid, std::uint32_t &brokerCounter);

bool validGroupRecord(std::string_view name, std::uint32_t gid, bool requireNoMembers);
// The directory service's record of a group: a property-list dictionary,
// here as JSON (arrays of strings under the record's attribute keys).
std::optional<Json> readGroupRecord(std::string_view name);

}  // namespace vela::helper
