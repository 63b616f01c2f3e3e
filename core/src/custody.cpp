#include "custody.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <ranges>
#include <span>

#include "platform/clocks.hpp"
#include "sha256.hpp"

namespace vela::custody {
namespace {

constexpr int kRootFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NOCTTY: a terminal device planted in a tree must not become the
// process's controlling terminal on open (Linux); the file test refuses it.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int kLowestDuplicate = 10;

constexpr mode_t kCustodyDirectory = 0750;
constexpr mode_t kForegroundDirectory = 0755;

mode_t custody_mode(const inventory::Asset &asset) { return asset.executable ? 0750 : 0640; }
mode_t foreground_mode(const inventory::Asset &asset) { return asset.executable ? 0755 : 0644; }

constexpr std::size_t kChunk = 65'536;
constexpr std::uint64_t kMaxForegroundAsset = 16'777'216;
constexpr std::string_view kStaticDirectory = "host/app/client/dist/";

Error unsafe() { return Error::denied("custody path has unsafe type, owner or write permissions"); }

bool safe_directory(const struct stat &st, uid_t owner) {
  return st.st_uid == owner && S_ISDIR(st.st_mode) && (st.st_mode & 022) == 0;
}

bool safe_file(const struct stat &st, uid_t owner) {
  return st.st_uid == owner && (st.st_mode & 022) == 0 && st.st_nlink == 1 && S_ISREG(st.st_mode);
}

Result<Descriptor> duplicate(int fd) {
  Descriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, kLowestDuplicate));
  if (!copy) return fail(Error::last_os());
  return copy;
}

// Opens a directory entry with the flags and gives it with its status.
Result<std::pair<Descriptor, struct stat>> open_at(int directory, const std::string &name, int flags) {
  Descriptor opened(::openat(directory, name.c_str(), flags));
  if (!opened) return fail(Error::last_os());
  struct stat st {};
  if (::fstat(opened.get(), &st) != 0) return fail(Error::last_os());
  return std::pair{std::move(opened), st};
}

Result<Descriptor> open_directory(int directory, const std::string &name, uid_t owner) {
  auto opened = open_at(directory, name, kDirectoryFlags);
  if (!opened) return fail(opened.error());
  if (!safe_directory(opened->second, owner)) return fail(unsafe());
  return std::move(opened->first);
}

// The entry is tested before it is opened, so that root never opens a device
// node or a fifo, and the opened file must be that entry.
Result<File> open_regular(const Parent &parent, uid_t owner) {
  struct stat entry {};
  if (::fstatat(parent.directory.get(), parent.leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
    return fail(Error::last_os());
  if (!safe_file(entry, owner)) return fail(unsafe());
  auto opened = open_at(parent.directory.get(), parent.leaf, kReadFlags);
  if (!opened) return fail(opened.error());
  const struct stat &st = opened->second;
  if (!safe_file(st, owner) || st.st_dev != entry.st_dev || st.st_ino != entry.st_ino) return fail(unsafe());
  return File{std::move(opened->first), static_cast<std::uint64_t>(st.st_size)};
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    auto n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Error::last_os());
  }
}

// Reads until the buffer is full or the file ends; gives the count read.
Result<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer) {
  std::size_t count = 0;
  while (count < buffer.size()) {
    auto n = read_some(fd, buffer.subspan(count));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    count += *n;
  }
  return count;
}

Result<> sync(int fd) {
  if (::fsync(fd) != 0) return fail(Error::last_os());
  return {};
}

Result<> set_mode(int fd, mode_t mode) {
  if (::fchmod(fd, mode) != 0) return fail(Error::last_os());
  return {};
}

auto components(std::string_view path) {
  return path | std::views::split('/') |
         std::views::transform([](auto part) { return std::string(part.begin(), part.end()); });
}

// A file being created: unlinked again unless the copy is kept.
class NewFile {
 public:
  NewFile(const Parent &parent, Descriptor descriptor) : parent_(parent), descriptor_(std::move(descriptor)) {}
  NewFile(const NewFile &) = delete;
  NewFile &operator=(const NewFile &) = delete;
  ~NewFile() {
    if (!kept_) ::unlinkat(parent_.directory.get(), parent_.leaf.c_str(), 0);
  }
  int get() const { return descriptor_.get(); }
  void keep() { kept_ = true; }

 private:
  const Parent &parent_;
  Descriptor descriptor_;
  bool kept_ = false;
};

// Streams the source into the new file, hashing on the way, and flushes it.
Result<> pour(int from, const NewFile &to, const inventory::Asset &asset) {
  sha256::Stream digest;
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  std::uint64_t count = 0;
  for (;;) {
    auto n = read_some(from, {buffer.get(), kChunk});
    if (!n) return fail(n.error());
    if (*n == 0) break;
    if (__builtin_add_overflow(count, *n, &count)) return fail(Error::denied("asset size overflow"));
    if (count > asset.bytes) return fail(Error::denied("asset grew during custody copy"));
    digest.update({buffer.get(), *n});
    if (int e = platform::write_all(to.get(), {buffer.get(), *n})) return fail(Error::os(e));
  }
  if (int error = platform::full_fsync(to.get())) return fail(Error::os(error));
  if (count != asset.bytes || !sha256::same(digest.hex(), asset.sha256))
    return fail(Error::denied("asset changed during custody copy"));
  return {};
}

}  // namespace

Result<Directory> Directory::open_root(std::string_view path) {
  if (path.empty() || path.front() != '/') return fail(Error::denied("custody root must be absolute"));
  Descriptor current(::open("/", kRootFlags));
  if (!current) return fail(Error::last_os());
  for (const std::string &name : components(path)) {
    if (name.empty()) continue;
    if (name == "." || name == "..") return fail(Error::denied("custody root contains traversal"));
    auto next = open_directory(current.get(), name, 0);
    if (!next) return fail(next.error());
    current = std::move(*next);
  }
  return Directory(std::move(current), 0);
}

Result<Parent> Directory::parent(std::string_view relative, bool create) const {
  return walk(relative, create, create ? std::optional(kCustodyDirectory) : std::nullopt);
}

Result<Parent> Directory::walk(std::string_view relative, bool create, std::optional<mode_t> mode) const {
  if (!inventory::safe_path(relative)) return fail(Error::denied("unsafe relative custody path"));
  auto current = duplicate(descriptor_.get());
  if (!current) return fail(current.error());
  auto slash = relative.rfind('/');
  if (slash == std::string_view::npos) return Parent{std::move(*current), std::string(relative)};
  for (const std::string &name : components(relative.substr(0, slash))) {
    if (create && ::mkdirat(current->get(), name.c_str(), kCustodyDirectory) != 0 && errno != EEXIST)
      return fail(Error::last_os());
    auto next = open_directory(current->get(), name, owner_);
    if (!next) return fail(next.error());
    if (mode)
      if (auto set = set_mode(next->get(), *mode); !set) return fail(set.error());
    *current = std::move(*next);
  }
  return Parent{std::move(*current), std::string(relative.substr(slash + 1))};
}

Result<File> Directory::open_file(std::string_view relative) const {
  auto parent = this->parent(relative, false);
  if (!parent) return fail(parent.error());
  return open_regular(*parent, owner_);
}

Result<File> Directory::open_bounded(std::string_view relative, std::uint64_t maximum) const {
  auto file = open_file(relative);
  if (!file) return fail(file.error());
  if (file->size > maximum) return fail(Error::denied("custody file exceeds bounded read"));
  return file;
}

Result<std::vector<std::uint8_t>> Directory::read(std::string_view relative, std::uint64_t maximum) const {
  auto file = open_bounded(relative, maximum);
  if (!file) return fail(file.error());
  // One byte beyond the size seen tells a file that grew.
  std::vector<std::uint8_t> bytes(file->size + 1);
  auto count = read_full(file->descriptor.get(), bytes);
  if (!count) return fail(count.error());
  if (*count != file->size) return fail(Error::denied("custody file changed during read"));
  bytes.resize(*count);
  return bytes;
}

Result<> Directory::verify_inventory(const inventory::Inventory &inventory) const {
  // Streams each file through the digest: the same tests as a read, without
  // holding a whole file in memory.
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  for (const inventory::Asset &asset : inventory.assets()) {
    auto file = open_bounded(asset.path, asset.bytes);
    if (!file) return fail(file.error());
    sha256::Stream digest;
    std::uint64_t count = 0;
    while (count <= file->size) {
      auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, file->size + 1 - count));
      auto n = read_some(file->descriptor.get(), {buffer.get(), want});
      if (!n) return fail(n.error());
      if (*n == 0) break;
      digest.update({buffer.get(), *n});
      count += *n;
    }
    if (count != file->size) return fail(Error::denied("custody file changed during read"));
    if (count != asset.bytes || !sha256::same(digest.hex(), asset.sha256))
      return fail(Error::denied("installed custody asset changed"));
  }
  return {};
}

Result<ForegroundAsset> Directory::read_foreground_asset(const inventory::Inventory &inventory,
                                                         std::string_view name) const {
  if (!inventory::foreground_mime(name)) return fail(Error::denied("invalid static asset path or MIME"));
  if (auto closure = inventory.require_foreground(); !closure) return fail(closure.error());
  std::string path = std::string(kStaticDirectory).append(name);
  auto listed = std::ranges::find(inventory.assets(), path, &inventory::Asset::path);
  if (listed == inventory.assets().end()) return fail(Error::denied("unlisted foreground asset"));
  if (listed->bytes > kMaxForegroundAsset) return fail(Error::denied("foreground asset exceeds bounds"));
  auto bytes = read(path, listed->bytes);
  if (!bytes) return fail(bytes.error());
  auto digest = sha256::hex(*bytes);
  if (bytes->size() != listed->bytes || !sha256::same(digest, listed->sha256))
    return fail(Error::denied("foreground asset changed"));
  return ForegroundAsset{std::move(*bytes), std::move(digest)};
}

Result<> Directory::copy_asset(const Directory &destination, const inventory::Asset &asset) const {
  auto source = open_file(asset.sourcePath);
  if (!source) return fail(source.error());
  if (source->size != asset.bytes) return fail(Error::denied("authenticated asset size differs"));
  auto parent = destination.parent(asset.path, true);
  if (!parent) return fail(parent.error());
  mode_t mode = custody_mode(asset);
  Descriptor created(::openat(parent->directory.get(), parent->leaf.c_str(), kCreateFlags, mode));
  if (!created) return fail(Error::last_os());
  NewFile target(*parent, std::move(created));
  if (auto set = set_mode(target.get(), mode); !set) return fail(set.error());
  if (auto poured = pour(source->descriptor.get(), target, asset); !poured) return fail(poured.error());
  target.keep();
  return {};
}

Result<> Directory::copy_inventory(const Directory &destination, const inventory::Inventory &inventory) const {
  for (const inventory::Asset &asset : inventory.assets())
    if (auto copied = copy_asset(destination, asset); !copied) return fail(copied.error());
  return sync(destination.descriptor_.get());
}

Result<> Directory::copy_foreground(const Directory &destination, const inventory::Inventory &inventory) const {
  if (auto closure = inventory.require_foreground(); !closure) return fail(closure.error());
  if (auto copied = copy_inventory(destination, inventory); !copied) return fail(copied.error());
  if (auto relaxed = destination.relax_modes(inventory); !relaxed) return fail(relaxed.error());
  if (auto set = set_mode(destination.descriptor_.get(), kForegroundDirectory); !set) return fail(set.error());
  if (auto synced = sync(destination.descriptor_.get()); !synced) return fail(synced.error());
  return destination.verify_inventory(inventory);
}

// The foreground modes: every directory on a listed path 0755, every file
// 0644, or 0755 when executable.
Result<> Directory::relax_modes(const inventory::Inventory &inventory) const {
  for (const inventory::Asset &asset : inventory.assets()) {
    auto parent = walk(asset.path, false, kForegroundDirectory);
    if (!parent) return fail(parent.error());
    auto file = open_regular(*parent, owner_);
    if (!file) return fail(file.error());
    if (auto set = set_mode(file->descriptor.get(), foreground_mode(asset)); !set) return fail(set.error());
  }
  return {};
}

}  // namespace vela::custody
