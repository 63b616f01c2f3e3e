#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ranges>

#include "uuid.hpp"

namespace vela::helper {

namespace {

constexpr int kRootFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int kStepFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
constexpr int kTemporaryFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// errno is taken before the message is built, which may allocate.
Error posixError(int code, std::string_view text, std::string_view name) {
  return {kPosixDomain, code, std::string(text) + std::string(name)};
}

// The components an absolute walk visits: "/" and empty ones are skipped.
std::vector<std::string> absoluteComponents(std::string_view path) {
  auto components = pathComponents(path);
  std::erase(components, std::string());
  return components;
}

// Makes and enters one component of a root path; errno tells why not.
bool enterRootComponent(Descriptor &current, const std::string &component, mode_t mode) {
  if (mkdirat(current.get(), component.c_str(), mode) != 0 && errno != EEXIST) return false;
  Descriptor next(openat(current.get(), component.c_str(), kStepFlags));
  if (!next) return false;
  struct stat st {};
  if (fstat(next.get(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) {
    errno = EPERM;
    return false;
  }
  current = std::move(next);
  return true;
}

// Reads exactly the size `fstat` gives, refusing anything but a regular file
// within the bound; a file that shrinks meanwhile is refused.
std::optional<Data> readExactly(int fd, std::uint64_t maximum) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<std::uint64_t>(st.st_size) > maximum)
    return std::nullopt;
  Data bytes(static_cast<std::size_t>(st.st_size));
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> components;
  for (auto part : std::views::split(path, '/')) components.emplace_back(part.begin(), part.end());
  return components;
}

bool ensureRootDirectory(std::string_view path, mode_t mode, ErrorOut error) {
  Descriptor current(open("/", kRootFlags));
  if (!current) return false;
  for (const auto &component : absoluteComponents(path)) {
    if (!enterRootComponent(current, component, mode)) {
      setError(error, posixError(errno, "root custody path is unsafe: ", path));
      return false;
    }
  }
  return true;
}

Descriptor openAbsoluteDirectoryNoFollow(std::string_view path, ErrorOut error, bool lookupOnly) {
  if (!path.starts_with('/')) {
    setError(error, {kHelperDomain, 1, "source root must be absolute"});
    return {};
  }
  const int stepFlags = lookupOnly ? kLookupFlags : kStepFlags;
  Descriptor current(open("/", lookupOnly ? kLookupFlags : kRootFlags));
  if (!current) return {};
  for (const auto &component : absoluteComponents(path)) {
    if (component == "." || component == ".." || component.contains('\0')) {
      errno = EINVAL;
      return {};
    }
    current = Descriptor(openat(current.get(), component.c_str(), stepFlags));
    if (!current) {
      setError(error, posixError(errno, "unsafe source ancestor: ", component));
      return {};
    }
  }
  return current;
}

bool safeRelativePath(std::string_view path) {
  if (path.empty() || path.starts_with('/') || path.contains('\\') || path.contains('\0')) return false;
  return std::ranges::none_of(pathComponents(path), [](const std::string &c) {
    return c.empty() || c == "." || c == "..";
  });
}

Descriptor openRelativeParent(int directory, std::span<const std::string> components, ErrorOut error) {
  // The duplicate is close-on-exec like every other descriptor here, so that
  // no program started meanwhile inherits it.
  Descriptor current(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  if (!current) return {};
  for (const auto &component : components.first(components.empty() ? 0 : components.size() - 1)) {
    current = Descriptor(openat(current.get(), component.c_str(), kStepFlags));
    if (!current) {
      setError(error, posixError(errno, "unsafe path component: ", component));
      return {};
    }
  }
  return current;
}

std::optional<Data> readRelativeFileNoFollow(int directory, std::string_view relativePath, std::uint64_t maximum,
                                             ErrorOut error) {
  if (!safeRelativePath(relativePath)) return std::nullopt;
  auto components = pathComponents(relativePath);
  Descriptor parent = openRelativeParent(directory, components, error);
  if (!parent) return std::nullopt;
  Descriptor file(openat(parent.get(), components.back().c_str(), kReadFlags));
  parent.reset();
  if (!file) return std::nullopt;
  return readExactly(file.get(), maximum);
}

bool atomicRootData(std::string_view directory, std::string_view name, std::span<const std::uint8_t> data,
                    ErrorOut error) {
  Descriptor parent = openAbsoluteDirectoryNoFollow(directory, error);
  if (!parent) return false;
  // Only a plain name of this directory: a path could lead elsewhere.
  if (!safeRelativePath(name) || name.contains('/')) return false;
  return replaceFileAt(parent.get(), name, std::string(name) + ".tmp-" + freshUuid(), data);
}

bool replaceFileAt(int directory, std::string_view name, std::string_view temporary,
                   std::span<const std::uint8_t> data) {
  std::string temporaryName(temporary);
  Descriptor file(openat(directory, temporaryName.c_str(), kTemporaryFlags, 0600));
  if (!file) return false;
  bool written = platform::write_all(file.get(), data) == 0 && fsync(file.get()) == 0;
  file.reset();
  if (written && renameat(directory, temporaryName.c_str(), directory, std::string(name).c_str()) == 0)
    return fsync(directory) == 0;
  unlinkat(directory, temporaryName.c_str(), 0);
  return false;
}

}  // namespace vela::helper
