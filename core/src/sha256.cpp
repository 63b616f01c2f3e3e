#include "sha256.hpp"

#include <openssl/evp.h>
#include <sodium/utils.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vela::sha256 {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void check(int ok) {
  if (ok != 1) throw std::runtime_error("sha256: digest failed");
}

}  // namespace

Stream::Stream() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  if (!context_) throw std::bad_alloc();
  check(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr));
}

Stream::~Stream() = default;

void Stream::update(std::span<const std::uint8_t> bytes) {
  check(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()));
}

std::string Stream::hex() {
  unsigned char digest[32];
  check(EVP_DigestFinal_ex(context_.get(), digest, nullptr));
  char text[65];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  return std::string(text, 64);
}

std::string hex(std::span<const std::uint8_t> bytes) {
  Stream stream;
  stream.update(bytes);
  return stream.hex();
}

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  using Chunk = unsigned char __attribute__((vector_size(16)));  // sixteen digits at once
  Chunk bad{};
  for (std::size_t i = 0; i < 64; i += sizeof(Chunk)) {
    Chunk c;
    std::memcpy(&c, text.data() + i, sizeof c);
    auto digit = c - '0' < 10;
    auto letter = (c | 0x20) - 'a' < 6;
    bad |= ~(digit | letter);
  }
  std::uint64_t half[2];
  std::memcpy(half, &bad, sizeof half);
  return (half[0] | half[1]) == 0;
}

bool same(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace vela::sha256
