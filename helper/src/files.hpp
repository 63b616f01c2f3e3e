// The daemon's way to root-owned state on disk: walks from "/" one component
// at a time, bounded reads below a held directory and atomic replacement,
// none of which ever follows a symbolic link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "platform/descriptor.hpp"

namespace vela::helper {

using platform::Descriptor;
using Data = std::vector<std::uint8_t>;

// Makes every missing directory of an absolute path with `mode` (reduced by
// the umask) and requires each component, existing ones included, to be
// owned by root and not writable by group or others.
bool ensureRootDirectory(std::string_view path, mode_t mode, ErrorOut error);

// Opens the directory at an absolute path, reached without a symbolic link.
// `lookupOnly` opens it and each directory on the way for lookups alone
// (O_PATH), so that searching them is all a caller's identity needs.
Descriptor openAbsoluteDirectoryNoFollow(std::string_view path, ErrorOut error, bool lookupOnly = false);

// True for a non-empty path that does not begin with "/", holds no "\" and
// no NUL, and has no empty, "." or ".." component.
bool safeRelativePath(std::string_view path);

// The components of a path between its "/" separators, empty ones included.
std::vector<std::string> pathComponents(std::string_view path);

// Opens the directory that holds the last of `components`, below `directory`.
Descriptor openRelativeParent(int directory, std::span<const std::string> components, ErrorOut error);

// Reads a regular file below `directory`: exactly the size it had when
// opened, at most `maximum` bytes.
std::optional<Data> readRelativeFileNoFollow(int directory, std::string_view relativePath, std::uint64_t maximum,
                                             ErrorOut error);

// Replaces the file `name` in an absolute directory with `data` by writing a
// temporary file, flushing it and renaming it over the name; a reader sees
// the old file or the new one, never a part.
bool atomicRootData(std::string_view directory, std::string_view name, std::span<const std::uint8_t> data,
                    ErrorOut error);

// Writes and flushes the new file `temporary` (mode 0600) in a held
// directory, renames it over `name` and flushes the directory; the temporary
// name is gone again whatever fails. Both are plain names of that directory.
bool replaceFileAt(int directory, std::string_view name, std::string_view temporary,
                   std::span<const std::uint8_t> data);

}  // namespace vela::helper
