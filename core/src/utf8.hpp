// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vela::utf8 {

// The length of the one multi-byte sequence at s (its lead byte at least
// 0x80) within n bytes, or 0 when it is not strict UTF-8.
inline std::size_t sequence(const std::uint8_t *s, std::size_t n) {
  std::uint8_t c = s[0];
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if ((s[k] & 0xC0) != 0x80) return 0;
  return len;
}

inline bool valid(std::string_view text) {
  auto s = reinterpret_cast<const std::uint8_t *>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    if (n - i >= 8) {  // eight ASCII bytes at a time
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if ((chunk & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = sequence(s + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace vela::utf8
