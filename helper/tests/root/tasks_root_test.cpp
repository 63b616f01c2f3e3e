#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "platform/clocks.hpp"
#include "support.hpp"
#include "tasks.hpp"

namespace vela::helper {
namespace {

// An unnamed root-owned file, as the daemon hands one to a task for its output.
platform::Descriptor outputFile() {
  return platform::Descriptor(open("/private", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}
std::string written(int file) { return test::readFile("/proc/self/fd/" + std::to_string(file)); }

// A large input never blocks the task; the caller's descriptor is left at the output's end.
TEST(Tasks, OutputIsWhatTheTaskWrites) {
  auto file = outputFile();
  const std::string input(1 << 20, 'z');
  std::optional<Error> error;
  EXPECT_TRUE(runBoundedTaskWithOutput({.executable = "/usr/bin/head", .arguments = {"-c", "3"}}, test::bytes(input),
                                       file.get(), &error, 5.0));
  EXPECT_FALSE(error);
  EXPECT_EQ(lseek(file.get(), 0, SEEK_CUR), 3);
  EXPECT_EQ(written(file.get()), "zzz");
}

TEST(Tasks, OutputOtherThanARootOwnedFileNeverStartsTheTask) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  platform::Descriptor read_end(ends[0]), write_end(ends[1]), foreign = outputFile();
  ASSERT_EQ(fchown(foreign.get(), 1234, 1234), 0);
  for (int fd : {write_end.get(), foreign.get()}) {
    std::optional<Error> error;
    EXPECT_FALSE(runBoundedTaskWithOutput({.executable = "/usr/bin/touch", .arguments = {"/private/ran"}},
                                          std::nullopt, fd, &error, 5.0));
    EXPECT_FALSE(error);
  }
  EXPECT_NE(access("/private/ran", F_OK), 0);
}

// What the task started ends with it at the deadline: nothing writes to the file afterwards.
TEST(Tasks, TaskChildrenEndAtTheDeadline) {
  auto file = outputFile();
  EXPECT_FALSE(runBoundedTaskWithOutput({.executable = "/bin/sh", .arguments = {"-c", "(sleep 0.4; echo late) & sleep 30"}},
                                        std::nullopt, file.get(), nullptr, 0.2));
  usleep(600'000);
  EXPECT_EQ(written(file.get()), "");
}

// Switches this process's permission to signal other users' processes.
bool allowKilling(bool allowed) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective = allowed ? data[0].effective | 1u << CAP_KILL : data[0].effective & ~(1u << CAP_KILL);
  return syscall(SYS_capset, &header, data) == 0;
}

// Another user's task, which this process may not signal, survives SIGTERM and SIGKILL.
TEST(Tasks, TaskThatOutlivesTheKillIsAbandonedInBoundedTime) {
  Task task{.executable = "/usr/bin/setpriv",
            .arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c", "echo $$; exec sleep 30"},
            .environment = {{"PATH", "/usr/bin:/bin"}}};
  auto file = outputFile();
  ASSERT_TRUE(allowKilling(false));
  std::optional<Error> error;
  auto start = platform::uptime_ns();
  bool ok = runBoundedTaskWithOutput(task, std::nullopt, file.get(), &error, 0.3, {300'000'000, 300'000'000});
  double elapsed = static_cast<double>(platform::uptime_ns() - start) / 1e9;
  ASSERT_TRUE(allowKilling(true));
  pid_t pid = std::stoi(written(file.get()));
  EXPECT_EQ(kill(pid, SIGKILL), 0) << "the task still ran";
  waitpid(pid, nullptr, 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, (Error{kHelperDomain, 60, "privileged broker task did not terminate after its deadline"}));
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 3.0);
}

}  // namespace
}  // namespace vela::helper
