#include <gtest/gtest.h>

#include <signal.h>

#include "platform/clocks.hpp"
#include "support.hpp"
#include "tasks.hpp"

namespace vela::helper {
namespace {

constexpr std::int64_t kMs = 1'000'000;

Task shell(std::string script) {
  return {.executable = "/bin/sh", .arguments = {"-c", std::move(script)}, .environment = {{"PATH", "/usr/bin:/bin"}}};
}
Error failed(int status) {
  return {kHelperDomain, status, "privileged broker task failed with exit status " + std::to_string(status)};
}
Error notLaunched(const std::string &executable) {
  return {kPosixDomain, ENOENT,
          "privileged broker task could not be launched: " + executable + ": No such file or directory"};
}

TEST(Tasks, Endings) {
  ASSERT_EQ(dup2(STDERR_FILENO, 50), 50);  // held open without close-on-exec
  const std::pair<Task, std::optional<Error>> rows[] = {
      {shell("exit 3"), failed(3)},
      {shell("kill -KILL $$"), failed(SIGKILL)},
      {shell("test ! -e /proc/$$/fd/50"), std::nullopt},
      {{.executable = "/nonexistent/program"}, notLaunched("/nonexistent/program")},
      {{.executable = "/bin/true", .directory = "/nonexistent/directory"}, notLaunched("/bin/true")},
  };
  for (const auto &[task, expected] : rows) {
    SCOPED_TRACE(testing::PrintToString(task.arguments));
    std::optional<Error> error;
    EXPECT_EQ(runBoundedTask(task, std::nullopt, &error, 5.0), !expected);
    EXPECT_EQ(error, expected);
  }
  close(50);
}

// Past the deadline: a task ends within the first grace, even when the
// daemon ignores and blocks SIGTERM itself; one that ignores it is killed.
TEST(Tasks, Deadlines) {
  auto previous = signal(SIGTERM, SIG_IGN);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  for (const auto &[script, grace, least] : {std::tuple{"exec sleep 30", 5'000 * kMs, 0.2},
                                             std::tuple{"trap '' TERM; exec sleep 30", 300 * kMs, 0.5}}) {
    std::optional<Error> error;
    auto start = platform::uptime_ns();
    EXPECT_FALSE(runBoundedTask(shell(script), std::nullopt, &error, 0.2, {grace, grace}));
    const double elapsed = static_cast<double>(platform::uptime_ns() - start) / 1e9;
    EXPECT_EQ(error, (Error{kHelperDomain, 60, "privileged broker task exceeded its bounded execution time"}));
    EXPECT_GE(elapsed, least) << script;
    EXPECT_LT(elapsed, 3.0) << script;
  }
  sigprocmask(SIG_UNBLOCK, &term, nullptr);
  signal(SIGTERM, previous);
}

}  // namespace
}  // namespace vela::helper
