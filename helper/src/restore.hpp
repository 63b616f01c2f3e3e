// The restart policy: while no supervised broker runs, the trust state's
// current release is started again, at most five times in any 300-second
// window.
#pragma once

#include <cstdint>

namespace vela::helper {

// Start of the current restart window, wall-clock seconds since 1970.
extern double VelaRestartWindow;
// Start attempts counted in the current window.
extern std::uint64_t VelaRestartFailures;

// Ends every process of the broker account, as a stop does, before the
// first pass: a daemon that was killed left its broker running. A failure is
// said on `errorFd`.
void endLeftBrokers(int errorFd);

// One pass of the policy; `now` is the wall clock in seconds since 1970,
// passed in so that tests need no clock of their own.
void restoreAcceptedBroker(double now);

}  // namespace vela::helper
