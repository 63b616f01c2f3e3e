// Activation credentials: any bytes are read or refused without a fault.
#include <cstdlib>

#include "ffi.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto credentials = vela::ffi::credentials(data, size);
  if (credentials && size > vela::ffi::kMaxCredentials) std::abort();
  return 0;
}
