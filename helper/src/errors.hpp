// The daemon's errors: a domain, a code and an English message, handed back
// through an error out-parameter that the caller may leave out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vela::helper {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string message;

  bool operator==(const Error &) const = default;
};

// The caller's error out-parameter; null when the caller wants none.
using ErrorOut = std::optional<Error> *;

inline constexpr const char *kPosixDomain = "NSPOSIXErrorDomain";
inline constexpr const char *kHelperDomain = "VelaBrokerHelper";
inline constexpr const char *kActivationDomain = "VelaBrokerActivation";

// Sets the caller's error, replacing whatever it held.
inline void setError(ErrorOut error, Error value) {
  if (error != nullptr) *error = std::move(value);
}

// Sets ("VelaBrokerActivation", 1, message) only while the caller's error is
// still empty, so that an error a called step reported is the one that stays.
// Always false, for `return activationFailure(...)`.
inline bool activationFailure(ErrorOut error, std::string message) {
  if (error != nullptr && !error->has_value()) *error = Error{kActivationDomain, 1, std::move(message)};
  return false;
}

}  // namespace vela::helper
