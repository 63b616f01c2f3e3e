// Inventory and custody costs beside their plain baselines, pair by pair:
//   - parse and enforce a 100,000-asset inventory of about 32 MiB, against a
//     full simdjson DOM parse of the same bytes (padded once, parser reused);
//   - copy_inventory of about 1 GiB in four large files, against sha256sum of
//     the same files;
//   - copy_inventory of 100,000 small files, against cp -a followed by
//     sha256sum of every copied file;
//   - vela_core_read_foreground_asset of a 1 MiB asset listed in a
//     100,000-asset inventory, per call.
// The trees need a root-owned chain without group or other write permission:
// run as root inside the sandbox, `scripts/sandbox build/bench/custody_bench`,
// whose fresh /private holds them. They are made on first use, outside every
// timing.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <cstdlib>

#include "../core/tests/root/tree.hpp"
#include "custody.hpp"
#include "inventory.hpp"
#include "vela_core.h"

namespace {

using namespace vela;
namespace fs = std::filesystem;

const fs::path kBench = "/private/vela-bench";
constexpr std::size_t kAssets = 100'000;
constexpr const char *kVersion = "1.2.3";

bool usable(benchmark::State &state) {
  if (::geteuid() == 0 && custody::Directory::open_root("/private")) return true;
  state.SkipWithError("needs root and a root-owned /private: run under scripts/sandbox");
  return false;
}

// The test runtime, filled up to 100,000 listings with dependency files
// whose paths are long enough to bring the document near 32 MiB. The
// listings are not read from disk by the parse or by a foreground read.
std::string large_inventory(const std::vector<test::File> &files) {
  auto listings = test::listings(files);
  const std::string digest(64, 'c');
  for (std::size_t i = listings.size(); i < kAssets; ++i) {
    std::string path = "host/app/node_modules/package-" + std::to_string(i / 1000) + "/lib/module-" +
                       std::to_string(i) + "-";
    path.resize(97, 'm');
    listings.push_back({path + ".js", path + ".js", digest, 1, false});
  }
  return test::document(listings, kVersion);
}

const std::string &inventory_document() {
  static const std::string doc = large_inventory(test::runtime());
  return doc;
}

void BM_Inventory_ParseEnforce(benchmark::State &state) {
  const auto &doc = inventory_document();
  for (auto _ : state) {
    auto parsed = inventory::Inventory::parse(test::bytes(doc), kVersion);
    if (!parsed) state.SkipWithError(parsed.error().message);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
  state.counters["MiB"] = static_cast<double>(doc.size()) / (1 << 20);
}

void BM_Inventory_SimdjsonDom(benchmark::State &state) {
  const simdjson::padded_string doc(inventory_document());
  simdjson::dom::parser parser;
  for (auto _ : state) {
    auto parsed = parser.parse(doc);
    if (parsed.error()) state.SkipWithError(simdjson::error_message(parsed.error()));
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

struct Tree {
  fs::path root;
  std::string doc;
  std::vector<std::string> paths;  // relative
};

Tree planted(const fs::path &root, std::vector<test::File> files) {
  test::plant(root, files);
  Tree tree{root, test::document(files, kVersion), {}};
  for (const auto &f : files) tree.paths.push_back(f.path);
  return tree;
}

const Tree &large_files() {
  static const Tree tree = [] {
    auto files = test::runtime();
    for (int k = 0; k < 4; ++k) {
      std::string content(255u << 20, '\0');
      for (std::size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<char>(i / 4096 + k);
      files.push_back({"release/large-" + std::to_string(k) + ".bin", std::move(content)});
    }
    return planted(kBench / "large", std::move(files));
  }();
  return tree;
}

const Tree &small_files() {
  static const Tree tree = [] {
    auto files = test::runtime();
    for (std::size_t i = files.size(); i < kAssets; ++i)
      files.push_back({"host/app/node_modules/package-" + std::to_string(i / 1000) + "/lib/module-" +
                           std::to_string(i) + ".js",
                       std::string(200 + (i * 7919) % 3800, static_cast<char>('a' + i % 26))});
    return planted(kBench / "small", std::move(files));
  }();
  return tree;
}

std::uint64_t tree_bytes(const Tree &tree) {
  std::uint64_t total = 0;
  for (const auto &p : tree.paths) total += fs::file_size(tree.root / p);
  return total;
}

void fresh(benchmark::State &state, const fs::path &target, bool create) {
  state.PauseTiming();
  fs::remove_all(target);
  if (create) test::make_directories(target);
  state.ResumeTiming();
}

void copy_inventory(benchmark::State &state, const Tree &tree) {
  const fs::path target = kBench / "target";
  for (auto _ : state) {
    fresh(state, target, true);
    if (vela_core_copy_inventory(tree.root.c_str(), target.c_str(), test::bytes(tree.doc).data(), tree.doc.size(),
                                 kVersion) != 0)
      state.SkipWithError("copy failed");
  }
  fs::remove_all(target);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tree_bytes(tree)));
}

void shell(benchmark::State &state, const std::string &command) {
  if (std::system(command.c_str()) != 0) state.SkipWithError(command.c_str());
}

void BM_CopyInventory_LargeFiles(benchmark::State &state) {
  if (usable(state)) copy_inventory(state, large_files());
}

void BM_Sha256sum_LargeFiles(benchmark::State &state) {
  if (!usable(state)) return;
  const Tree &tree = large_files();
  std::string command = "cd " + tree.root.string() + " && sha256sum";
  for (const auto &p : tree.paths) command += " '" + p + "'";
  command += " >/dev/null";
  for (auto _ : state) shell(state, command);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tree_bytes(tree)));
}

void BM_CopyInventory_SmallFiles(benchmark::State &state) {
  if (usable(state)) copy_inventory(state, small_files());
}

void BM_CpSha256sum_SmallFiles(benchmark::State &state) {
  if (!usable(state)) return;
  const Tree &tree = small_files();
  const fs::path target = kBench / "target";
  const std::string command = "cp -a " + tree.root.string() + " " + target.string() + " && cd " + target.string() +
                              " && find . -type f -print0 | xargs -0 sha256sum >/dev/null";
  for (auto _ : state) {
    fresh(state, target, false);
    shell(state, command);
  }
  fs::remove_all(target);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tree_bytes(tree)));
}

void BM_ReadForegroundAsset_1MiB(benchmark::State &state) {
  if (!usable(state)) return;
  auto files = test::runtime();
  files.push_back({"host/app/client/dist/bench.js", std::string(1 << 20, 'b')});
  static const fs::path root = kBench / "foreground";
  test::plant(root, {files.back()});
  const std::string doc = large_inventory(files);
  std::vector<std::uint8_t> output(16 << 20);
  char digest[65];
  std::size_t length = 0;
  for (auto _ : state) {
    if (vela_core_read_foreground_asset(root.c_str(), test::bytes(doc).data(), doc.size(), kVersion, "bench.js",
                                        output.data(), output.size(), &length, digest, sizeof digest) != 0)
      state.SkipWithError("read failed");
  }
  state.counters["inventory_MiB"] = static_cast<double>(doc.size()) / (1 << 20);
}

BENCHMARK(BM_Inventory_ParseEnforce)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inventory_SimdjsonDom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyInventory_LargeFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Sha256sum_LargeFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CopyInventory_SmallFiles)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_CpSha256sum_SmallFiles)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ReadForegroundAsset_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
