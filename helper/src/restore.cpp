#include "restore.hpp"

#include <array>
#include <cstring>
#include <string>

#include "activation.hpp"
#include "identity.hpp"
#include "platform/clocks.hpp"
#include "platform/descriptor.hpp"
#include "platform/processes.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr double kWindowSeconds = 300.0;
constexpr std::uint64_t kAttemptsPerWindow = 5;
// As long as a stop waits for the broker to end.
constexpr std::int64_t kSweepNs = 5'000'000'000;

}  // namespace

double VelaRestartWindow = 0.0;
std::uint64_t VelaRestartFailures = 0;

void endLeftBrokers(int errorFd) {
  auto uid = brokerAccountUid();
  if (!uid) return;
  const int error = platform::end_user_processes(*uid, platform::uptime_ns() + kSweepNs);
  if (error == 0) return;
  const std::string line = "vela-broker-helper: processes of the broker account left running: " +
                           std::string(std::strerror(error)) + "\n";
  (void)platform::write_all(errorFd, {reinterpret_cast<const std::uint8_t *>(line.data()), line.size()});
}

void restoreAcceptedBroker(double now) {
  std::array<char, 1024> status{};
  if (vela_core_status(status.data(), status.size()) == 0) return;
  if (now - VelaRestartWindow > kWindowSeconds) {
    VelaRestartWindow = now;
    VelaRestartFailures = 0;
  }
  if (VelaRestartFailures >= kAttemptsPerWindow) return;
  auto state = readRootTrust(nullptr);
  if (!state) return;
  auto current = state->find("current");
  if (current == state->end() || !current->is_object()) return;
  VelaRestartFailures += 1;
  startAcceptedRelease(*current, nullptr);
}

}  // namespace vela::helper
