#include "credentials.hpp"

#include <unistd.h>

#include <algorithm>

#include "platform/keychain.hpp"

using namespace vela::helper;
namespace keychain = vela::platform::keychain;

namespace {

constexpr std::string_view VelaCredentialService = "org.velabox.broker-helper.activation.v3";
constexpr std::string_view kAccessDescriptor = "Vela protected broker activation";
constexpr std::size_t kMaxCredentials = 4096;

bool validGeneration(std::string_view generation) {
  return generation.size() == 64 &&
         std::ranges::all_of(generation, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool validValue(std::span<const std::uint8_t> value) { return !value.empty() && value.size() <= kMaxCredentials; }

void credentialError(ErrorOut error, keychain::Status status) {
  setError(error, {"VelaBrokerCredentials", status,
                   "Service activation custody is unavailable; the helper will not start an unsealed runtime."});
}

std::optional<keychain::Keychain> systemKeychain(ErrorOut error) {
  if (geteuid() != 0) {
    credentialError(error, keychain::kAuthFailed);
    return std::nullopt;
  }
  auto opened = keychain::Keychain::system();
  if (!opened) {
    credentialError(error, opened.error());
    return std::nullopt;
  }
  return std::move(*opened);
}

}  // namespace

std::optional<vela::secret::Bytes> VelaReadServiceCredentials(std::string_view generation, ErrorOut error) {
  if (!validGeneration(generation)) {
    credentialError(error, keychain::kParam);
    return std::nullopt;
  }
  auto store = systemKeychain(error);
  if (!store) return std::nullopt;
  std::optional<vela::secret::Bytes> value;
  auto status = store->copy(VelaCredentialService, generation, [&](std::span<const std::uint8_t> stored) {
    if (validValue(stored)) value.emplace(stored.begin(), stored.end());
  });
  if (status == keychain::kItemNotFound) return std::nullopt;
  if (status == keychain::kSuccess && !value) status = keychain::kDecode;
  if (status != keychain::kSuccess) {
    credentialError(error, status);
    return std::nullopt;
  }
  return value;
}

bool VelaStoreServiceCredentials(std::string_view generation, std::span<const std::uint8_t> value, ErrorOut error) {
  if (!validGeneration(generation) || !validValue(value)) {
    credentialError(error, keychain::kParam);
    return false;
  }
  auto store = systemKeychain(error);
  if (!store) return false;
  auto status = store->add({VelaCredentialService, generation, kAccessDescriptor, value});
  store.reset();
  if (status == keychain::kDuplicateItem) {
    auto stored = VelaReadServiceCredentials(generation, nullptr);
    if (stored && std::ranges::equal(*stored, value)) return true;
  }
  if (status != keychain::kSuccess) {
    credentialError(error, status);
    return false;
  }
  return true;
}
