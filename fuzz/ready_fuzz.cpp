// Readiness proofs: any bytes are accepted or refused without a fault, and an
// accepted proof carries the process id it was checked against.
#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::string generation(64, 'a');
  auto proof = vela::runtime::check_ready({data, size}, generation, 4242);
  if (proof && std::string_view(reinterpret_cast<const char *>(data), size).find("4242") == std::string_view::npos)
    std::abort();
  return 0;
}
