// Errors inside the core are values: a fixed message and a kind, or an errno.
#pragma once

#include <cerrno>
#include <expected>

namespace vela {

enum class Kind { invalid_data, permission_denied, other, os };

struct Error {
  Kind kind;
  const char *message;  // fixed text; never leaves the library
  int code = 0;         // errno when kind is os

  static Error invalid_data(const char *m) { return {Kind::invalid_data, m}; }
  static Error denied(const char *m) { return {Kind::permission_denied, m}; }
  static Error other(const char *m) { return {Kind::other, m}; }
  static Error os(int e) { return {Kind::os, "operating system error", e}; }
  static Error last_os() { return os(errno); }
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected(e); }

}  // namespace vela
