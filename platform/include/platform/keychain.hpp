// The System keychain: generic-password items, each one value kept under a
// unique (service, account) with the descriptor of its access beside it.
// Calls answer with the platform's status codes.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

struct sqlite3;

namespace vela::platform::keychain {

using Status = std::int32_t;

inline constexpr Status kSuccess = 0;
inline constexpr Status kParam = -50;             // an argument is missing or invalid
inline constexpr Status kIo = -36;                // the store could not be read or written
inline constexpr Status kNotAvailable = -25291;   // the store cannot be opened or is unsafe
inline constexpr Status kAuthFailed = -25293;     // the caller is not root
inline constexpr Status kDuplicateItem = -25299;  // an item with this service and account exists
inline constexpr Status kItemNotFound = -25300;
inline constexpr Status kDecode = -26275;  // the stored value is not bytes

struct GenericPassword {
  std::string_view service;
  std::string_view account;
  std::string_view access;  // descriptor of the item's access
  std::span<const std::uint8_t> value;
};

class Keychain {
 public:
  // Opens the System keychain; only root may. Creates it on first use.
  static std::expected<Keychain, Status> system();

  // Adds an item; an existing item of the same service and account is left
  // as it is. Committed durably before it returns success.
  Status add(const GenericPassword &item);

  // Hands the stored value of one item to `receive`, straight from the
  // store's own buffer, which is valid only during the call.
  Status copy(std::string_view service, std::string_view account,
              const std::function<void(std::span<const std::uint8_t>)> &receive);

 private:
  struct Close {
    void operator()(sqlite3 *db) const;
  };
  explicit Keychain(sqlite3 *db) : db_(db) {}
  std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace vela::platform::keychain
