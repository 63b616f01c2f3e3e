// STUB until the issue-15 branch lands: the counters only.
#include "restore.hpp"

namespace vela::helper {

double VelaRestartWindow = 0.0;
std::uint64_t VelaRestartFailures = 0;

void restoreAcceptedBroker(double) {}

}  // namespace vela::helper
