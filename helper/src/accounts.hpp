// Account preparation: the runtime's account script, the requesting user's
// membership of the agent group, and a custody tree handed to the broker
// group. Each is one bounded task.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors.hpp"

namespace vela::helper {

bool prepareServiceAccount(std::string_view runtimeRoot, std::string_view userName, ErrorOut error);
bool addCustomerPublicMembership(std::string_view userName, ErrorOut error);
bool makeServiceReadable(std::string_view path, std::uint32_t gid, ErrorOut error);

}  // namespace vela::helper
