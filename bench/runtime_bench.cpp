// vela_core_start until it returns with a proven broker, against a bare
// fork/exec of the same Node program until it writes its readiness line.
// Both run the test runtime's broker; the difference is the core's own cost
// (pipes, identity switch and its check, limits, the readiness wait). Runs as
// root, with the broker as nobody. Compare the pair.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "runtime.hpp"
#include "runtime_tree.hpp"
#include "vela_core.h"

namespace {

using namespace vela;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534, kAgent = 65533, kControl = 65532;
const std::string kGeneration(64, 'c');
const std::string kKey(64, 'k');
const std::string kSecret(64, '5');

// A runtime tree and a state directory the broker account can write,
// removed at exit.
struct Tree {
  std::string base, root, state;
  ~Tree() { std::system(("rm -rf '" + base + "'").c_str()); }
};

const Tree *tree() {
  static const std::unique_ptr<Tree> made = []() -> std::unique_ptr<Tree> {
    char base[] = "/tmp/vela-bench-XXXXXX";
    if (geteuid() != 0 || mkdtemp(base) == nullptr) return nullptr;
    std::unique_ptr<Tree> t(new Tree{base, std::string(base) + "/runtime", std::string(base) + "/state"});
    fixture::make_runtime(t->root);
    if (chmod(base, 0755) != 0 || mkdir(t->state.c_str(), 0700) != 0 || chown(t->state.c_str(), kNobody, kNoGroup) != 0)
      return nullptr;
    return t;
  }();
  return made.get();
}

void BM_CoreStart(benchmark::State &state) {
  const Tree *t = tree();
  if (t == nullptr) return state.SkipWithError("needs root");
  const std::string creds = fixture::credentials(kKey, kSecret);
  for (auto _ : state) {
    if (vela_core_start(t->root.c_str(), t->state.c_str(), kNobody, kNoGroup, kAgent, kControl, kGeneration.c_str(),
                        reinterpret_cast<const uint8_t *>(creds.data()), creds.size()) != 0)
      return state.SkipWithError("start failed");
    state.PauseTiming();
    vela_core_stop();
    state.ResumeTiming();
  }
}

// The same program with the same descriptors, environment and working
// directory, started by fork and exec alone.
void BM_BareForkExec(benchmark::State &state) {
  const Tree *t = tree();
  if (t == nullptr) return state.SkipWithError("needs root");
  const std::string program = t->root + "/host/node/bin/node", script = t->root + "/host/app/protected/broker/index.js",
                    directory = t->root + "/host/app";
  std::vector<std::string> env = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=/var/empty", "NODE_ENV=production",
                                  "VELA_MAC_BROKER_GENERATION=" + kGeneration, "VELA_PROTECTED_STATE_DIR=" + t->state};
  std::vector<char *> envp, argv;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string option = "--max-old-space-size=384";
  argv = {const_cast<char *>(program.c_str()), option.data(), const_cast<char *>(script.c_str()), nullptr};
  const std::vector<std::uint8_t> authority(32, 0x55);
  for (auto _ : state) {
    auto key = runtime::input({reinterpret_cast<const std::uint8_t *>(kKey.data()), kKey.size()});
    auto auth = runtime::input(authority);
    int ready[2];
    if (!key || !auth || ::pipe(ready) != 0) return state.SkipWithError("pipe");
    const int null = open("/dev/null", O_RDWR);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(key->get(), 0);
      dup2(null, 1);
      dup2(null, 2);
      dup2(auth->get(), 3);
      dup2(ready[1], 4);
      if (chdir(directory.c_str()) == 0) execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(null);
    close(ready[1]);
    char buffer[512];
    bool line = false;
    for (ssize_t n; !line && (n = read(ready[0], buffer, sizeof buffer)) > 0;)
      line = std::string_view(buffer, static_cast<std::size_t>(n)).find('\n') != std::string_view::npos;
    state.PauseTiming();
    close(ready[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!line) return state.SkipWithError("no readiness line");
    state.ResumeTiming();
  }
}

BENCHMARK(BM_CoreStart)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_BareForkExec)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace
