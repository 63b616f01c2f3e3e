#include "trust.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "files.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr std::uint64_t kMaxTrustState = 2'097'152;
constexpr const char *kUnsafe = "Root broker trust state is unsafe; refusing to reset it.";
constexpr const char *kCorrupt = "Root broker trust state is corrupt; refusing to reset it.";

enum class Entry { absent, unsafe, safe };

// Only a regular file of root's that no group or other user may even read is
// safe; a link is not followed.
Entry stateEntry(int directory) {
  struct stat st {};
  if (fstatat(directory, std::string(VelaTrustStateName).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Entry::absent : Entry::unsafe;
  bool safe = S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0;
  return safe ? Entry::safe : Entry::unsafe;
}

bool soundShape(const Json &state) {
  if (!state.is_object()) return false;
  auto schema = state.find("schemaVersion");
  auto channels = state.find("channels");
  return schema != state.end() && schema->is_number() && *schema == 3 && channels != state.end() &&
         channels->is_object();
}

}  // namespace

Json defaultTrustState() { return {{"schemaVersion", 3}, {"channels", Json::object()}, {"current", nullptr}}; }

std::optional<Json> readRootTrust(ErrorOut error) {
  if (!ensureRootDirectory(VelaV3State, 0700, error)) return std::nullopt;
  Descriptor directory = openAbsoluteDirectoryNoFollow(VelaV3State, error);
  if (!directory) return std::nullopt;
  switch (stateEntry(directory.get())) {
    case Entry::absent: return defaultTrustState();
    case Entry::unsafe: activationFailure(error, kUnsafe); return std::nullopt;
    case Entry::safe: break;
  }
  auto bytes = readRelativeFileNoFollow(directory.get(), VelaTrustStateName, kMaxTrustState, error);
  directory.reset();
  std::optional<Json> state;
  if (bytes) state = parseJson(*bytes, error);
  if (!state || !soundShape(*state) || vela_core_validate_trust(bytes->data(), bytes->size()) != 0) {
    activationFailure(error, kCorrupt);
    return std::nullopt;
  }
  return state;
}

}  // namespace vela::helper
