// vela_core_verify_release on an envelope near 2 MiB, beside the parts no
// verification can do without, measured in the same run: decoding the
// Base64 payload, one Ed25519 verification of it, and one bare RapidJSON pass
// over the envelope. Compare BM_VerifyRelease with BM_UnavoidableParts.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "rapidjson.hpp"
#include "release.hpp"
#include "release_signer.hpp"
#include "vela_core.h"

namespace {

// About 1.3 MB of manifest: thousands of artifacts for other platforms, one
// runtime, and a large value under a key the reader skips.
std::string manifest() {
  const std::string digest(64, 'c');
  std::time_t now = std::time(nullptr);
  std::string m = R"({"schemaVersion":1,"channel":"stable","version":"1.2.3","notBefore":")" +
                  vela::signer::utc(now - 3600) + R"(","expiresAt":")" + vela::signer::utc(now + 86400) +
                  R"(","notes":")" + std::string(200'000, 'n') + R"(","artifacts":[)";
  for (int i = 0; m.size() < 1'300'000; ++i)
    m += R"({"kind":"symbols","platform":"linux","arch":"x86_64","sha256":")" + digest + R"(","sizeBytes":)" +
         std::to_string(i + 1) + R"(,"label":"artifact )" + std::to_string(i) + R"("},)";
  return m + R"({"kind":"runtime","platform":"darwin","arch":"arm64","sha256":")" + digest +
         R"(","sizeBytes":104857600}]})";
}

struct Release {
  std::string manifest;
  std::string payload;    // Base64 of the manifest
  std::string signature;  // Base64
  std::string envelope;   // the tool's envelope with a large skipped value beside it

  Release() : manifest(::manifest()) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    std::string signed_envelope = vela::signer::sign(manifest);
    auto parsed = vela::release::read_envelope(
        {reinterpret_cast<const std::uint8_t *>(signed_envelope.data()), signed_envelope.size()});
    payload = parsed.value().payload;
    signature = parsed->signatures.at(0).signature;
    signed_envelope.pop_back();  // the line feed
    signed_envelope.pop_back();  // the closing brace
    envelope = signed_envelope + R"(,"provenance":[)";
    while (envelope.size() < 2'080'000) envelope += R"({"step":"build","log":"compiled and linked"},)";
    envelope += "{}]}";
  }
};

const Release &release() {
  static const Release r;
  return r;
}

const std::string kEmptyState = R"({"schemaVersion":3,"channels":{}})";

std::vector<unsigned char> decode(const std::string &text) {
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  std::size_t length = 0;
  sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, nullptr,
                    sodium_base64_VARIANT_ORIGINAL);
  bytes.resize(length);
  return bytes;
}

bool ed25519(const std::vector<unsigned char> &signature, const std::vector<unsigned char> &message,
             const std::vector<unsigned char> &key) {
  return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
}

bool bare_pass(const std::string &doc) {
  rapidjson::BaseReaderHandler<> handler;
  rapidjson::Reader reader;
  rapidjson::MemoryStream stream(doc.data(), doc.size());
  return !reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(stream, handler)
              .IsError();
}

void counters(benchmark::State &state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * release().envelope.size()));
  state.counters["envelope_bytes"] = static_cast<double>(release().envelope.size());
}

void BM_VerifyRelease(benchmark::State &state) {
  const std::string &env = release().envelope;
  char output[8192];
  for (auto _ : state) {
    int result = vela_core_verify_release(reinterpret_cast<const std::uint8_t *>(env.data()), env.size(),
                                          reinterpret_cast<const std::uint8_t *>(kEmptyState.data()),
                                          kEmptyState.size(), output, sizeof output);
    if (result != 0) {
      state.SkipWithError("the release was refused (a build with another signer's key?)");
      break;
    }
  }
  counters(state);
}

void BM_UnavoidableParts(benchmark::State &state) {
  const Release &r = release();
  const auto key = decode(std::string(vela::signer::kDevPublicKey)), signature = decode(r.signature);
  for (auto _ : state) {
    auto payload = decode(r.payload);
    bool ok = ed25519(signature, payload, key) && bare_pass(r.envelope);
    benchmark::DoNotOptimize(ok);
  }
  counters(state);
}

void BM_Base64Decode(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(decode(release().payload));
  counters(state);
}

void BM_Ed25519Verify(benchmark::State &state) {
  const Release &r = release();
  const auto key = decode(std::string(vela::signer::kDevPublicKey)), signature = decode(r.signature);
  const auto message = decode(r.payload);
  for (auto _ : state) benchmark::DoNotOptimize(ed25519(signature, message, key));
  counters(state);
}

void BM_RapidJsonEnvelopePass(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(bare_pass(release().envelope));
  counters(state);
}

// Not counted among the unavoidable parts above: the manifest, too, must be
// read once, and this is the least that costs.
void BM_RapidJsonManifestPass(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(bare_pass(release().manifest));
  counters(state);
}

BENCHMARK(BM_VerifyRelease)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnavoidableParts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ed25519Verify)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonEnvelopePass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonManifestPass)->Unit(benchmark::kMillisecond);

}  // namespace
