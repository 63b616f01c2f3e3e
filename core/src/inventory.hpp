// The runtime inventory: which files a runtime consists of, where each may be
// placed in a custody tree, where it may be copied from, which must be
// present and how many bytes they may hold. Also the relative-path test that
// custody applies to every path, and the allow-list of static foreground
// assets.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace vela::inventory {

// The texts are held by the inventory that lists the asset.
struct Asset {
  std::string_view path;        // below the custody root
  std::string_view sourcePath;  // below the source root
  std::string_view sha256;      // 64 hexadecimal digits, either case
  std::uint64_t bytes = 0;
  bool executable = false;
};

// Made only by parse, so every inventory in hand obeys its rules: safe,
// unique paths inside the production closure, sound aliases, a total within
// budget and every required file listed.
class Inventory {
 public:
  static constexpr std::size_t kMaxDocument = 33'554'432;
  static constexpr std::size_t kMaxAssets = 100'000;
  static constexpr std::uint64_t kByteBudget = 1'073'741'824;

  static Result<Inventory> parse(std::span<const std::uint8_t> document, std::string_view version);

  // The foreground closure is listed and the runtime's node is executable.
  Result<> require_foreground() const;

  const std::vector<Asset> &assets() const { return assets_; }

 private:
  Inventory(std::shared_ptr<const char[]> texts, std::vector<Asset> assets)
      : texts_(std::move(texts)), assets_(std::move(assets)) {}

  std::shared_ptr<const char[]> texts_;  // of the assets, shared by copies
  std::vector<Asset> assets_;            // document order: the order of copies and checks
};

// A relative path of 1 to 4096 bytes, without NUL or backslash, whose "/"
// separated components are neither empty, "." nor "..".
bool safe_path(std::string_view path);

// The MIME type of an allowed static asset name, or nothing.
std::optional<std::string_view> foreground_mime(std::string_view name);

}  // namespace vela::inventory
