// Root-owned custody trees. Every path is reached from a held directory one
// component at a time without following symbolic links, and every directory
// and file on the way must belong to the expected owner and grant neither
// group nor other write permission; files must be regular with one link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor.hpp"
#include "error.hpp"
#include "inventory.hpp"

namespace vela::custody {

using platform::Descriptor;

struct Parent {
  Descriptor directory;  // the leaf's parent, a fresh descriptor
  std::string leaf;
};

// A regular file opened for reading and the size it had when opened.
struct File {
  Descriptor descriptor;
  std::uint64_t size;
};

struct ForegroundAsset {
  std::vector<std::uint8_t> bytes;
  std::string digest;  // SHA-256, 64 lower-case hexadecimal characters
};

// One open directory and the owner required of everything reached through
// it. Lives for one exported call.
class Directory {
 public:
  // Opens an absolute path component by component; the owner is root.
  static Result<Directory> open_root(std::string_view path);

  // The parent directory of a relative path and its leaf name; with create,
  // missing directories are made and every directory passed is set to 0750.
  Result<Parent> parent(std::string_view relative, bool create) const;

  // The whole file, of at most maximum bytes.
  Result<std::vector<std::uint8_t>> read(std::string_view relative, std::uint64_t maximum) const;

  // Every listed file is present with its size and digest.
  Result<> verify_inventory(const inventory::Inventory &inventory) const;

  // A listed static asset of the foreground, checked against its listing.
  Result<ForegroundAsset> read_foreground_asset(const inventory::Inventory &inventory, std::string_view name) const;

  // Copies one asset from this tree to a new file of the destination.
  Result<> copy_asset(const Directory &destination, const inventory::Asset &asset) const;

  // Copies every asset in order, then flushes the destination root.
  Result<> copy_inventory(const Directory &destination, const inventory::Inventory &inventory) const;

  // Copies every asset, gives the tree world-readable modes and verifies it.
  Result<> copy_foreground(const Directory &destination, const inventory::Inventory &inventory) const;

 private:
  Directory(Descriptor descriptor, uid_t owner) : descriptor_(std::move(descriptor)), owner_(owner) {}

  // The walk behind parent: the directories of the path, each tested and,
  // with a mode, set to it.
  Result<Parent> walk(std::string_view relative, bool create, std::optional<mode_t> mode) const;
  Result<File> open_file(std::string_view relative) const;
  Result<File> open_bounded(std::string_view relative, std::uint64_t maximum) const;
  Result<> relax_modes(const inventory::Inventory &inventory) const;

  Descriptor descriptor_;
  uid_t owner_;
};

}  // namespace vela::custody
