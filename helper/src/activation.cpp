#include "activation.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "credentials.hpp"
#include "files.hpp"
#include "identity.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr std::string_view kInventoryName = ".custody-inventory.json";
constexpr std::uint64_t kMaximumInventory = 33'554'432;

// The broker's endpoint directories, in the order they are prepared; its
// sockets lie in the first.
struct Endpoint {
  std::string_view parent;
  const char *name;
  mode_t mode;
};
constexpr Endpoint kEndpoints[] = {{"/private/var/run", "vela-broker", 0711}, {"/private/var/db", "vela-broker", 0750}};

// The version as the core is handed it: text without a NUL, which the C
// string would cut short.
const std::string *releaseVersion(const Json &release) {
  auto version = release.find("version");
  if (version == release.end() || !version->is_string() || version->get_ref<const std::string &>().contains('\0'))
    return nullptr;
  return &version->get_ref<const std::string &>();
}

// Verifies the tree at `root` against its own custody inventory. A root that
// cannot be opened reports only the open's error.
bool custodyVerified(const std::string &root, const std::string &version, ErrorOut error) {
  Descriptor directory = openAbsoluteDirectoryNoFollow(root, error);
  if (!directory) return false;
  auto inventory = readRelativeFileNoFollow(directory.get(), kInventoryName, kMaximumInventory, nullptr);
  directory.reset();
  if (!inventory ||
      vela_core_verify_inventory(root.c_str(), inventory->data(), inventory->size(), version.c_str()) != 0)
    return activationFailure(error, "Accepted broker custody failed integrity verification.");
  return true;
}

// Gives a directory to the broker account: only one that root or the broker
// owns and that no one else may write to.
bool handOver(int directory, std::uint32_t brokerUid, std::uint32_t brokerGid, mode_t mode) {
  struct stat st {};
  return fstat(directory, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid == 0 || st.st_uid == brokerUid) &&
         (st.st_mode & 022) == 0 && fchown(directory, brokerUid, brokerGid) == 0 && fchmod(directory, mode) == 0;
}

bool ensureEndpoint(const Endpoint &endpoint, std::uint32_t brokerUid, std::uint32_t brokerGid, ErrorOut error) {
  if (!ensureRootDirectory(endpoint.parent, 0755, error)) return false;
  Descriptor parent = openAbsoluteDirectoryNoFollow(endpoint.parent, error);
  if (!parent) return false;
  if (mkdirat(parent.get(), endpoint.name, 0700) != 0 && errno != EEXIST) return false;
  Descriptor directory(openat(parent.get(), endpoint.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  parent.reset();
  if (!directory) return false;
  if (!handOver(directory.get(), brokerUid, brokerGid, endpoint.mode))
    return activationFailure(error, "Broker endpoint custody is unsafe.");
  return true;
}

bool launchBroker(const std::string &root, const std::string &generation, const secret::Bytes &credentials,
                  ErrorOut error) {
  std::uint32_t brokerUid = 0, brokerGid = 0, agentGid = 0, controlGid = 0;
  if (!serviceIdentity(brokerUid, brokerGid, agentGid, controlGid) ||
      !ensureServiceEndpoints(brokerUid, brokerGid, error))
    return false;
  const std::string state = root + "/.activation";
  return vela_core_start(root.c_str(), state.c_str(), brokerUid, brokerGid, agentGid, controlGid, generation.c_str(),
                         credentials.data(), credentials.size()) == 0;
}

}  // namespace

bool isHexDigest(std::string_view text) {
  constexpr std::string_view kDigits = "0123456789abcdefABCDEF";
  return text.size() == 64 && std::ranges::all_of(text, [&](char c) { return kDigits.contains(c); });
}

std::optional<std::string> generationRoot(const Json &release) {
  auto digest = release.find("archiveSha256");
  if (digest == release.end() || !digest->is_string() || !isHexDigest(digest->get_ref<const std::string &>()))
    return std::nullopt;
  std::string lower = digest->get<std::string>();
  std::ranges::transform(lower, lower.begin(), [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; });
  return std::string(VelaV3Versions) + "/" + lower;
}

bool ensureServiceEndpoints(std::uint32_t brokerUid, std::uint32_t brokerGid, ErrorOut error) {
  return std::ranges::all_of(kEndpoints, [&](const Endpoint &endpoint) {
    return ensureEndpoint(endpoint, brokerUid, brokerGid, error);
  });
}

bool startAcceptedRelease(const Json &release, ErrorOut error) {
  if (!release.is_object()) return activationFailure(error, "No accepted protected broker generation exists.");
  auto root = generationRoot(release);
  const std::string *version = releaseVersion(release);
  if (!root || version == nullptr) return activationFailure(error, "Accepted broker identity is invalid.");
  if (!custodyVerified(*root, *version, error)) return false;
  const auto &generation = release["archiveSha256"].get_ref<const std::string &>();
  auto credentials = VelaReadServiceCredentials(generation, error);
  if (!credentials) return activationFailure(error, "Accepted broker has no service-only activation custody.");
  const bool started = launchBroker(*root, generation, *credentials, error);
  credentials.reset();  // the buffer is wiped as it is released, whatever the start gave
  if (!started) return activationFailure(error, "Protected broker failed generation-bound functional readiness.");
  return true;
}

}  // namespace vela::helper
