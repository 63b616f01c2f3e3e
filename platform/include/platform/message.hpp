// The service's messages: dictionaries of typed values, as the designed-for
// IPC carries them. Unsigned and signed integers are different types, so a
// value read as the wrong type reads as absent (0 for an integer). Data
// values and whole frames (wire.hpp) are wiped as they are released, since
// an install request carries its vault material as data.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/secret.hpp"

namespace vela::platform::ipc {

class Dictionary;
using Data = std::vector<std::uint8_t, secret::WipingAllocator<std::uint8_t>>;
// A nested dictionary is held through a pointer, since a value of a
// dictionary's own type cannot sit inside it directly.
using Value = std::variant<bool, std::uint64_t, std::int64_t, std::string, Data, std::shared_ptr<const Dictionary>>;

// Keys in the order they were set; a key is set at most once.
class Dictionary {
 public:
  void set(std::string_view key, Value value) {
    for (auto &[name, held] : entries_)
      if (name == key) {
        held = std::move(value);
        return;
      }
    entries_.emplace_back(std::string(key), std::move(value));
  }
  void set_bool(std::string_view key, bool value) { set(key, value); }
  void set_string(std::string_view key, std::string_view value) { set(key, std::string(value)); }
  void set_data(std::string_view key, std::span<const std::uint8_t> value) { set(key, Data(value.begin(), value.end())); }

  const Value *find(std::string_view key) const {
    for (const auto &[name, held] : entries_)
      if (name == key) return &held;
    return nullptr;
  }
  // An unsigned integer; 0 when absent or of another type.
  std::uint64_t get_uint64(std::string_view key) const { return get<std::uint64_t>(key).value_or(0); }
  std::optional<std::string_view> get_string(std::string_view key) const {
    auto *value = find(key);
    auto *text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
  }
  std::optional<std::span<const std::uint8_t>> get_data(std::string_view key) const {
    auto *value = find(key);
    auto *data = value ? std::get_if<Data>(value) : nullptr;
    return data ? std::optional<std::span<const std::uint8_t>>(*data) : std::nullopt;
  }
  template <class T>
  std::optional<T> get(std::string_view key) const {
    auto *value = find(key);
    auto *typed = value ? std::get_if<T>(value) : nullptr;
    return typed ? std::optional<T>(*typed) : std::nullopt;
  }

  const std::vector<std::pair<std::string, Value>> &entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, Value>> entries_;
};

// A message on a connection: a dictionary, and whether its sender waits for
// a reply to it.
struct Message {
  Dictionary body;
  bool expects_reply = false;
};

}  // namespace vela::platform::ipc
