// Service messages: any body is decoded or refused without a fault, and a
// decoded message encodes back to exactly the bytes it came from.
#include <cstdlib>

#include "platform/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  namespace wire = vela::platform::ipc::wire;
  auto message = wire::decode({data, size});
  if (!message) return 0;
  auto frame = wire::encode(*message);
  if (frame.size() != wire::kHeader + size || !std::equal(frame.begin() + wire::kHeader, frame.end(), data))
    std::abort();
  return 0;
}
