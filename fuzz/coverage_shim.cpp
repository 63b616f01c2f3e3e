// g++ reports each basic block through __sanitizer_cov_trace_pc(); libFuzzer
// no longer counts those calls itself. This keeps a table of 8-bit counters,
// indexed by a hash of the caller's address, and hands it to libFuzzer as
// its coverage map. The link puts this definition before libFuzzer's stub.
#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t *begin, std::uint8_t *end);

namespace {

alignas(64) std::uint8_t counters[1 << 18];

struct Register {
  Register() { __sanitizer_cov_8bit_counters_init(counters, counters + sizeof counters); }
} registered;

}  // namespace

extern "C" void __sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  ++counters[(pc ^ (pc >> 18)) & (sizeof counters - 1)];
}

// g++ also reports floating-point comparisons, which libFuzzer does not use.
extern "C" void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" void __sanitizer_cov_trace_cmpd(double, double) {}
