#include "inventory.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json.hpp"
#include "sha256.hpp"

namespace vela::inventory {
namespace {

struct Document {
  std::uint32_t schemaVersion = 0;
  std::string version;
  std::uint64_t totalBytes = 0;
  std::vector<Asset> assets;
};

constexpr json::Field asset_fields[] = {
    json::field<&Asset::path>("path"),
    json::field<&Asset::sourcePath>("sourcePath"),
    json::field<&Asset::sha256>("sha256"),
    json::field<&Asset::bytes>("bytes"),
    json::field<&Asset::executable>("executable"),
};
constexpr json::Record<Asset> asset_record{asset_fields, json::Extra::refuse};

constexpr json::Field document_fields[] = {
    json::field<&Document::schemaVersion>("schemaVersion"),
    json::field<&Document::version>("version"),
    json::field<&Document::totalBytes>("totalBytes"),
    json::field<&Document::assets>("assets", &asset_record),
};
constexpr json::Record<Document> document_record{document_fields, json::Extra::refuse};

// No asset takes fewer bytes in an inventory: ["a","a","<64 digits>",0,true]
// and a comma.
constexpr std::size_t kSmallestAsset = 84;

constexpr std::string_view kNode = "host/node/bin/node";

template <std::size_t N, std::size_t M>
constexpr std::array<std::string_view, N + M> joined(const std::array<std::string_view, N> &a,
                                                     const std::array<std::string_view, M> &b) {
  std::array<std::string_view, N + M> out{};
  std::ranges::copy(a, out.begin());
  std::ranges::copy(b, out.begin() + N);
  return out;
}

// The fixed files that every runtime must have.
constexpr std::array<std::string_view, 5> kFixedRequired = {
    kNode,
    "host/app/package.json",
    "host/app/scripts/seal-protected-runtime.mjs",
    "host/app/packaging/macos/install-vela-broker.sh",
    "production-inventory.json",
};

constexpr auto kFixedNames = joined(kFixedRequired, std::array<std::string_view, 1>{"foreground-runtime.json"});

constexpr std::string_view kAllowedPrefixes[] = {"host/node/", "host/app/", "host/agent-runtime/", "release/"};

constexpr std::string_view kAppModules = "host/app/node_modules/";
constexpr std::string_view kAgentModules = "host/agent-runtime/node_modules/";

constexpr auto kRequired = joined(kFixedRequired, std::array<std::string_view, 6>{
                                                      "host/app/protected/broker/index.js",
                                                      "host/app/protected/broker/handlers.js",
                                                      "host/app/protected/protected-payloads.js",
                                                      "host/app/protected/protection-manifest.json",
                                                      "host/app/protected/vault.bin",
                                                      "host/app/protected/native/macos-peer.node",
                                                  });

constexpr std::string_view kForegroundClosure[] = {
    "foreground-runtime.json",
    "host/app/protected/server/index.js",
    "host/app/protected/pty-service/index.js",
    "host/app/client/dist/index.html",
    "host/app/scripts/vela-protected-launcher.mjs",
    "host/app/scripts/vela-capability-proof-client.mjs",
    "host/app/public-capability-extensions/vela-capability-client.ts",
    "host/agent-runtime/package.json",
    "host/agent-runtime/node_modules/.bin/pi",
};

struct Mime {
  std::string_view extension, type;
};

constexpr Mime kMimeTypes[] = {
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"html", "text/html; charset=utf-8"},
    {"json", "application/json"},
    {"webmanifest", "application/json"},
    {"wasm", "application/wasm"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
};

constexpr std::size_t kMaxPath = 4096;
constexpr std::size_t kMaxAssetName = 1024;

// Sixteen bytes of a path, compared all at once; each byte of a comparison
// is 0 or 0xFF.
using Chunk = signed char __attribute__((vector_size(16)));
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

bool begins_with_any(std::string_view path, std::span<const std::string_view> prefixes) {
  return std::ranges::any_of(prefixes, [&](std::string_view p) { return path.starts_with(p); });
}

bool inside_closure(std::string_view path) {
  return std::ranges::find(kFixedNames, path) != kFixedNames.end() || begins_with_any(path, kAllowedPrefixes);
}

// The dependency closure a path lies in, or empty.
std::string_view dependency_closure(std::string_view path) {
  if (path.starts_with(kAppModules)) return kAppModules;
  if (path.starts_with(kAgentModules)) return kAgentModules;
  return {};
}

// The listed paths, borrowed from the assets: an open-addressing hash table
// sized for all of them, filled in document order. The hashes are taken
// first, so the slot of an asset further on is fetched ahead of its turn.
class PathSet {
 public:
  explicit PathSet(const std::vector<Asset> &assets)
      : assets_(assets), hashes_(assets.size()), slots_(std::bit_ceil(assets.size() * 2 + 2)) {
    for (std::size_t i = 0; i < assets.size(); ++i) hashes_[i] = hash(assets[i].path);
  }

  // Adds the path of the next asset; false when it is already in the set.
  bool add() {
    std::size_t i = added_++;
    if (i + kAhead < hashes_.size()) __builtin_prefetch(&slots_[hashes_[i + kAhead] & mask()]);
    std::size_t at = find(assets_[i].path, hashes_[i]);
    if (slots_[at].index != 0) return false;
    slots_[at] = {static_cast<std::uint32_t>(hashes_[i] >> 32), static_cast<std::uint32_t>(i + 1)};
    return true;
  }

  bool contains(std::string_view path) const { return slots_[find(path, hash(path))].index != 0; }

 private:
  static constexpr std::size_t kAhead = 16;

  struct Slot {
    std::uint32_t tag;    // the hash's upper half
    std::uint32_t index;  // 1 + the asset's index; 0: free
  };

  // Eight bytes at a time, multiplied and folded.
  static std::uint64_t hash(std::string_view path) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15u;
    std::uint64_t h = path.size() * k;
    std::size_t i = 0;
    for (std::uint64_t w; i + 8 <= path.size(); i += 8) {
      std::memcpy(&w, path.data() + i, 8);
      h = std::rotl((h ^ w) * k, 31);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, path.data() + i, path.size() - i);
    h = (h ^ tail) * k;
    return h ^ (h >> 29);
  }
  std::size_t mask() const { return slots_.size() - 1; }

  // The slot holding the path, or the free slot where it belongs.
  std::size_t find(std::string_view path, std::uint64_t h) const {
    auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
      const Slot &slot = slots_[i];
      if (slot.index == 0 || (slot.tag == tag && assets_[slot.index - 1].path == path)) return i;
    }
  }

  const std::vector<Asset> &assets_;
  std::vector<std::uint64_t> hashes_;
  std::vector<Slot> slots_;
  std::size_t added_ = 0;
};

// The running state of the walk over the assets, in document order.
class Walk {
 public:
  explicit Walk(const std::vector<Asset> &assets) : paths_(assets) {}

  Result<> add(const Asset &asset) {
    bool aliased = asset.sourcePath != asset.path;
    if (!safe_path(asset.path) || (aliased && !safe_path(asset.sourcePath)) || !paths_.add() ||
        !sha256::is_hex_digest(asset.sha256))
      return fail(Error::invalid_data("invalid or duplicate Mac custody asset"));
    if (!inside_closure(asset.path))
      return fail(Error::invalid_data("Mac custody destination is outside the fixed production closure"));
    auto closure = dependency_closure(asset.path);
    if (aliased && (closure.empty() || !asset.sourcePath.starts_with(closure)))
      return fail(Error::invalid_data("Mac dependency alias escapes the authenticated dependency closure"));
    if (__builtin_add_overflow(total_, asset.bytes, &total_))
      return fail(Error::invalid_data("Mac inventory size overflow"));
    if (!closure.empty()) ++dependencies_;
    if (total_ > Inventory::kByteBudget) return fail(Error::invalid_data("Mac inventory exceeds byte budget"));
    return {};
  }

  // No listed path stands where another listed path needs a directory.
  // Neighbours mostly share their directories, and a directory already found
  // unlisted with all its ancestors is not looked up again.
  Result<> parents_free(const std::vector<Asset> &assets) const {
    std::string_view clear;  // the previous path's directory, found unlisted
    for (const Asset &asset : assets) {
      std::string_view path = asset.path;
      bool below_clear = !clear.empty() && path.size() > clear.size() && path.starts_with(clear) &&
                         path[clear.size()] == '/';
      auto last = below_clear ? clear.size() : std::string_view::npos;  // the path's last "/"
      for (auto slash = path.find('/', below_clear ? clear.size() + 1 : 0); slash != std::string_view::npos;
           slash = path.find('/', slash + 1)) {
        if (paths_.contains(path.substr(0, slash)))
          return fail(Error::invalid_data("Mac custody asset collides with a parent directory"));
        last = slash;
      }
      clear = last == std::string_view::npos ? std::string_view{} : path.substr(0, last);
    }
    return {};
  }

  Result<> complete(std::uint64_t total_bytes) const {
    if (total_ != total_bytes || dependencies_ == 0 ||
        !std::ranges::all_of(kRequired, [&](std::string_view p) { return paths_.contains(p); }))
      return fail(Error::invalid_data("Mac inventory has missing required assets or inconsistent byte count"));
    return {};
  }

 private:
  PathSet paths_;
  std::uint64_t total_ = 0;
  std::uint64_t dependencies_ = 0;  // assets inside a dependency closure
};

}  // namespace

Result<Inventory> Inventory::parse(std::span<const std::uint8_t> document, std::string_view version) {
  if (document.size() > kMaxDocument) return fail(Error::invalid_data("Mac inventory exceeds encoded bounds"));
  // The assets' texts go to one buffer, which the inventory keeps.
  auto texts = std::make_shared_for_overwrite<char[]>(document.size());
  Document doc;
  doc.assets.reserve(std::min(document.size() / kSmallestAsset, kMaxAssets + 1));
  if (!json::read_into(document, document_record.layout, &doc, texts.get()))
    return fail(Error::invalid_data("invalid authenticated Mac inventory"));
  if (doc.schemaVersion != 3 || doc.version != version || doc.assets.empty() ||
      doc.assets.size() > kMaxAssets)
    return fail(Error::invalid_data("Mac inventory schema/version/count mismatch"));
  Walk walk(doc.assets);
  for (const Asset &asset : doc.assets)
    if (auto added = walk.add(asset); !added) return fail(added.error());
  if (auto parents = walk.parents_free(doc.assets); !parents) return fail(parents.error());
  if (auto complete = walk.complete(doc.totalBytes); !complete) return fail(complete.error());
  return Inventory(std::move(texts), std::move(doc.assets));
}

Result<> Inventory::require_foreground() const {
  std::array<bool, std::size(kForegroundClosure)> listed{};
  bool app_modules = false, agent_modules = false, node_executable = false;
  for (const Asset &asset : assets_) {
    for (std::size_t i = 0; i < listed.size(); ++i) listed[i] = listed[i] || asset.path == kForegroundClosure[i];
    app_modules = app_modules || asset.path.starts_with(kAppModules);
    agent_modules = agent_modules || asset.path.starts_with(kAgentModules);
    if (asset.path == kNode) node_executable = asset.executable;
  }
  if (!std::ranges::all_of(listed, std::identity{}) || !app_modules || !agent_modules || !node_executable)
    return fail(Error::invalid_data("signed inventory lacks immutable foreground closure"));
  return {};
}

bool safe_path(std::string_view path) {
  if (path.empty() || path.size() > kMaxPath || path.front() == '/') return false;
  auto allowed = [](std::string_view component) { return !component.empty() && component != "." && component != ".."; };
  std::size_t start = 0;  // of the current component
  // The byte at i is a NUL, a backslash or a "/": only a "/" that ends an
  // allowed component passes.
  auto passes = [&](std::size_t i) {
    if (path[i] != '/') return false;
    auto component = path.substr(start, i - start);
    start = i + 1;
    return allowed(component);
  };
  std::size_t i = 0;
  for (; path.size() - i >= 16; i += 16) {  // sixteen bytes at a time
    Chunk v;
    std::memcpy(&v, path.data() + i, sizeof v);
    Chunk hit = (v == '/') | (v == '\0') | (v == '\\');
    std::uint64_t half[2];
    std::memcpy(half, &hit, sizeof half);
    for (std::size_t h = 0; h < 2; ++h)
      for (std::uint64_t bits = half[h] & kHighBits; bits != 0; bits &= bits - 1)
        if (!passes(i + h * 8 + std::countr_zero(bits) / 8)) return false;
  }
  for (; i < path.size(); ++i)
    if ((path[i] == '/' || path[i] == '\0' || path[i] == '\\') && !passes(i)) return false;
  return allowed(path.substr(start));
}

std::optional<std::string_view> foreground_mime(std::string_view name) {
  if (!safe_path(name) || name.size() > kMaxAssetName) return std::nullopt;
  bool plain = std::ranges::all_of(name, [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
           c == '/' || c == '_';
  });
  if (!plain) return std::nullopt;
  auto dot = name.rfind('.');
  auto extension = dot == std::string_view::npos ? name : name.substr(dot + 1);
  if (extension == "html" && name != "index.html") return std::nullopt;
  auto mime = std::ranges::find(kMimeTypes, extension, &Mime::extension);
  if (mime == std::end(kMimeTypes)) return std::nullopt;
  return mime->type;
}

}  // namespace vela::inventory
