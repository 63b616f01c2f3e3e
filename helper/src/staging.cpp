#include "staging.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <optional>

#include "activation.hpp"
#include "files.hpp"
#include "platform/paths.hpp"
#include "platform/threads.hpp"
#include "tasks.hpp"
#include "uuid.hpp"

namespace vela::helper {

namespace {

constexpr std::size_t kChunk = 65'536;
constexpr std::uint64_t kMaxArchiveBytes = 2'147'483'648;
constexpr double kTarSeconds = 60;
constexpr std::size_t kDigestLength = 64;
constexpr const char *kPrivateCopy = ".authenticated-runtime.tar.gz";
// O_NONBLOCK and O_NOCTTY: whatever stands at a name, opening it neither
// waits nor gives the daemon a controlling terminal.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr int kCopyFlags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

Error archiveMismatch() {
  return {kHelperDomain, 8, "runtime archive does not match the authenticated release manifest"};
}
Error boundToAnotherArchive() {
  return {kHelperDomain, 9, "runtime version is already bound to a different signed archive"};
}
Error noArchiveIdentity() { return {kHelperDomain, 10, "repair has no root-owned signed archive identity"}; }

// The path without its last component, and that component; trailing
// separators do not count as a component.
std::pair<std::string, std::string> splitLast(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {"", std::string(path)};
  return {std::string(path.substr(0, slash == 0 ? 1 : slash)), std::string(path.substr(slash + 1))};
}

// Opens the client's archive: a regular file of exactly the expected size,
// reached without a symbolic link. Anything else is not even opened, so no
// device or FIFO sees an open by root.
Descriptor openArchive(std::string_view path, std::uint64_t expectedBytes, ErrorOut error) {
  auto [parentPath, name] = splitLast(path);
  Descriptor parent = openAbsoluteDirectoryNoFollow(parentPath, error, true);
  if (!parent) return {};
  struct stat st {};
  if (fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return {};
  Descriptor archive(openat(parent.get(), name.c_str(), kReadFlags));
  parent.reset();
  if (!archive || fstat(archive.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != expectedBytes)
    return {};
  return archive;
}

// Opens the archive as the requesting user would: on a thread of its own
// that reaches files with that user's identity, so that a path the user
// cannot reach fails alike whether or not something lies behind it.
Descriptor openArchiveAsUser(std::string_view path, std::string_view user, std::uint64_t expectedBytes,
                             ErrorOut error) {
  auto identity = platform::file_identity(user);
  if (!identity) return {};
  return platform::on_own_thread([&] {
    return platform::take_file_identity(*identity) == 0 ? openArchive(path, expectedBytes, error) : Descriptor();
  });
}

// The private copy below the destination; its name is unlinked again
// whatever becomes of the call.
class PrivateCopy {
 public:
  PrivateCopy(int destination, Descriptor file) : destination_(destination), file_(std::move(file)) {}
  PrivateCopy(const PrivateCopy &) = delete;
  PrivateCopy &operator=(const PrivateCopy &) = delete;
  ~PrivateCopy() {
    file_.reset();
    unlinkat(destination_, kPrivateCopy, 0);
  }
  int get() const { return file_.get(); }

 private:
  int destination_;
  Descriptor file_;
};

// Copies exactly `expectedBytes` of the archive into the copy in one pass,
// hashing what it copies; the digest, or nothing when the archive ended
// early, grew, or a read or write failed.
std::optional<std::string> copyHashing(int archive, int copy, std::uint64_t expectedBytes) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  std::uint64_t count = 0;
  while (count < expectedBytes) {
    ssize_t n = read(archive, buffer.get(), kChunk);
    if (n < 1) return std::nullopt;
    std::span<const std::uint8_t> chunk(buffer.get(), static_cast<std::size_t>(n));
    count += chunk.size();
    if (EVP_DigestUpdate(context.get(), chunk.data(), chunk.size()) != 1 ||
        platform::write_all(copy, chunk) != 0 || count > expectedBytes)
      return std::nullopt;
  }
  std::array<std::uint8_t, 32> digest{};
  unsigned length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size())
    return std::nullopt;
  return hexDigest(digest);
}

bool sameDigest(std::string_view a, std::string_view b) {
  return a.size() == kDigestLength && b.size() == kDigestLength &&
         strncasecmp(a.data(), b.data(), kDigestLength) == 0;
}

// Fills the copy from the archive and proves it: the expected size, flushed,
// the expected digest, and read back from its start.
bool authenticate(Descriptor archive, int copy, std::string_view expectedSha256, std::uint64_t expectedBytes) {
  auto digest = copyHashing(archive.get(), copy, expectedBytes);
  archive.reset();
  return digest && fsync(copy) == 0 && sameDigest(*digest, expectedSha256) && lseek(copy, 0, SEEK_SET) == 0;
}

// tar reads the proven copy on its standard input and extracts it below the
// destination without the archive's top directory, owners or exact modes.
// It can change nothing outside the destination: GNU tar writes a member
// whose name is absolute once its top directory is stripped ("top//etc/x")
// at that absolute path.
bool extract(int copy, std::string_view destination, ErrorOut error) {
  Descriptor input(fcntl(copy, F_DUPFD_CLOEXEC, 0));
  if (!input) return false;
  Task task{.executable = std::string(platform::paths::kTar),
            .arguments = {"-xzf", "-", "--strip-components", "1", "--no-same-owner", "--no-same-permissions", "-C",
                          std::string(destination)},
            .environment = {{"PATH", kTaskSearchPath}},
            .standard_input = input.get(),
            .writable_directory = std::string(destination)};
  return runBoundedTask(task, std::nullopt, error, kTarSeconds);
}

// A record is a regular file that root owns and only root may write.
bool trustedRecord(int record) {
  struct stat st {};
  return fstat(record, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 022) == 0;
}

// Its first 64 bytes are the digest, in either case.
bool recordMatches(int record, std::string_view digest) {
  std::array<char, kDigestLength + 1> text{};
  return read(record, text.data(), kDigestLength) == static_cast<ssize_t>(kDigestLength) &&
         sameDigest({text.data(), kDigestLength}, digest);
}

bool writeRecord(int directory, const std::string &name, std::string_view digest) {
  std::string uuid = freshUuid();
  std::ranges::transform(uuid, uuid.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t *>(digest.data()), kDigestLength);
  return replaceFileAt(directory, name, name + ".tmp-" + uuid, text);
}

}  // namespace

bool extractAuthenticatedArchive(std::string_view archivePath, std::string_view user, std::string_view expectedSha256,
                                 std::uint64_t expectedBytes, std::string_view destination, ErrorOut error) {
  if (!isHexDigest(expectedSha256) || expectedBytes < 1 || expectedBytes > kMaxArchiveBytes) return false;
  Descriptor archive = openArchiveAsUser(archivePath, user, expectedBytes, error);
  if (!archive) return false;
  Descriptor directory = openAbsoluteDirectoryNoFollow(destination, error);
  if (!directory) return false;
  Descriptor created(openat(directory.get(), kPrivateCopy, kCopyFlags, 0600));
  if (!created) return false;
  PrivateCopy copy(directory.get(), std::move(created));
  if (!authenticate(std::move(archive), copy.get(), expectedSha256, expectedBytes)) {
    setError(error, archiveMismatch());
    return false;
  }
  return extract(copy.get(), destination, error);
}

bool validateOrRecordArchiveIdentity(std::string_view version, std::string_view archiveSha256, bool repair,
                                     bool recordingAllowed, ErrorOut error) {
  if (!isHexDigest(archiveSha256)) return false;
  if (!ensureRootDirectory(VelaArchiveIdentityBase, 0700, error)) return false;
  Descriptor directory = openAbsoluteDirectoryNoFollow(VelaArchiveIdentityBase, error);
  if (!directory) return false;
  std::string name = std::string(version) + ".sha256";
  if (!safeRelativePath(name) || name.contains('/')) return false;
  Descriptor record(openat(directory.get(), name.c_str(), kReadFlags));
  bool absent = !record && errno == ENOENT;
  if (record && trustedRecord(record.get())) {
    if (recordMatches(record.get(), archiveSha256)) return true;
    setError(error, boundToAnotherArchive());
    return false;
  }
  // Only a missing record is written; anything else in its place stays.
  if (absent && !repair && recordingAllowed) return writeRecord(directory.get(), name, archiveSha256);
  setError(error, repair || absent ? noArchiveIdentity() : boundToAnotherArchive());
  return false;
}

std::string hexDigest(std::span<const std::uint8_t, 32> digest) {
  std::string text;
  appendHex(text, digest);
  return text;
}

}  // namespace vela::helper
