// SHA-256 over a stream of bytes (OpenSSL's EVP), and the digest texts the
// core compares.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace vela::sha256 {

class Stream {
 public:
  Stream();
  ~Stream();
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;

  void update(std::span<const std::uint8_t> bytes);
  // The digest as 64 lower-case hexadecimal characters; ends the stream.
  std::string hex();

 private:
  std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> context_;
};

std::string hex(std::span<const std::uint8_t> bytes);

// Exactly 64 hexadecimal digits, either letter case.
bool is_hex_digest(std::string_view text);

// Two digest texts name the same digest: equal ignoring ASCII letter case.
bool same(std::string_view a, std::string_view b);

}  // namespace vela::sha256
