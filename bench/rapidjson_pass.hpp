// The baseline of the reader benchmarks: a bare RapidJSON SAX pass with the
// reader's own flags (iterative, numbers as text) and no handler work.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

#include "rapidjson.hpp"

inline void bare_pass(benchmark::State &state, const std::string &doc) {
  for (auto _ : state) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(doc.data(), doc.size());
    auto ok = reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(stream, handler);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
