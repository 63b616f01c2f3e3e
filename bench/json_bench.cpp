// The record reader against a bare RapidJSON SAX pass over the same bytes
// (same flags: iterative, numbers as text): compare the pairs of each size.
// The small records (credentials, readiness) are timed alone, to compare
// builds.
#include <benchmark/benchmark.h>

#include <string>

#include "ffi.hpp"
#include "json.hpp"
#include "rapidjson_pass.hpp"
#include "release.hpp"
#include "runtime.hpp"

namespace {

using namespace vela;

// A trust-state-shaped document of about 2 MiB: many channel entries.
std::string trust_document() {
  std::string doc = R"({"schemaVersion":3,"channels":{)";
  const std::string digest(64, 'a');
  for (int i = 0; doc.size() < 2'000'000; ++i) {
    if (i) doc += ',';
    std::string name = "c" + std::to_string(i);
    doc += '"' + name + R"(":{"channel":")" + name + R"(","version":"1.2.)" + std::to_string(i) +
           R"(-rc.1","archiveSha256":")" + digest + R"(","archiveBytes":123456789,"notBeforeMs":-1700000000000})";
  }
  return doc + "}}";
}

// A record whose one known key sits beside a 2 MiB unknown value.
struct Named {
  std::string name;
};
constexpr json::Field named_fields[] = {json::field<&Named::name>("name")};
constexpr json::Record<Named> named{named_fields, json::Extra::skip};

std::string skipped_document() {
  std::string value = "[";
  for (int i = 0; value.size() < 2'000'000; ++i)
    value += R"({"k":"some text \u00e9\ud83d\ude00","n":[1,-2,3.5e7,true,null],"d":{"x":{"y":"z"}}},)";
  value += "0]";
  return R"({"extra":)" + value + R"(,"name":"n"})";
}

std::span<const std::uint8_t> bytes(const std::string &s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

void BM_TrustState_Reader(benchmark::State &state) {
  static const std::string doc = trust_document();
  for (auto _ : state) benchmark::DoNotOptimize(release::read_state(bytes(doc)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
void BM_TrustState_BareRapidJson(benchmark::State &state) {
  static const std::string doc = trust_document();
  bare_pass(state, doc);
}
void BM_SkippedValue_Reader(benchmark::State &state) {
  static const std::string doc = skipped_document();
  for (auto _ : state) benchmark::DoNotOptimize(json::read(bytes(doc), named));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
void BM_SkippedValue_BareRapidJson(benchmark::State &state) {
  static const std::string doc = skipped_document();
  bare_pass(state, doc);
}

void BM_Credentials(benchmark::State &state) {
  const std::string doc = R"({"activationKey":")" + std::string(64, 'k') + R"(","launchSecret":")" +
                          std::string(64, 's') + R"("})";
  for (auto _ : state)
    benchmark::DoNotOptimize(ffi::credentials(reinterpret_cast<const std::uint8_t *>(doc.data()), doc.size()));
}
void BM_Readiness(benchmark::State &state) {
  const std::string generation(64, 'a');
  const std::string doc = R"({"generation":")" + generation + R"(","pid":4242})";
  for (auto _ : state) benchmark::DoNotOptimize(runtime::check_ready(bytes(doc), generation, 4242));
}

BENCHMARK(BM_TrustState_Reader)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrustState_BareRapidJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkippedValue_Reader)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkippedValue_BareRapidJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Credentials);
BENCHMARK(BM_Readiness);

}  // namespace
