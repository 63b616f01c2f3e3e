// STUB until the issue-10 branch lands: every function refuses.
#include "accounts.hpp"

namespace vela::helper {

bool prepareServiceAccount(std::string_view, std::string_view, ErrorOut) { return false; }
bool addCustomerPublicMembership(std::string_view, ErrorOut) { return false; }
bool makeServiceReadable(std::string_view, std::uint32_t, ErrorOut) { return false; }

}  // namespace vela::helper
