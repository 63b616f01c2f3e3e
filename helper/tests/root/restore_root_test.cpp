#include <gtest/gtest.h>

#include "files.hpp"
#include "restore.hpp"
#include "support.hpp"
#include "trust.hpp"

namespace vela::helper {
namespace {

// A sound trust state whose current release cannot be started: no custody
// tree of its generation exists.
const std::string kTrusted = vela::test::trustStateOf({});

TEST(Restore, AttemptsAtMostFivePerWindowOfMoreThan300Seconds) {
  struct Row {
    const char *name;
    double now;
    bool trusted;  // a trust state with a current release exists
    double window;
    std::uint64_t attempts;
  };
  const Row rows[] = {
      {"first_pass_opens_a_window", 1000, false, 1000, 0},
      {"no_trust_state_counts_nothing", 1001, false, 1000, 0},
      {"current_release_attempted", 1002, true, 1000, 1},
      {"second", 1003, true, 1000, 2},
      {"third", 1004, true, 1000, 3},
      {"fourth", 1005, true, 1000, 4},
      {"fifth", 1006, true, 1000, 5},
      {"sixth_is_not_attempted", 1007, true, 1000, 5},
      {"exactly_300_seconds_is_the_same_window", 1300, true, 1000, 5},
      {"clock_set_back_keeps_the_window", 900, true, 1000, 5},
      {"past_300_seconds_opens_a_new_window", 1300.5, true, 1300.5, 1},
  };
  for (const auto &row : rows) {
    if (row.trusted) {
      ASSERT_TRUE(atomicRootData(VelaV3State, VelaTrustStateName, test::bytes(kTrusted), nullptr));
    }
    restoreAcceptedBroker(row.now);
    EXPECT_EQ(VelaRestartWindow, row.window) << row.name;
    EXPECT_EQ(VelaRestartFailures, row.attempts) << row.name;
  }
}

}  // namespace
}  // namespace vela::helper
