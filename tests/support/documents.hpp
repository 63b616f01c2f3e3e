// Texts as bytes, and root trust-state documents, for the core's and the
// daemon's tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vela::test {

inline std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

// An accepted release as the trust state records it.
struct Release {
  std::string channel = "stable";
  std::string version = "1.2.3";
  std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::uint64_t size = 1048576;
  std::int64_t notBeforeMs = 1771113600000;  // 2026-02-15T00:00:00Z

  std::string json() const {
    return R"({"channel":")" + channel + R"(","version":")" + version + R"(","archiveSha256":")" + digest +
           R"(","archiveBytes":)" + std::to_string(size) + R"(,"notBeforeMs":)" + std::to_string(notBeforeMs) + "}";
  }
};

// A trust state of the given channel members and, unless empty, a current release.
inline std::string trustState(const std::string &channels = "", const std::string &current = "") {
  return R"({"schemaVersion":3,"channels":{)" + channels + "}" + (current.empty() ? "" : R"(,"current":)" + current) +
         "}";
}

// The release as its channel's only entry and as the current release.
inline std::string trustStateOf(const Release &release) {
  return trustState("\"" + release.channel + "\":" + release.json(), release.json());
}

}  // namespace vela::test
