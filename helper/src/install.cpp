#include "install.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include <sodium/utils.h>

#include "accounts.hpp"
#include "activation.hpp"
#include "credentials.hpp"
#include "faults.hpp"
#include "files.hpp"
#include "foreground.hpp"
#include "identity.hpp"
#include "platform/paths.hpp"
#include "platform/secret.hpp"
#include "restore.hpp"
#include "serialization.hpp"
#include "staging.hpp"
#include "tasks.hpp"
#include "trust.hpp"
#include "uuid.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr std::size_t kMaxEnvelope = 2'097'152;
constexpr std::size_t kVaultMaterial = 44;
constexpr std::size_t kReleaseCapacity = 8'192;
constexpr std::uint64_t kMaxManifest = 2'097'152;
constexpr std::uint64_t kMaxInventory = 33'554'432;
constexpr std::size_t kRandomBytes = 64;
constexpr double kBootoutSeconds = 10;
constexpr std::string_view kCustodyInventory = ".custody-inventory.json";

// What a killed transaction leaves that no later one can own: its staging
// directories and its prepared trees, by where they lie and how their names
// begin.
struct Leftover {
  std::string_view directory, prefix;
};
constexpr Leftover kLeftovers[] = {{VelaStageBase, "source-"},
                                   {VelaStageBase, "install-v3-"},
                                   {VelaV3Versions, ".prepared-"},
                                   {VelaForeground, ".prepared-"}};

constexpr const char *kInvalidRequest = "The privileged install request is incomplete.";
constexpr const char *kReady = "Vela protected broker passed generation-bound functional readiness.";
constexpr const char *kFallback = "Vela broker installation failed.";
constexpr const char *kInvalidMaterial = "Native activation material is invalid.";
constexpr const char *kRejected =
    "The root helper rejected release signature, freshness, identity or rollback policy.";
constexpr const char *kBusy = "Another broker transaction is active.";
constexpr const char *kIncomplete = "Authenticated archive lacks the complete Mac runtime inventory.";
constexpr const char *kCopyFailed = "Authenticated dependency custody copy failed.";
constexpr const char *kCensusUnsafe =
    "Existing broker identity/census is unsafe; no customer membership was changed.";
constexpr const char *kSealFailed = "Service-bound vault sealing failed.";
constexpr const char *kNotRestored =
    "Activation failed and previous custody/readiness could not be restored; preserved checkpoints require repair.";

// One transaction's values, all dropped when it ends.
struct Transaction {
  std::string_view archivePath;
  std::span<const std::uint8_t> vaultMaterial;
  std::string userName;
  Json trust;                 // as read before anything changed
  std::string rollbackImage;  // its compact text, written back by a rollback
  Json accepted;
  std::string channel, version, archiveSha256;
  std::uint64_t archiveBytes = 0;
  bool repair = false;

  std::string source;
  std::string staging;  // the staging tree; from its move on, the prepared tree
  std::string generation;
  std::optional<std::string> quarantine;
  std::optional<Data> manifest, inventory;
  std::uint32_t brokerUid = 0, brokerGid = 0, agentGid = 0, controlGid = 0;
  secret::Bytes credentials;
  bool stopped = false;
  bool committed = false;
};

// Overwrites a buffer with zeros when it goes out of scope, however it goes.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::span<std::uint8_t> bytes) : bytes_(bytes) {}
  WipeOnExit(const WipeOnExit &) = delete;
  WipeOnExit &operator=(const WipeOnExit &) = delete;
  ~WipeOnExit() { sodium_memzero(bytes_.data(), bytes_.size()); }

 private:
  std::span<std::uint8_t> bytes_;
};

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

const Json *member(const Json &object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> stringMember(const Json &object, std::string_view key) {
  const Json *value = member(object, key);
  return value && value->is_string() ? std::optional(value->get<std::string>()) : std::nullopt;
}

bool isUtf8(const std::string &text) { return serializeJson(Json(text), nullptr).has_value(); }

std::string activationDirectory(const Transaction &t) { return t.staging + "/.activation"; }

// Removes a tree without following a link anywhere in it: the library opens
// the top and every directory below it with O_NOFOLLOW, each relative to its
// parent's descriptor, and unlinks relative to it. Errors are ignored; what
// stays is found again at the next start.
void removeTree(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// The names in a held directory that begin with `prefix`.
std::vector<std::string> namesStartingWith(int directory, std::string_view prefix) {
  std::vector<std::string> names;
  Descriptor copy(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  std::unique_ptr<DIR, int (*)(DIR *)> listing(copy ? fdopendir(copy.get()) : nullptr, closedir);
  if (!listing) return names;
  copy.release();
  rewinddir(listing.get());  // the copy shares the offset of earlier listings
  while (const dirent *entry = readdir(listing.get()))
    if (std::string_view(entry->d_name).starts_with(prefix)) names.emplace_back(entry->d_name);
  return names;
}

// ---- before the lock (steps 1-10) ----

// 5-6: the core's verdict on the envelope against the state read, as a
// dictionary.
std::optional<Json> verifyRelease(std::span<const std::uint8_t> envelope, const std::optional<std::string> &image,
                                  ErrorOut error) {
  std::array<char, kReleaseCapacity> output{};
  if (!image || vela_core_verify_release(envelope.data(), envelope.size(), bytesOf(*image).data(), image->size(),
                                         output.data(), output.size()) != 0) {
    activationFailure(error, kRejected);
    return std::nullopt;
  }
  auto release = parseJson(bytesOf({output.data(), strnlen(output.data(), output.size())}), error);
  if (!release || !release->is_object()) return std::nullopt;
  return release;
}

// 7: what the transaction reads from the accepted release.
bool readAcceptedRelease(Transaction &t) {
  auto channel = stringMember(t.accepted, "channel");
  auto version = stringMember(t.accepted, "version");
  auto digest = stringMember(t.accepted, "archiveSha256");
  const Json *size = member(t.accepted, "archiveBytes");
  if (!channel || !version || !digest || !size || !size->is_number_unsigned()) return false;
  t.channel = *channel;
  t.version = *version;
  t.archiveSha256 = *digest;
  t.archiveBytes = size->get<std::uint64_t>();
  return true;
}

// Steps 1-9: nothing is changed but the staging base made.
std::optional<Transaction> checkRequest(std::string_view operation, std::string_view archivePath,
                                        std::span<const std::uint8_t> envelope,
                                        std::span<const std::uint8_t> vaultMaterial, std::uint32_t peerEuid,
                                        ErrorOut error) {
  if (peerEuid == 0 || vaultMaterial.size() != kVaultMaterial) {
    activationFailure(error, kInvalidMaterial);
    return std::nullopt;
  }
  Transaction t;
  t.archivePath = archivePath;
  t.vaultMaterial = vaultMaterial;
  auto userName = userNameForUID(peerEuid);
  auto trust = userName ? readRootTrust(error) : std::nullopt;
  if (!trust) return std::nullopt;
  t.userName = *userName;
  t.trust = std::move(*trust);
  auto image = serializeJson(t.trust, error);
  auto accepted = verifyRelease(envelope, image, error);
  if (!accepted) return std::nullopt;
  t.rollbackImage = *image;
  t.accepted = std::move(*accepted);
  if (!readAcceptedRelease(t)) return std::nullopt;
  const Json *current = member(t.trust, "current");
  t.repair = operation == "repair" && current && current->is_object();
  if (!ensureRootDirectory(VelaStageBase, 0700, error)) return std::nullopt;
  return t;
}

// 10: the lock is taken at once or not at all.
Descriptor takeInstallLock(ErrorOut error) {
  Descriptor lock(open(std::string(VelaInstallLock).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    activationFailure(error, kBusy);
    return {};
  }
  return lock;
}

// ---- staged (steps 11-25) ----

// 11
bool nameTransactionPaths(Transaction &t) {
  auto root = generationRoot(t.accepted);
  if (!root) return false;
  t.source = std::string(VelaStageBase) + "/source-" + t.version + "-" + freshUuid();
  t.staging = std::string(VelaStageBase) + "/install-v3-" + freshUuid();
  t.generation = *root;
  return true;
}

// 12
bool makeSourceDirectory(const Transaction &t) {
  if (VELA_FAULT("install.step-12")) return false;
  return mkdir(t.source.c_str(), 0700) == 0;
}

// 13
bool extractArchive(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-13")) return false;
  return extractAuthenticatedArchive(t.archivePath, t.userName, t.archiveSha256, t.archiveBytes, t.source, error);
}

// 14: either file may be missing; the next step judges.
bool readRuntimeDescription(Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-14")) return false;
  Descriptor source = openAbsoluteDirectoryNoFollow(t.source, error);
  if (!source) return false;
  t.manifest = readRelativeFileNoFollow(source.get(), "runtime-manifest.json", kMaxManifest, error);
  t.inventory = readRelativeFileNoFollow(source.get(), "mac-broker-inventory.json", kMaxInventory, error);
  return true;
}

// 15: a manifest of this version for the Mac, and an inventory.
bool checkRuntimeDescription(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-15")) return false;
  std::optional<Json> manifest;
  if (t.manifest) manifest = parseJson(*t.manifest, error);
  bool complete = manifest && stringMember(*manifest, "velaVersion") == t.version &&
                  stringMember(*manifest, "platform") == "darwin" && t.inventory;
  return complete || activationFailure(error, kIncomplete);
}

// 16
bool bindArchiveIdentity(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-16")) return false;
  return validateOrRecordArchiveIdentity(t.version, t.archiveSha256, t.repair, !t.repair, error);
}

// 17
bool makeStagingTree(const Transaction &t) {
  if (VELA_FAULT("install.step-17")) return false;
  return mkdir(t.staging.c_str(), 0700) == 0;
}

// 18: the core copies and verifies every listed asset into custody.
bool copyCustody(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-18")) return false;
  int copied = vela_core_copy_inventory(t.source.c_str(), t.staging.c_str(), t.inventory->data(), t.inventory->size(),
                                        t.version.c_str());
  return copied == 0 || activationFailure(error, kCopyFailed);
}

// 19
bool prepareAccount(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-19")) return false;
  return prepareServiceAccount(t.staging, t.userName, error);
}

// 20: the script's work is not trusted; the identity is checked here.
bool checkServiceIdentity(Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-20")) return false;
  return serviceIdentity(t.brokerUid, t.brokerGid, t.agentGid, t.controlGid) || activationFailure(error, kCensusUnsafe);
}

// 21
bool addUserToAgentGroup(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-21")) return false;
  return addCustomerPublicMembership(t.userName, error);
}

// 22
bool placeForeground(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-22")) return false;
  return prepareForeground(t.source, *t.inventory, t.accepted, t.repair, error);
}

// Owner root, the broker's group and mode 0750, set through a descriptor so
// that no link is followed.
bool handToBrokerGroup(std::string_view directory, std::uint32_t brokerGid) {
  Descriptor held = openAbsoluteDirectoryNoFollow(directory, nullptr);
  return held && fchown(held.get(), 0, brokerGid) == 0 && fchmod(held.get(), 0750) == 0;
}

// 23: the broker account must traverse both directories to reach its
// generation root; a newly made VelaV3Versions would be 0700 under the umask.
bool prepareCustodyDirectories(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-23")) return false;
  static const std::string custodyBase = std::filesystem::path(VelaV3Versions).parent_path();
  return ensureRootDirectory(VelaV3Versions, 0750, error) && handToBrokerGroup(VelaV3Versions, t.brokerGid) &&
         handToBrokerGroup(custodyBase, t.brokerGid);
}

// 24: the inventory byte for byte as the archive held it.
bool storeCustodyInventory(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-24")) return false;
  return atomicRootData(t.staging, kCustodyInventory, *t.inventory, error);
}

// 25
bool handTreeToBroker(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-25")) return false;
  return makeServiceReadable(t.staging, t.brokerGid, error);
}

// ---- prepared (steps 26-29) ----

// 26: from here on the prepared tree is what the cleanup removes.
bool moveToPreparedTree(Transaction &t) {
  if (VELA_FAULT("install.step-26")) return false;
  std::string prepared = std::string(VelaV3Versions) + "/.prepared-" + freshUuid();
  if (rename(t.staging.c_str(), prepared.c_str()) != 0) return false;
  t.staging = std::move(prepared);
  return true;
}

// 27: the broker's state directory: a real directory of root's or the
// broker's that nobody else may enter, then the broker's.
bool makeActivationDirectory(const Transaction &t) {
  if (VELA_FAULT("install.step-27")) return false;
  std::string activation = activationDirectory(t);
  if (mkdir(activation.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(activation.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & 077) != 0 ||
      (st.st_uid != 0 && st.st_uid != t.brokerUid))
    return false;
  return lchown(activation.c_str(), t.brokerUid, t.brokerGid) == 0;
}

// {"activationKey","launchSecret"} of 64 random bytes, compact, written
// straight into a wiping buffer; the random bytes are zero on return.
std::optional<secret::Bytes> drawCredentials() {
  std::array<std::uint8_t, kRandomBytes> random;
  WipeOnExit wipe(random);
  if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) return std::nullopt;
  secret::Bytes document;
  auto text = [&](std::string_view part) { document.insert(document.end(), part.begin(), part.end()); };
  text(R"({"activationKey":")");
  appendHex(document, std::span(random).first(32));
  text(R"(","launchSecret":")");
  appendHex(document, std::span(random).last(32));
  text(R"("})");
  return document;
}

// 28.1-28.5: new credentials, stored once; zero again if they cannot be.
bool createCredentials(Transaction &t, ErrorOut error) {
  auto created = drawCredentials();
  if (!created) return false;
  t.credentials = std::move(*created);
  if (VelaStoreServiceCredentials(t.archiveSha256, t.credentials, error)) return true;
  sodium_memzero(t.credentials.data(), t.credentials.size());
  return false;
}

// 28: the generation's credentials from the keychain, or new ones when it
// holds none.
bool fetchCredentials(Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-28")) return false;
  std::optional<Error> readError;
  auto stored = VelaReadServiceCredentials(t.archiveSha256, &readError);
  if (stored) {
    t.credentials = std::move(*stored);
    return true;
  }
  if (!readError) return createCredentials(t, error);
  setError(error, *readError);
  return false;
}

// 29: the credentials are zero as soon as the seal has them, however it ends.
bool sealPreparedTree(Transaction &t, ErrorOut error) {
  WipeOnExit wipe(t.credentials);
  if (VELA_FAULT("install.step-29")) return false;
  int sealed = vela_core_seal(t.staging.c_str(), activationDirectory(t).c_str(), t.brokerUid, t.brokerGid,
                              t.credentials.data(), t.credentials.size(), t.vaultMaterial.data(),
                              t.vaultMaterial.size());
  return sealed == 0 || activationFailure(error, kSealFailed);
}

// ---- stopped, promoted, started, committed (steps 30-35) ----

// 30: arms the rollback first.
bool stopRunningBroker(Transaction &t) {
  t.stopped = true;
  return !VELA_FAULT("install.step-30") && vela_core_stop() == 0;
}

// 31: an existing tree of this generation, whatever it is, moves aside.
bool quarantineExistingTree(Transaction &t) {
  if (VELA_FAULT("install.step-31")) return false;
  struct stat st {};
  if (lstat(t.generation.c_str(), &st) != 0) return errno == ENOENT;
  std::string quarantine = t.generation + ".quarantined-" + freshUuid();
  if (rename(t.generation.c_str(), quarantine.c_str()) != 0) return false;
  t.quarantine = std::move(quarantine);
  return true;
}

// 32
bool promotePreparedTree(const Transaction &t) {
  if (VELA_FAULT("install.step-32")) return false;
  return rename(t.staging.c_str(), t.generation.c_str()) == 0;
}

// 33: removes a launchd job of the broker if one is loaded. Its outcome,
// like a failure injected here, changes nothing.
bool bootOutLaunchdJob() {
  (void)VELA_FAULT("install.step-33");
  Task task{.executable = std::string(platform::paths::kLaunchctl),
            .arguments = {"bootout", "system/com.vela.broker"},
            .environment = {{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}}};
  runBoundedTask(task, std::nullopt, nullptr, kBootoutSeconds);
  return true;
}

// 34
bool startNewGeneration(const Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-34")) return false;
  return startAcceptedRelease(t.accepted, error);
}

// 35: the accepted release becomes its channel's entry and the current one.
bool commitTrustState(Transaction &t, ErrorOut error) {
  if (VELA_FAULT("install.step-35")) return false;
  Json state = {{"schemaVersion", 3}, {"channels", *member(t.trust, "channels")}, {"current", t.accepted}};
  state["channels"][t.channel] = t.accepted;
  auto text = serializeJson(state, error);
  if (!text || !atomicRootData(VelaV3State, VelaTrustStateName, bytesOf(*text), error)) return false;
  VelaRestartFailures = 0;
  t.committed = true;
  return true;
}

// Steps 11-35, in order, up to the first that fails.
void runLockedSteps(Transaction &t, ErrorOut error) {
  (void)(nameTransactionPaths(t)                 // 11
         && makeSourceDirectory(t)               // 12
         && extractArchive(t, error)             // 13
         && readRuntimeDescription(t, error)     // 14
         && checkRuntimeDescription(t, error)    // 15
         && bindArchiveIdentity(t, error)        // 16
         && makeStagingTree(t)                   // 17
         && copyCustody(t, error)                // 18
         && prepareAccount(t, error)             // 19
         && checkServiceIdentity(t, error)       // 20
         && addUserToAgentGroup(t, error)        // 21
         && placeForeground(t, error)            // 22
         && prepareCustodyDirectories(t, error)  // 23
         && storeCustodyInventory(t, error)      // 24
         && handTreeToBroker(t, error)           // 25
         && moveToPreparedTree(t)                // 26
         && makeActivationDirectory(t)           // 27
         && fetchCredentials(t, error)           // 28
         && sealPreparedTree(t, error)           // 29
         && stopRunningBroker(t)                 // 30
         && quarantineExistingTree(t)            // 31
         && promotePreparedTree(t)               // 32
         && bootOutLaunchdJob()                  // 33
         && startNewGeneration(t, error)         // 34
         && commitTrustState(t, error));         // 35
}

// ---- the finally clause (steps 36-37) ----

// 36.2: the new tree of this generation, if it got there, aside as failed,
// and the earlier one back.
bool restoreEarlierTree(const Transaction &t) {
  if (!t.quarantine) return true;
  struct stat st {};
  if (lstat(t.generation.c_str(), &st) == 0) {
    std::string failed = t.generation + ".failed-" + freshUuid();
    if (rename(t.generation.c_str(), failed.c_str()) != 0) return false;
  }
  return rename(t.quarantine->c_str(), t.generation.c_str()) == 0;
}

// 36: once the broker was stopped and nothing committed, the earlier state
// and generation come back, every step attempted whatever the others gave.
void rollBack(const Transaction &t, ErrorOut error) {
  (void)VELA_FAULT("install.step-36");
  if (!t.stopped || t.committed) return;
  vela_core_stop();
  bool restored = restoreEarlierTree(t);
  restored = atomicRootData(VelaV3State, VelaTrustStateName, bytesOf(t.rollbackImage), nullptr) && restored;
  const Json *current = member(t.trust, "current");
  if (current && current->is_object()) restored = startAcceptedRelease(*current, nullptr) && restored;
  if (!restored) setError(error, {kActivationDomain, 2, kNotRestored});
}

// Whether the tree at `root` holds the generation's signed inventory as its
// own and every file that lists, as a start verifies them.
bool matchesSignedInventory(const std::string &root, const Data &inventory, const std::string &version) {
  Descriptor directory = openAbsoluteDirectoryNoFollow(root, nullptr);
  if (!directory) return false;
  auto stored = readRelativeFileNoFollow(directory.get(), kCustodyInventory, inventory.size(), nullptr);
  directory.reset();
  return stored == inventory &&
         vela_core_verify_inventory(root.c_str(), inventory.data(), inventory.size(), version.c_str()) == 0;
}

// Once committed, a tree moved aside that verifies is a copy of the promoted
// one and preserves nothing, so it goes; an invalid one stays for an
// explicit repair.
void dropSoundCheckpoint(const Transaction &t) {
  if (t.committed && t.quarantine && matchesSignedInventory(*t.quarantine, *t.inventory, t.version))
    removeTree(*t.quarantine);
}

// 37: after a promotion the prepared path is gone and nothing is removed
// there. The lock file stays.
void cleanUp(const Transaction &t, Descriptor &lock) {
  for (const std::string *path : {&t.source, &t.staging})
    if (!path->empty()) removeTree(*path);
  dropSoundCheckpoint(t);
  flock(lock.get(), LOCK_UN);
  lock.reset();
}

// ---- start-up recovery ----

// The newest directory among the quarantines of `name` in a held directory:
// the one moved aside last, as a rename sets the change time of what it
// moves.
std::optional<std::string> newestQuarantine(int directory, const std::string &name) {
  std::optional<std::string> newest;
  std::pair<time_t, long> newestChange{};
  for (std::string &candidate : namesStartingWith(directory, name + ".quarantined-")) {
    struct stat st {};
    if (fstatat(directory, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::pair changed(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    if (newest && changed <= newestChange) continue;
    newest = std::move(candidate);
    newestChange = changed;
  }
  return newest;
}

// A kill between moving the current generation's tree aside and promoting
// its replacement, or inside a rollback, leaves the generation without a
// tree: its newest quarantine takes the place again.
void restoreCurrentTree() {
  auto trust = readRootTrust(nullptr);
  const Json *current = trust ? member(*trust, "current") : nullptr;
  auto root = current && current->is_object() ? generationRoot(*current) : std::nullopt;
  Descriptor versions = root ? openAbsoluteDirectoryNoFollow(VelaV3Versions, nullptr) : Descriptor();
  if (!versions) return;
  const std::string name = std::filesystem::path(*root).filename();
  struct stat st {};
  if (fstatat(versions.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return;
  auto quarantine = newestQuarantine(versions.get(), name);
  if (quarantine && renameat(versions.get(), quarantine->c_str(), versions.get(), name.c_str()) == 0)
    fsync(versions.get());
}

void removeLeftovers(const Leftover &leftover) {
  Descriptor directory = openAbsoluteDirectoryNoFollow(leftover.directory, nullptr);
  if (!directory) return;
  for (const std::string &name : namesStartingWith(directory.get(), leftover.prefix))
    removeTree(std::string(leftover.directory) + "/" + name);
}

}  // namespace

Reply installRequest(std::string_view operation, const Message &request, const PeerState &state) {
  auto archivePath = request.body.get_string("archivePath");
  auto envelope = request.body.get_data("releaseEnvelope");
  auto vault = request.body.get_data("packageVaultKey");
  if (!archivePath || !envelope || envelope->empty() || envelope->size() > kMaxEnvelope || !vault ||
      vault->size() != kVaultMaterial)
    return reply(request, false, "invalid_request", kInvalidRequest);
  // The vault copy's buffer is zeroed when released, on every way out.
  secret::Bytes vaultCopy(vault->begin(), vault->end());
  const Data envelopeCopy(envelope->begin(), envelope->end());
  std::optional<Error> error;
  bool committed = performV3Install(operation, *archivePath, envelopeCopy, vaultCopy, state.peerEuid, &error);
  sodium_memzero(vaultCopy.data(), vaultCopy.size());
  if (committed) return reply(request, true, "runtime_ready", kReady);
  bool described = error && !error->message.empty();
  return reply(request, false, "install_failed", described ? std::string_view(error->message) : kFallback);
}

bool performV3Install(std::string_view operation, std::string_view archivePath,
                      std::span<const std::uint8_t> envelope, std::span<std::uint8_t> vaultMaterial,
                      std::uint32_t peerEuid, ErrorOut error) {
  auto t = checkRequest(operation, archivePath, envelope, vaultMaterial, peerEuid, error);  // 1-9
  if (!t) return false;
  Descriptor lock = takeInstallLock(error);  // 10
  if (!lock) return false;
  std::exception_ptr thrown;
  try {
    runLockedSteps(*t, error);  // 11-35
  } catch (...) {
    thrown = std::current_exception();
  }
  rollBack(*t, error);  // 36
  cleanUp(*t, lock);    // 37
  if (thrown) std::rethrow_exception(thrown);
  return t->committed;  // 38
}

std::optional<std::string> userNameForUID(std::uint32_t uid) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested < 1024 ? 16'384 : static_cast<std::size_t>(suggested));
  passwd entry{};
  passwd *found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_name == nullptr)
    return std::nullopt;
  std::string name = found->pw_name;
  if (!isUtf8(name)) return std::nullopt;
  return name;
}

void recoverInterruptedTransactions() {
  Descriptor lock = takeInstallLock(nullptr);  // released as it closes
  if (!lock) return;
  restoreCurrentTree();
  for (const Leftover &leftover : kLeftovers) removeLeftovers(leftover);
}

}  // namespace vela::helper
