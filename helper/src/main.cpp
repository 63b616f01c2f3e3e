// The daemon's process frame: it prepares the process, puts all work on one
// serial queue (the restore policy at once and every 15 seconds, SIGTERM, the
// service's listener and its connections) and hands the main thread to it.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "install.hpp"
#include "platform/hardening.hpp"
#include "platform/ipc.hpp"
#include "platform/paths.hpp"
#include "platform/queue.hpp"
#include "restore.hpp"
#include "service.hpp"
#include "vela_core.h"

namespace {

using namespace std::chrono_literals;
namespace queue = vela::platform::queue;

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void restore() { vela::helper::restoreAcceptedBroker(wallClockSeconds()); }

// A test build trusts the development key, whose private half is no secret:
// anyone could sign a runtime that it would run as root. It serves only when
// started as a test; a release build does not look at the switch.
constexpr bool kTestBuild = VELA_TEST_BUILD;
constexpr int kTestBuildRefused = 79;

bool refusedAsTestBuild() {
  const char *test = std::getenv("VELA_TEST_RUN");
  if (!kTestBuild || (test != nullptr && std::string_view(test) == "1")) return false;
  std::fputs("vela-broker-helper: refused: this build trusts the development release key; it runs only as a test, "
             "with VELA_TEST_RUN=1\n",
             stderr);
  return true;
}

}  // namespace

int main() {
  if (geteuid() != 0) return 77;
  if (refusedAsTestBuild()) return kTestBuildRefused;
  const rlimit noCore{0, 0};
  if (setrlimit(RLIMIT_CORE, &noCore) != 0) return 77;
  umask(077);
  // The host's own settings: said on standard error, never fatal.
  vela::platform::check_ptrace_scope(STDERR_FILENO);
  vela::helper::endLeftBrokers(STDERR_FILENO);

  vela::platform::ipc::raise_descriptor_limit();  // before the listener, which sizes itself by it

  queue::Queue VelaTransactions(1);
  queue::async(VelaTransactions, vela::helper::recoverInterruptedTransactions);
  queue::async(VelaTransactions, restore);
  queue::Timer VelaRestartTimer(VelaTransactions, 15s, 15s, restore);
  signal(SIGTERM, SIG_IGN);
  queue::SignalSource VelaTermination(VelaTransactions, SIGTERM, [] {
    vela_core_stop();
    std::_Exit(0);
  });
  auto VelaListener = vela::platform::ipc::Listener::create(VelaTransactions, vela::platform::paths::kService,
                                                           vela::helper::handlePeer);
  if (!VelaListener) return 78;
  queue::run(VelaTransactions);
}
