// Staging a runtime archive of about 100 MiB (a 45 MiB executable and 20,000
// small module files of hexadecimal text) as the daemon does it, a private
// copy hashed in one pass and then tar, beside sha256sum of the archive
// followed by tar -xzf of it.
// The destination must be root-owned: run as root inside the sandbox,
// `scripts/sandbox --install build build/bench/staging_bench`. The archive,
// which the user "nobody" asks for and may read, is made on first use,
// outside every timing.
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "staging.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path kBench = "/private/vela-staging-bench";
const fs::path kArchive = kBench / "runtime.tar.gz";
const fs::path kDestination = kBench / "source";
constexpr std::size_t kModules = 20'000;
constexpr std::size_t kExecutableBytes = 45u << 20;

struct Archive {
  std::string sha256;
  std::uint64_t bytes = 0;
};

void write(const fs::path &path, const std::string &content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string digestOf(const fs::path &path) {
  std::string text(64, '\0');
  FILE *pipe = popen(("sha256sum " + path.string()).c_str(), "r");
  text.resize(std::fread(text.data(), 1, text.size(), pipe));
  pclose(pipe);
  return text;
}

const Archive &archive() {
  static const Archive made = [] {
    std::mt19937_64 random(42);
    const fs::path top = kBench / "vela-runtime";
    std::string executable(kExecutableBytes, '\0');
    for (auto &byte : executable) byte = static_cast<char>(random());
    write(top / "host/node/bin/node", executable);
    for (std::size_t i = 0; i < kModules; ++i) {
      std::string text(2048 + random() % 6144, '\0');
      for (auto &c : text) c = "0123456789abcdef"[random() % 16];
      write(top / ("host/app/node_modules/package-" + std::to_string(i / 100) + "/lib/module-" +
                   std::to_string(i) + ".js"),
            text);
    }
    std::system(("tar -czf " + kArchive.string() + " -C " + kBench.string() + " vela-runtime").c_str());
    fs::remove_all(top);
    return Archive{digestOf(kArchive), fs::file_size(kArchive)};
  }();
  return made;
}

bool usable(benchmark::State &state) {
  if (::geteuid() == 0 && fs::exists("/private")) {
    fs::create_directories(kBench);
    fs::permissions(kBench, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    return true;
  }
  state.SkipWithError("needs root and a root-owned /private: run under scripts/sandbox");
  return false;
}

void freshDestination(benchmark::State &state) {
  state.PauseTiming();
  fs::remove_all(kDestination);
  fs::create_directory(kDestination);
  state.ResumeTiming();
}

void report(benchmark::State &state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive().bytes));
  state.counters["archive_MiB"] = static_cast<double>(archive().bytes) / (1 << 20);
}

void BM_ExtractAuthenticatedArchive(benchmark::State &state) {
  if (!usable(state)) return;
  const Archive &runtime = archive();
  for (auto _ : state) {
    freshDestination(state);
    std::optional<vela::helper::Error> error;
    if (!vela::helper::extractAuthenticatedArchive(kArchive.string(), "nobody", runtime.sha256, runtime.bytes,
                                                   kDestination.string(), &error))
      state.SkipWithError(error ? error->message.c_str() : "extraction refused");
  }
  report(state);
}

void BM_Sha256sumThenTar(benchmark::State &state) {
  if (!usable(state)) return;
  archive();
  const std::string command = "sha256sum " + kArchive.string() + " >/dev/null && tar -xzf " + kArchive.string() +
                              " --strip-components 1 -C " + kDestination.string();
  for (auto _ : state) {
    freshDestination(state);
    if (std::system(command.c_str()) != 0) state.SkipWithError(command.c_str());
  }
  report(state);
}

BENCHMARK(BM_ExtractAuthenticatedArchive)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Sha256sumThenTar)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
