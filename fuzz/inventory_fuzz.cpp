// Runtime inventories: any bytes are refused or accepted without a fault, and
// an accepted inventory keeps the rules the custody walks rely on and lists
// what nlohmann's parser finds in the same bytes. The same bytes are also
// tried as a foreground asset name.
#include <nlohmann/json.hpp>

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

// A member of an object, or the element of an array, at field i.
const nlohmann::json &at(const nlohmann::json &v, std::size_t i, const char *name) {
  return v.is_array() ? v.at(i) : v.at(name);
}

void agree(const Inventory &inventory, const std::uint8_t *data, std::size_t size) {
  auto doc = nlohmann::json::parse(data, data + size, nullptr, false);
  if (doc.is_discarded() || at(doc, 3, "assets").size() != inventory.assets().size()) std::abort();
  for (std::size_t i = 0; i < inventory.assets().size(); ++i) {
    const Asset &read = inventory.assets()[i];
    const auto &listed = at(doc, 3, "assets")[i];
    if (at(listed, 0, "path") != read.path || at(listed, 1, "sourcePath") != read.sourcePath ||
        at(listed, 2, "sha256") != read.sha256 || at(listed, 3, "bytes") != read.bytes ||
        at(listed, 4, "executable") != read.executable)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (auto inventory = Inventory::parse({data, size}, "1.2.3")) {
    check(*inventory);
    agree(*inventory, data, size);
  }
  std::string_view name(reinterpret_cast<const char *>(data), size);
  if (foreground_mime(name) && (!safe_path(name) || name.size() > 1024)) std::abort();
  return 0;
}
