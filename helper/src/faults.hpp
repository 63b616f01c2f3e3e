// Named fault points, for tests of what a failure leaves behind. Only a build
// with VELA_FAULT_POINTS has them; every other build compiles VELA_FAULT(name)
// to false and never looks at the environment.
//
// The fault-point build reads VELA_FAULT, "name" or "name:action", and acts the
// first time the named point is reached in the process:
//   fail   (the default) VELA_FAULT gives true: the step fails as if its
//          operation had failed, reporting nothing;
//   throw  raises std::runtime_error from the point;
//   kill   ends the process with SIGKILL there.
#pragma once

#include <string_view>

#ifdef VELA_FAULT_POINTS
namespace vela::helper {
bool faultPoint(std::string_view name);
}  // namespace vela::helper
#define VELA_FAULT(name) ::vela::helper::faultPoint(name)
#else
#define VELA_FAULT(name) false
#endif
