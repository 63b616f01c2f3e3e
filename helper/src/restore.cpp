#include "restore.hpp"

#include <array>

#include "activation.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr double kWindowSeconds = 300.0;
constexpr std::uint64_t kAttemptsPerWindow = 5;

}  // namespace

double VelaRestartWindow = 0.0;
std::uint64_t VelaRestartFailures = 0;

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
