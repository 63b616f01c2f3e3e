#include "ffi.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "custody.hpp"
#include "inventory.hpp"
#include "json.hpp"
#include "rapidjson.hpp"
#include "release.hpp"
#include "runtime.hpp"
#include "utf8.hpp"
#include "vela_core.h"

namespace vela::ffi {

namespace {

constexpr json::Field credential_fields[] = {
    json::field<&Credentials::activationKey>("activationKey"),
    json::field<&Credentials::launchSecret>("launchSecret"),
};
constexpr json::Record<Credentials> credentials_record{credential_fields, json::Extra::refuse};

// The supervisor slot: the one supervised broker, if any. Created on first
// use; at process exit its broker is stopped with it.
using Slot = std::optional<runtime::BrokerProcess>;
Locked<Slot> &broker() {
  static Locked<Slot> slot;
  return slot;
}

// Whether the record's child still runs; a failed exit query counts as an
// exit.
bool running(runtime::BrokerProcess &process) {
  auto state = process.child.exited();
  return state && !*state;
}

// Empties the slot and stops the broker with every process of its account;
// the record's child is stopped again when the record is dropped (a second
// attempt when the first failed).
Result<> stop_held(Slot &slot) {
  Slot held = std::exchange(slot, std::nullopt);
  if (!held) return {};
  return held->stop();
}

// BrokerStatus: compact, keys in byte order.
std::string status_text(const runtime::BrokerProcess &process) {
  rapidjson::StringBuffer buffer(nullptr, 128);
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("generation");
  w.String(process.generation.data(), static_cast<rapidjson::SizeType>(process.generation.size()));
  w.Key("pid");
  w.Uint(process.child.pid());
  w.Key("ready");
  w.Bool(true);
  w.EndObject();
  return {buffer.GetString(), buffer.GetSize()};
}

Result<> start(Slot &slot, const char *root, const char *stateDir, uint32_t brokerUid, uint32_t brokerGid,
               uint32_t agentGid, uint32_t controlGid, const char *generation, const uint8_t *credentials,
               size_t credentialsLength) {
  auto wanted = string(generation);
  if (!wanted) return fail(wanted.error());
  if (slot && slot->generation == *wanted && running(*slot)) return {};
  // Whatever this start finds wrong below, the earlier broker is gone.
  if (auto stopped = stop_held(slot); !stopped) return stopped;
  auto activation = ffi::credentials(credentials, credentialsLength);
  if (!activation) return fail(activation.error());
  auto runtime_root = string(root);
  if (!runtime_root) return fail(runtime_root.error());
  auto state_dir = string(stateDir);
  if (!state_dir) return fail(state_dir.error());
  auto process = runtime::start(*runtime_root, *state_dir, brokerUid, brokerGid, agentGid, controlGid, *wanted,
                                activation->activationKey.view(), activation->launchSecret.view(), runtime::kWaits);
  if (!process) return fail(process.error());
  slot.emplace(std::move(*process));
  return {};
}

Result<> status(Slot &slot, char *output, size_t outputCapacity) {
  if (!slot) return fail(Error::other("no supervised broker"));
  if (!running(*slot)) return fail(Error::other("supervised broker stopped"));
  return ffi::output(output, outputCapacity, status_text(*slot));
}

}  // namespace

Result<std::span<const std::uint8_t>> bytes(const std::uint8_t *data, std::size_t length, std::size_t max) {
  if (data == nullptr || length > max) return fail(Error::other("invalid native input bounds"));
  return std::span<const std::uint8_t>(data, length);
}

Result<std::string_view> string(const char *text) {
  if (text == nullptr) return fail(Error::other("missing native argument"));
  std::string_view view(text);
  if (!utf8::valid(view)) return fail(Error::other("invalid native argument"));
  return view;
}

Result<> output(char *buffer, std::size_t capacity, std::string_view text) {
  if (buffer == nullptr || capacity == 0 || text.size() > capacity - 1)
    return fail(Error::other("native output exceeds bounds"));
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return {};
}

Result<Credentials> credentials(const std::uint8_t *data, std::size_t length) {
  auto input = bytes(data, length, kMaxCredentials);
  if (!input) return fail(input.error());
  secret::Bytes copy(input->begin(), input->end());
  auto record = json::read(copy, credentials_record);
  if (!record) return fail(Error::other("invalid native activation"));
  return std::move(*record);
}

}  // namespace vela::ffi

// The bodies of the custody exports; arguments are read in the order the
// exports take them, the inventory before any root.
namespace vela::custody_exports {
namespace {

Result<inventory::Inventory> parsed_inventory(const uint8_t *document, size_t length, const char *version) {
  auto bytes = ffi::bytes(document, length, ffi::kMaxInventory);
  if (!bytes) return fail(bytes.error());
  auto expected = ffi::string(version);
  if (!expected) return fail(expected.error());
  return inventory::Inventory::parse(*bytes, *expected);
}

Result<custody::Directory> opened_root(const char *path) {
  auto text = ffi::string(path);
  if (!text) return fail(text.error());
  return custody::Directory::open_root(*text);
}

Result<> verify(const char *root, const uint8_t *document, size_t length, const char *version, bool foreground) {
  auto parsed = parsed_inventory(document, length, version);
  if (!parsed) return fail(parsed.error());
  if (foreground)
    if (auto closure = parsed->require_foreground(); !closure) return fail(closure.error());
  auto tree = opened_root(root);
  if (!tree) return fail(tree.error());
  return tree->verify_inventory(*parsed);
}

using Copy = Result<> (custody::Directory::*)(const custody::Directory &, const inventory::Inventory &) const;

// The destination root is closed before the source root.
Result<> copy(const char *source_root, const char *destination_root, const uint8_t *document, size_t length,
              const char *version, Copy operation) {
  auto parsed = parsed_inventory(document, length, version);
  if (!parsed) return fail(parsed.error());
  auto source = opened_root(source_root);
  if (!source) return fail(source.error());
  auto destination = opened_root(destination_root);
  if (!destination) return fail(destination.error());
  return ((*source).*operation)(*destination, *parsed);
}

}  // namespace
}  // namespace vela::custody_exports

using namespace vela;

extern "C" {

int vela_core_verify_release(const uint8_t *envelope, size_t envelopeLength, const uint8_t *state,
                             size_t stateLength, char *output, size_t outputCapacity) {
  return ffi::guard([&]() -> Result<> {
    auto state_bytes = ffi::bytes(state, stateLength, ffi::kMaxState);
    if (!state_bytes) return fail(state_bytes.error());
    auto trust = release::read_state(*state_bytes);
    if (!trust) return fail(Error::other("invalid root state"));
    auto now = release::epoch_ms(std::chrono::system_clock::now());
    if (!now) return fail(now.error());
    auto envelope_bytes = ffi::bytes(envelope, envelopeLength, ffi::kMaxEnvelope);
    if (!envelope_bytes) return fail(envelope_bytes.error());
    auto accepted = release::verify(*envelope_bytes, *trust, "arm64", *now);
    if (!accepted) return fail(accepted.error());
    auto text = release::write(*accepted);
    if (!text) return fail(text.error());
    return ffi::output(output, outputCapacity, *text);
  });
}

int vela_core_validate_trust(const uint8_t *state, size_t stateLength) {
  return ffi::guard([&]() -> Result<> {
    auto input = ffi::bytes(state, stateLength, ffi::kMaxState);
    if (!input) return fail(input.error());
    auto trust = release::read_state(*input);
    if (!trust) return fail(Error::invalid_data("invalid root trust state"));
    return release::validate_state(*trust);
  });
}

int vela_core_verify_inventory(const char *root, const uint8_t *inventory, size_t inventoryLength,
                               const char *version) {
  return ffi::guard([&] { return custody_exports::verify(root, inventory, inventoryLength, version, false); });
}

int vela_core_verify_foreground(const char *root, const uint8_t *inventory, size_t inventoryLength,
                                const char *version) {
  return ffi::guard([&] { return custody_exports::verify(root, inventory, inventoryLength, version, true); });
}

int vela_core_copy_inventory(const char *sourceRoot, const char *destinationRoot, const uint8_t *inventory,
                             size_t inventoryLength, const char *version) {
  return ffi::guard([&] {
    return custody_exports::copy(sourceRoot, destinationRoot, inventory, inventoryLength, version,
                                 &custody::Directory::copy_inventory);
  });
}

int vela_core_copy_foreground(const char *sourceRoot, const char *destinationRoot, const uint8_t *inventory,
                              size_t inventoryLength, const char *version) {
  return ffi::guard([&] {
    return custody_exports::copy(sourceRoot, destinationRoot, inventory, inventoryLength, version,
                                 &custody::Directory::copy_foreground);
  });
}

int vela_core_read_foreground_asset(const char *root, const uint8_t *inventory, size_t inventoryLength,
                                    const char *version, const char *assetPath, uint8_t *output,
                                    size_t outputCapacity, size_t *outputLength, char *digest,
                                    size_t digestCapacity) {
  return ffi::guard([&]() -> Result<> {
    auto name = ffi::string(assetPath);
    if (!name) return fail(name.error());
    if (!inventory::foreground_mime(*name) || output == nullptr || outputLength == nullptr)
      return fail(Error::other("invalid foreground asset request"));
    auto parsed = custody_exports::parsed_inventory(inventory, inventoryLength, version);
    if (!parsed) return fail(parsed.error());
    auto tree = custody_exports::opened_root(root);
    if (!tree) return fail(tree.error());
    auto asset = tree->read_foreground_asset(*parsed, *name);
    if (!asset) return fail(asset.error());
    if (asset->bytes.size() > outputCapacity) return fail(Error::other("foreground asset exceeds output bound"));
    if (auto written = ffi::output(digest, digestCapacity, asset->digest); !written) return fail(written.error());
    std::copy(asset->bytes.begin(), asset->bytes.end(), output);
    *outputLength = asset->bytes.size();
    return {};
  });
}

int vela_core_start(const char *root, const char *stateDir, uint32_t brokerUid, uint32_t brokerGid, uint32_t agentGid,
                    uint32_t controlGid, const char *generation, const uint8_t *credentials,
                    size_t credentialsLength) {
  return ffi::guard([&] {
    return ffi::broker().use([&](ffi::Slot &slot) {
      return ffi::start(slot, root, stateDir, brokerUid, brokerGid, agentGid, controlGid, generation, credentials,
                        credentialsLength);
    });
  });
}

int vela_core_status(char *output, size_t outputCapacity) {
  return ffi::guard(
      [&] { return ffi::broker().use([&](ffi::Slot &slot) { return ffi::status(slot, output, outputCapacity); }); });
}

int vela_core_stop(void) {
  return ffi::guard([] { return ffi::broker().use(ffi::stop_held); });
}

int vela_core_seal(const char *root, const char *stateDir, uint32_t brokerUid, uint32_t brokerGid,
                   const uint8_t *credentials, size_t credentialsLength, const uint8_t *vaultKey,
                   size_t vaultKeyLength) {
  return ffi::guard([&]() -> Result<> {
    auto activation = ffi::credentials(credentials, credentialsLength);
    if (!activation) return fail(activation.error());
    auto material = ffi::bytes(vaultKey, vaultKeyLength, ffi::kMaxVaultKey);
    if (!material) return fail(material.error());
    const std::string_view text(reinterpret_cast<const char *>(material->data()), material->size());
    if (!utf8::valid(text)) return fail(Error::other("invalid vault material"));
    const secret::Text vault(text);
    auto runtime_root = ffi::string(root);
    if (!runtime_root) return fail(runtime_root.error());
    auto state_dir = ffi::string(stateDir);
    if (!state_dir) return fail(state_dir.error());
    return runtime::seal(*runtime_root, *state_dir, brokerUid, brokerGid, activation->activationKey.view(),
                         vault.view(), runtime::kWaits);
  });
}

}  // extern "C"
