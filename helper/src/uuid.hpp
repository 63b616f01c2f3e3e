// Fresh UUIDs for temporary and checkpoint names.
#pragma once

#include <string>

namespace vela::helper {

// A fresh random UUID in upper-case text form.
std::string freshUuid();

}  // namespace vela::helper
