#include "foreground.hpp"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>

#include "activation.hpp"
#include "staging.hpp"
#include "trust.hpp"
#include "uuid.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr std::uint64_t kMaxInventory = 33'554'432;
constexpr std::size_t kStatusCapacity = 1024;
constexpr std::size_t kAssetCapacity = 16'777'216;
constexpr std::size_t kDigestCapacity = 65;
constexpr std::string_view kCustodyInventory = ".custody-inventory.json";

constexpr std::string_view kInvalidChannel = "Foreground channel must be opened exactly once.";
constexpr std::string_view kNoChannel = "Verified foreground channel is unavailable.";
constexpr std::string_view kStaleChannel =
    "Foreground channel is not current; static custody grants no command authority.";
constexpr std::string_view kInvalidBinding = "Native channel binding is unavailable.";
constexpr std::string_view kAssetRequired = "Canonical static asset required.";
constexpr std::string_view kAssetRefused = "Asset is unlisted, changed, unsafe or exceeds bounds.";
constexpr std::string_view kForegroundUnavailable =
    "Immutable foreground custody is unavailable; no client authority was granted.";

// The string member `key` of an object; null when there is none.
const std::string *stringAt(const Json &object, const char *key) {
  if (!object.is_object()) return nullptr;
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get_ptr<const std::string *>() : nullptr;
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// Compact JSON text; nothing when a string in it has no UTF-8 form.
std::optional<Data> jsonData(const Json &value) {
  try {
    std::string text = value.dump();
    return Data(text.begin(), text.end());
  } catch (const Json::type_error &) {
    return std::nullopt;
  }
}

std::optional<Data> readCustodyInventory(const std::string &generationRoot, ErrorOut error) {
  Descriptor directory = openAbsoluteDirectoryNoFollow(generationRoot, error);
  if (!directory) return std::nullopt;
  return readRelativeFileNoFollow(directory.get(), kCustodyInventory, kMaxInventory, error);
}

// The one copy of a generation's inventory that the open channels share; it
// goes with the last channel that holds it. Like every channel operation it
// runs on the transactions queue alone.
std::shared_ptr<const Data> sharedInventory(const std::string &generation, Data inventory) {
  static std::map<std::string, std::weak_ptr<const Data>> copies;
  std::erase_if(copies, [](const auto &entry) { return entry.second.expired(); });
  std::weak_ptr<const Data> &held = copies[generation];
  auto shared = held.lock();
  if (shared && *shared == inventory) return shared;
  shared = std::make_shared<const Data>(std::move(inventory));
  held = shared;
  return shared;
}

bool verifiesForeground(const std::string &root, std::span<const std::uint8_t> inventory, const std::string &version) {
  return vela_core_verify_foreground(root.c_str(), inventory.data(), inventory.size(), version.c_str()) == 0;
}

// True while a supervised broker is alive and reports exactly `generation`.
bool brokerRuns(std::string_view generation) {
  std::array<char, kStatusCapacity> text{};
  if (vela_core_status(text.data(), text.size()) != 0) return false;
  auto *bytes = reinterpret_cast<const std::uint8_t *>(text.data());
  auto status = parseJson({bytes, strnlen(text.data(), text.size())}, nullptr);
  const std::string *running = status ? stringAt(*status, "generation") : nullptr;
  return running != nullptr && *running == generation;
}

// 64 lower-case hexadecimal digits of 32 fresh random bytes.
std::string freshChannelGeneration() {
  std::array<std::uint8_t, 32> random{};
  randombytes_buf(random.data(), random.size());
  return hexDigest(random);
}

// Removes a prepared tree on every way out, an exception included, unless
// it was promoted.
class PreparedTree {
 public:
  explicit PreparedTree(std::string path) : path_(std::move(path)) {}
  PreparedTree(const PreparedTree &) = delete;
  PreparedTree &operator=(const PreparedTree &) = delete;
  ~PreparedTree() {
    if (promoted_) return;
    std::error_code ignored;
    try {
      std::filesystem::remove_all(path_, ignored);
    } catch (const std::bad_alloc &) {  // best effort: what stays is a leftover .prepared- tree
    }
  }
  const std::string &path() const { return path_; }
  void promoted() { promoted_ = true; }

 private:
  std::string path_;
  bool promoted_ = false;
};

// Puts the earlier tree back after the prepared one could not take its place.
bool promotionFailed(const std::string &root, const std::optional<std::string> &quarantine, ErrorOut error) {
  if (quarantine && rename(quarantine->c_str(), root.c_str()) != 0)
    return activationFailure(error, "Foreground promotion and restoration failed; quarantine checkpoint is preserved.");
  return activationFailure(error, "Foreground promotion failed; prior custody was preserved.");
}

bool flushForegroundBase(ErrorOut error) {
  Descriptor base = openAbsoluteDirectoryNoFollow(VelaForeground, error);
  return base && fsync(base.get()) == 0;
}

// Copies the tree into a fresh prepared directory and renames it into
// place, moving an existing tree aside first.
bool replaceForeground(std::string_view sourceRoot, std::span<const std::uint8_t> inventory, const std::string &root,
                       const std::string &version, bool exists, ErrorOut error) {
  std::string path = std::string(VelaForeground) + "/.prepared-" + freshUuid();
  if (mkdir(path.c_str(), 0700) != 0) return false;
  PreparedTree prepared(std::move(path));
  if (vela_core_copy_foreground(std::string(sourceRoot).c_str(), prepared.path().c_str(), inventory.data(),
                                inventory.size(), version.c_str()) != 0)
    return false;
  std::optional<std::string> quarantine;
  if (exists) {
    quarantine = root + ".quarantined-" + freshUuid();
    if (rename(root.c_str(), quarantine->c_str()) != 0) return false;
  }
  if (rename(prepared.path().c_str(), root.c_str()) != 0) return promotionFailed(root, quarantine, error);
  prepared.promoted();
  return flushForegroundBase(error);
}

// The trust state's current release; null when there is none or the state
// cannot be read.
Json currentRelease(ErrorOut error) {
  auto trust = readRootTrust(error);
  return trust && trust->is_object() ? trust->value("current", Json()) : Json();
}

// Adds the asset's bytes and digest to the reply; false when it cannot be read.
bool addAsset(Message &answer, const ForegroundContext &context, std::string_view assetPath) {
  if (assetPath.contains('\0')) return false;
  std::array<char, kDigestCapacity> digest{};
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kAssetCapacity]);
  std::size_t length = 0;
  if (!buffer ||
      vela_core_read_foreground_asset(context.root.c_str(), context.inventory->data(), context.inventory->size(),
                                      context.version.c_str(), std::string(assetPath).c_str(), buffer.get(),
                                      kAssetCapacity, &length, digest.data(), digest.size()) != 0)
    return false;
  answer.body.set_data("asset_bytes", {buffer.get(), length});
  buffer.reset();
  answer.body.set_string("asset_digest", digest.data());
  return true;
}

}  // namespace

std::optional<std::string> foregroundRoot(const Json &release) {
  const std::string *digest = stringAt(release, "archiveSha256");
  if (digest == nullptr || !isHexDigest(*digest)) return std::nullopt;
  return std::string(VelaForeground) + "/" + lowerCase(*digest);
}

std::optional<ForegroundContext> openForegroundContext(std::string_view claimed, ErrorOut error) {
  if (!isHexDigest(claimed)) return std::nullopt;
  std::string generation = lowerCase(claimed);
  const Json release = {{"archiveSha256", generation}};
  auto root = foregroundRoot(release);
  auto custody = generationRoot(release);
  if (!root || !custody) return std::nullopt;
  auto inventory = readCustodyInventory(*custody, error);
  if (!inventory) return std::nullopt;
  auto parsed = parseJson(*inventory, error);
  const std::string *version = parsed ? stringAt(*parsed, "version") : nullptr;
  if (version == nullptr || !verifiesForeground(*root, *inventory, *version)) return std::nullopt;
  auto shared = sharedInventory(generation, std::move(*inventory));
  return ForegroundContext{std::move(generation), *version, *root, std::move(shared), freshChannelGeneration()};
}

bool foregroundBindingIsCurrent(const ForegroundContext *context, ErrorOut error) {
  if (context == nullptr) return false;
  const Json current = currentRelease(error);
  const std::string *generation = stringAt(current, "archiveSha256");
  return generation != nullptr && *generation == context->generation &&
         verifiesForeground(context->root, *context->inventory, context->version) && brokerRuns(context->generation);
}

Json foregroundBinding(const ForegroundContext &context) {
  return {{"nativeGeneration", context.generation},
          {"uiGeneration", context.generation},
          {"channelGeneration", context.channelGeneration}};
}

std::optional<Data> foregroundStatus(ErrorOut error) {
  const Json current = currentRelease(error);
  auto custody = generationRoot(current);
  auto root = foregroundRoot(current);
  const std::string *version = stringAt(current, "version");
  if (!custody || !root || version == nullptr) return std::nullopt;
  const std::string &generation = current["archiveSha256"].get_ref<const std::string &>();
  if (!brokerRuns(generation)) return std::nullopt;
  auto inventory = readCustodyInventory(*custody, error);
  if (!inventory || !verifiesForeground(*root, *inventory, *version)) return std::nullopt;
  return jsonData({{"generation", generation}, {"version", *version}, {"root", *root}});
}

bool prepareForeground(std::string_view sourceRoot, std::span<const std::uint8_t> inventory, const Json &release,
                       bool repair, ErrorOut error) {
  auto root = foregroundRoot(release);
  const std::string *version = stringAt(release, "version");
  if (!root || version == nullptr) return false;
  if (!ensureRootDirectory(VelaForeground, 0755, error)) return false;
  struct stat st {};
  bool exists = lstat(root->c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && verifiesForeground(*root, inventory, *version)) return true;
  if (exists && !repair)
    return activationFailure(error, "Existing foreground custody is invalid; preserved for explicit repair.");
  return replaceForeground(sourceRoot, inventory, *root, *version, exists, error);
}

Reply foregroundChannelOperation(std::string_view operation, const Message &request, PeerState &state) {
  if (operation == "foreground_open") {
    auto claimed = request.body.get_string("foreground_generation");
    if (state.foregroundContext || !claimed) return reply(request, false, "invalid_channel", kInvalidChannel);
    state.foregroundContext = openForegroundContext(*claimed, nullptr);
  }
  if (!state.foregroundContext) return reply(request, false, "no_channel", kNoChannel);
  const ForegroundContext &context = *state.foregroundContext;
  if (operation == "foreground_current" && (state.foregroundStale || !foregroundBindingIsCurrent(&context, nullptr))) {
    state.foregroundStale = true;
    return reply(request, false, "stale_channel", kStaleChannel);
  }
  Reply answer = createReply(request);
  if (!answer) return answer;
  auto binding = jsonData(foregroundBinding(context));
  if (!binding) return reply(request, false, "invalid_binding", kInvalidBinding);
  answer->body.set_data("runtimeStatus", *binding);
  if (operation == "foreground_asset") {
    auto asset = request.body.get_string("foreground_asset");
    if (!asset) return reply(request, false, "invalid_asset", kAssetRequired);
    if (!addAsset(*answer, context, *asset)) return reply(request, false, "invalid_asset", kAssetRefused);
  }
  answer->body.set_bool("ok", true);
  return answer;
}

Reply foregroundStatusOperation(const Message &request) {
  auto status = foregroundStatus(nullptr);
  if (!status) return reply(request, false, "foreground_unavailable", kForegroundUnavailable);
  Reply answer = createReply(request);
  if (!answer) return answer;
  answer->body.set_bool("ok", true);
  answer->body.set_data("runtimeStatus", *status);
  return answer;
}

}  // namespace vela::helper
