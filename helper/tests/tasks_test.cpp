#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include "platform/clocks.hpp"
#include "support.hpp"
#include "tasks.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

constexpr std::int64_t kMs = 1'000'000;
constexpr TaskGrace kShortGrace{300 * kMs, 300 * kMs};

Task shell(std::string script) {
  return {.executable = "/bin/sh", .arguments = {"-c", std::move(script)}, .environment = {{"PATH", "/usr/bin:/bin"}}};
}

double secondsSince(std::int64_t start) { return static_cast<double>(platform::uptime_ns() - start) / 1e9; }

// How a task ended

struct EndCase {
  const char *name;
  std::string script;
  bool ok;
  std::optional<Error> error;
};

class Endings : public testing::TestWithParam<EndCase> {};

TEST_P(Endings, Outcome) {
  const auto &c = GetParam();
  std::optional<Error> error;
  EXPECT_EQ(runBoundedTask(shell(c.script), std::nullopt, &error, 5.0), c.ok);
  EXPECT_EQ(error, c.error);
}

Error failed(int status) {
  return {kHelperDomain, status, "privileged broker task failed with exit status " + std::to_string(status)};
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, Endings,
    testing::Values(EndCase{"status_zero_after_a_while", "sleep 0.2", true, std::nullopt},
                    EndCase{"status_three", "exit 3", false, failed(3)},
                    EndCase{"ended_by_a_signal", "kill -KILL $$", false, failed(SIGKILL)}),
    rowName<EndCase>);

class Inherited : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(dup2(STDERR_FILENO, 50), 50); }
  void TearDown() override { close(50); }
};

TEST_F(Inherited, DescriptorWithoutCloseOnExecStaysWithTheCaller) {
  EXPECT_TRUE(runBoundedTask(shell("test ! -e /proc/$$/fd/50"), std::nullopt, nullptr, 5.0));
}

// Deadlines

TEST(Deadlines, TaskAskedToTerminateEndsWithinTheFirstGrace) {
  // The daemon ignores SIGTERM itself; its tasks must not inherit that.
  auto previous = signal(SIGTERM, SIG_IGN);
  std::optional<Error> error;
  auto start = platform::uptime_ns();
  EXPECT_FALSE(runBoundedTask(shell("exec sleep 30"), std::nullopt, &error, 0.2, {5'000 * kMs, 5'000 * kMs}));
  signal(SIGTERM, previous);
  EXPECT_LT(secondsSince(start), 3.0);
  EXPECT_EQ(error, (Error{kHelperDomain, 60, "privileged broker task exceeded its bounded execution time"}));
}

TEST(Deadlines, TaskThatIgnoresTerminationIsKilled) {
  std::optional<Error> error;
  auto start = platform::uptime_ns();
  EXPECT_FALSE(runBoundedTask(shell("trap '' TERM; exec sleep 30"), std::nullopt, &error, 0.3, kShortGrace));
  double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.6);  // the deadline and the whole first grace
  EXPECT_LT(elapsed, 3.0);
  EXPECT_EQ(error, (Error{kHelperDomain, 60, "privileged broker task exceeded its bounded execution time"}));
}

// Launch

struct LaunchCase {
  const char *name;
  Task task;
  int code;
};

class LaunchFailures : public testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchFailures, ReportedAsAnErrorNotAStatus) {
  std::optional<Error> error;
  EXPECT_FALSE(runBoundedTask(GetParam().task, std::nullopt, &error, 5.0));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kPosixDomain);
  EXPECT_EQ(error->code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Tasks, LaunchFailures,
                         testing::Values(LaunchCase{"missing_program", Task{.executable = "/nonexistent/program"}, ENOENT},
                                         LaunchCase{"missing_directory",
                                                    Task{.executable = "/bin/true", .directory = "/nonexistent/directory"}, ENOENT},
                                         LaunchCase{"not_executable", Task{.executable = "/dev/null"}, EACCES}),
                         rowName<LaunchCase>);

// Output descriptors that are not a root-owned regular file

class RefusedOutputs : public testing::Test {
 protected:
  // A task that would leave a mark if it ever ran.
  bool run(int output, std::optional<Error> *error) {
    return runBoundedTaskWithOutput(shell("touch " + dir / "ran"), std::nullopt, output, error, 5.0);
  }
  bool ran() const { return access((dir / "ran").c_str(), F_OK) == 0; }
  test::TempDir dir;
};

TEST_F(RefusedOutputs, PipeAndDirectoryNeverStartTheTask) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  platform::Descriptor read_end(pipe_fds[0]), write_end(pipe_fds[1]);
  platform::Descriptor directory(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  for (int fd : {write_end.get(), directory.get()}) {
    std::optional<Error> error;
    EXPECT_FALSE(run(fd, &error));
    EXPECT_FALSE(error);
  }
  EXPECT_FALSE(ran());
}

}  // namespace
}  // namespace vela::helper
