// Release verification: any bytes are verified or refused without a fault,
// both as an envelope and as a manifest. To reach the manifest rules, the
// input is signed with a key of the fuzzer's own and verified with that key.
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "release.hpp"

namespace {

using namespace vela;

constexpr std::int64_t kNow = 1772323200000;  // 2026-03-01T00:00:00Z, inside the seeds' windows

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

std::string base64(const std::uint8_t *data, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the NUL
  return text;
}

struct Fixture {
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  std::string keys;
  release::TrustState state;

  Fixture() {
    if (sodium_init() < 0) std::abort();
    const unsigned char seed[crypto_sign_SEEDBYTES] = {7};
    crypto_sign_seed_keypair(public_key, secret_key, seed);
    keys = R"({"keys":[{"keyId":"fuzz","publicKey":")" + base64(public_key, sizeof public_key) + R"("}]})";
    // A floor on beta and a current release on stable.
    const std::string digest(64, 'a');
    auto entry = [&](const char *channel, const char *version, const char *not_before) {
      return std::string(R"({"channel":")") + channel + R"(","version":")" + version + R"(","archiveSha256":")" +
             digest + R"(","archiveBytes":1048576,"notBeforeMs":)" + not_before + "}";
    };
    std::string current = entry("stable", "1.2.3", "1771113600000");
    auto read = release::read_state(bytes(R"({"schemaVersion":3,"channels":{"beta":)" +
                                          entry("beta", "2.0.0-rc.1", "1771200000000") + R"(,"stable":)" + current +
                                          R"(},"current":)" + current + "}"));
    if (!read || !release::validate_state(*read)) std::abort();
    state = std::move(*read);
  }

  std::string envelope(const std::uint8_t *payload, std::size_t size) const {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, payload, size, secret_key);
    return R"({"payload":")" + base64(payload, size) + R"(","signatures":[{"keyId":"fuzz","algorithm":"ed25519",)" +
           R"("signature":")" + base64(signature, sizeof signature) + R"("}]})";
  }
};

bool lower_hex(std::string_view s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const Fixture fixture;
  release::verify({data, size}, fixture.state, "arm64", kNow);

  std::string envelope = fixture.envelope(data, size);
  auto accepted = release::verify(bytes(envelope), fixture.state, "arm64", kNow, fixture.keys);
  if (envelope.size() > 2'097'152) return 0;
  bool manifest = release::read_manifest({data, size}).has_value();
  if (!manifest != (!accepted && std::strcmp(accepted.error().message, "invalid signed release payload") == 0))
    std::abort();  // the signed payload is judged by the manifest reading alone
  if (accepted && (!lower_hex(accepted->archiveSha256) || accepted->archiveBytes == 0 ||
                   accepted->archiveBytes > 2'147'483'648 || !release::write(*accepted)))
    std::abort();
  return 0;
}
