// Runtime inventories: any bytes are refused or accepted without a fault, and
// an accepted inventory keeps the rules the custody walks rely on. The same
// bytes are also tried as a foreground asset name.
#include <cstdlib>
#include <set>
#include <string_view>

#include "inventory.hpp"

using namespace vela::inventory;

namespace {

void check(const Inventory &inventory) {
  const auto &assets = inventory.assets();
  if (assets.empty() || assets.size() > Inventory::kMaxAssets) std::abort();
  std::set<std::string_view> paths;
  std::uint64_t total = 0;
  for (const Asset &a : assets) {
    if (!safe_path(a.path) || !safe_path(a.sourcePath) || !paths.insert(a.path).second) std::abort();
    total += a.bytes;
    if (total > Inventory::kByteBudget) std::abort();
  }
  (void)inventory.require_foreground();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (auto inventory = Inventory::parse({data, size}, "1.2.3")) check(*inventory);
  std::string_view name(reinterpret_cast<const char *>(data), size);
  if (foreground_mime(name) && (!safe_path(name) || name.size() > 1024)) std::abort();
  return 0;
}
