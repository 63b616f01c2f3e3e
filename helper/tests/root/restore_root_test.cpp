#include <gtest/gtest.h>

#include "files.hpp"
#include "restore.hpp"
#include "support.hpp"
#include "trust.hpp"

namespace vela::helper {
namespace {

TEST(Restore, AttemptsAtMostFivePerWindowOfMoreThan300Seconds) {
  // The time of a pass, whether a trust state names a current release by
  // then (one that cannot start: no custody tree of it exists), and the
  // window and the attempts counted after the pass.
  const std::tuple<double, bool, double, std::uint64_t> rows[] = {
      {1000, false, 1000, 0},  // the first pass opens a window
      {1001, false, 1000, 0},  // no trust state counts nothing
      {1002, true, 1000, 1},
      {1003, true, 1000, 2},
      {1004, true, 1000, 3},
      {1005, true, 1000, 4},
      {1006, true, 1000, 5},
      {1007, true, 1000, 5},  // the sixth is not attempted
      {1300, true, 1000, 5},  // exactly 300 seconds is the same window
      {900, true, 1000, 5},   // a clock set back keeps the window
      {1300.5, true, 1300.5, 1},  // past 300 seconds a new window opens
  };
  const std::string state = vela::test::trustStateOf({});
  for (const auto &[now, trusted, window, attempts] : rows) {
    if (trusted) {
      ASSERT_TRUE(atomicRootData(VelaV3State, VelaTrustStateName, test::bytes(state), nullptr));
    }
    restoreAcceptedBroker(now);
    EXPECT_EQ(VelaRestartWindow, window) << now;
    EXPECT_EQ(VelaRestartFailures, attempts) << now;
  }
}

}  // namespace
}  // namespace vela::helper
