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

using helper::PrintTo;  // rows print as their names

constexpr const char *kPath = "/usr/bin:/bin:/usr/sbin:/sbin";
constexpr std::int64_t kMs = 1'000'000;

// A root-owned output file, as the daemon hands one to a task.
class OutputFile : public testing::Test {
 protected:
  void SetUp() override {
    file = platform::Descriptor(open((dir / "output").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
  }
  std::string written() const {
    std::string text(4096, '\0');
    ssize_t n = pread(file.get(), text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
  }
  test::TempDir dir;
  platform::Descriptor file;
};

struct OutputCase {
  const char *name;
  std::function<Task(const test::TempDir &)> task;
  std::optional<std::string> input;
  std::function<std::string(const test::TempDir &)> expected;
};

class TaskOutputs : public OutputFile, public testing::WithParamInterface<OutputCase> {};

TEST_P(TaskOutputs, Written) {
  const auto &c = GetParam();
  auto input = c.input ? std::optional(test::bytes(*c.input)) : std::nullopt;
  std::optional<Error> error;
  Task task = c.task(dir);
  EXPECT_TRUE(runBoundedTaskWithOutput(task, input ? std::optional<std::span<const std::uint8_t>>(*input)
                                                   : std::nullopt,
                                       file.get(), &error, 5.0));
  platform::Descriptor borrowed(task.standard_input);
  EXPECT_FALSE(error);
  EXPECT_EQ(written(), c.expected(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, TaskOutputs,
    testing::Values(
        OutputCase{"exact_environment",
                   [](const auto &) {
                     return Task{.executable = "/usr/bin/env", .environment = {{"PATH", kPath}, {"VELA_X", "1"}}};
                   },
                   std::nullopt, [](const auto &) { return std::string("PATH=") + kPath + "\nVELA_X=1\n"; }},
        OutputCase{"arguments_as_given",
                   [](const auto &) {
                     return Task{.executable = "/usr/bin/printf", .arguments = {"%s|", "a b", "", "c"}};
                   },
                   std::nullopt, [](const auto &) { return std::string("a b||c|"); }},
        OutputCase{"working_directory",
                   [](const test::TempDir &d) { return Task{.executable = "/bin/pwd", .directory = d.path()}; },
                   std::nullopt, [](const test::TempDir &d) { return d.path() + "\n"; }},
        OutputCase{"input_bytes", [](const auto &) { return Task{.executable = "/bin/cat"}; }, "given input",
                   [](const auto &) { return std::string("given input"); }},
        OutputCase{"large_input_never_blocks",
                   [](const auto &) { return Task{.executable = "/usr/bin/head", .arguments = {"-c", "3"}}; },
                   std::string(1 << 20, 'z'), [](const auto &) { return std::string("zzz"); }},
        OutputCase{"caller_standard_input",
                   [](const test::TempDir &d) {
                     test::writeFile(d / "input", "from a file");
                     return Task{.executable = "/bin/cat", .standard_input = open((d / "input").c_str(), O_RDONLY)};
                   },
                   std::nullopt, [](const auto &) { return std::string("from a file"); }},
        OutputCase{"no_standard_input", [](const auto &) { return Task{.executable = "/bin/cat"}; }, std::nullopt,
                   [](const auto &) { return std::string(); }}),
    rowName<OutputCase>);

TEST_F(OutputFile, CallerDescriptorIsLeftAtTheEndOfTheOutput) {
  ASSERT_TRUE(runBoundedTaskWithOutput(Task{.executable = "/usr/bin/printf", .arguments = {"hello"}}, std::nullopt,
                                       file.get(), nullptr, 5.0));
  char byte;
  EXPECT_EQ(read(file.get(), &byte, 1), 0);
  ASSERT_EQ(lseek(file.get(), 0, SEEK_SET), 0);
  EXPECT_EQ(written(), "hello");
}

TEST_F(OutputFile, FileOfAnotherUserNeverStartsTheTask) {
  ASSERT_EQ(fchown(file.get(), 1234, 1234), 0);
  std::optional<Error> error;
  Task task{.executable = "/usr/bin/touch", .arguments = {dir / "ran"}};
  EXPECT_FALSE(runBoundedTaskWithOutput(task, std::nullopt, file.get(), &error, 5.0));
  EXPECT_FALSE(error);
  EXPECT_NE(access((dir / "ran").c_str(), F_OK), 0);
}

// Switches this process's permission to signal other users' processes.
bool allowKilling(bool allowed) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  if (allowed)
    data[0].effective |= 1u << CAP_KILL;
  else
    data[0].effective &= ~(1u << CAP_KILL);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(OutputFile, TaskThatOutlivesTheKillIsAbandonedInBoundedTime) {
  // The task runs as another user and this process may not signal it, so
  // neither SIGTERM nor SIGKILL reaches it: to the runner it survives both.
  Task task{.executable = "/usr/bin/setpriv",
            .arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c", "echo $$; exec sleep 30"},
            .environment = {{"PATH", kPath}}};
  ASSERT_TRUE(allowKilling(false));
  std::optional<Error> error;
  auto start = platform::uptime_ns();
  bool ok = runBoundedTaskWithOutput(task, std::nullopt, file.get(), &error, 0.3, {300 * kMs, 300 * kMs});
  double elapsed = static_cast<double>(platform::uptime_ns() - start) / 1e9;
  ASSERT_TRUE(allowKilling(true));

  pid_t pid = std::stoi(written());
  EXPECT_EQ(kill(pid, 0), 0) << "the task still runs";
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);

  EXPECT_FALSE(ok);
  EXPECT_EQ(error, (Error{kHelperDomain, 60, "privileged broker task did not terminate after its deadline"}));
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 3.0);
}

}  // namespace
}  // namespace vela::helper
