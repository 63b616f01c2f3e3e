#include "tasks.hpp"

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/clocks.hpp"

namespace vela::helper {

namespace {

constexpr std::int64_t kTaskDeadlineCode = 60;

bool rootOwnedFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0;
}

// Seconds as nanoseconds, truncated; nothing negative and nothing that
// overflows the clock (a century is a deadline that never comes).
std::int64_t nanoseconds(double seconds) {
  constexpr double kCentury = 100.0 * 365 * 24 * 3600;
  if (!(seconds > 0)) return 0;
  return static_cast<std::int64_t>(std::fmin(seconds, kCentury) * 1e9);
}

bool waitFor(platform::Process &process, std::int64_t duration_ns) {
  return process.wait_until(platform::uptime_ns() + duration_ns);
}

bool launchFailure(ErrorOut error, const Task &task, int code) {
  setError(error, {kPosixDomain, code, "privileged broker task could not be launched: " + task.executable + ": " +
                                           std::strerror(code)});
  return false;
}

// Past the deadline: asks the task to terminate, then kills it, and gives
// up on it when even that does not end it.
bool escalate(platform::Process &process, ErrorOut error, TaskGrace grace) {
  process.signal(SIGTERM);
  bool ended = waitFor(process, grace.terminate_ns);
  if (!ended) {
    process.signal(SIGKILL);
    ended = waitFor(process, grace.kill_ns);
  }
  setError(error, {kHelperDomain, kTaskDeadlineCode,
                   ended ? "privileged broker task exceeded its bounded execution time"
                         : "privileged broker task did not terminate after its deadline"});
  return false;
}

}  // namespace

bool runBoundedTaskWithOutput(const Task &task, std::optional<std::span<const std::uint8_t>> input, int output,
                              ErrorOut error, double seconds, TaskGrace grace) {
  if (output >= 0 && !rootOwnedFile(output)) return false;
  platform::Streams streams{task.standard_input, output, -1};
  platform::Descriptor inputFile;
  if (input) {
    auto file = platform::input_file(*input);
    if (!file) return launchFailure(error, task, file.error());
    inputFile = std::move(*file);
    streams.input = inputFile.get();
  }
  auto process = platform::launch(task, streams);
  inputFile.reset();
  if (!process) return launchFailure(error, task, process.error());
  if (!waitFor(*process, nanoseconds(seconds))) return escalate(*process, error, grace);
  int status = process->termination_status();
  if (status == 0) return true;
  setError(error, {kHelperDomain, status, "privileged broker task failed with exit status " + std::to_string(status)});
  return false;
}

bool runBoundedTask(const Task &task, std::optional<std::span<const std::uint8_t>> input, ErrorOut error,
                    double seconds, TaskGrace grace) {
  return runBoundedTaskWithOutput(task, input, -1, error, seconds, grace);
}

}  // namespace vela::helper
