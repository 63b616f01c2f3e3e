// Root trust states: any bytes are refused or accepted without a fault, and an
// accepted document is well-formed, UTF-8 valid JSON by RapidJSON's own DOM.
#include <rapidjson/document.h>

#include <cstdlib>

#include "release.hpp"
#include "vela_core.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto state = vela::release::read_state({data, size});
  int exported = vela_core_validate_trust(data, size);
  if (!state) {
    if (exported != 1) std::abort();
    return 0;
  }
  if ((exported == 0) != vela::release::validate_state(*state).has_value()) std::abort();
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(reinterpret_cast<const char *>(data), size);
  if (doc.HasParseError()) std::abort();
  if (state->current && !vela::release::write(*state->current)) std::abort();
  return 0;
}
