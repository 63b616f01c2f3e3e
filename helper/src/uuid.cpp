#include "uuid.hpp"

#include <uuid/uuid.h>

namespace vela::helper {

std::string freshUuid() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace vela::helper
