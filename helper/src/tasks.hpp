// External programs run as bounded tasks: launched as prepared, waited for
// against a deadline, asked to terminate at it, killed, and at last
// abandoned, so that no task holds the daemon for ever.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "errors.hpp"
#include "platform/programs.hpp"

namespace vela::helper {

using platform::Task;

// The search path of every task's environment.
inline constexpr const char *kTaskSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin";

// The waits after the deadline: after asking the task to terminate, and
// after killing it.
struct TaskGrace {
  std::int64_t terminate_ns = 5'000'000'000;
  std::int64_t kill_ns = 5'000'000'000;
};

// Runs the task with standard error on the null device and standard output
// on `output`, a root-owned regular file the caller keeps and must seek back
// in before reading (-1: the null device). Given input bytes become the
// task's standard input. True only when the task ended by itself within
// `seconds` with status 0.
bool runBoundedTaskWithOutput(const Task &task, std::optional<std::span<const std::uint8_t>> input, int output,
                              ErrorOut error, double seconds, TaskGrace grace = {});

// The same with standard output on the null device.
bool runBoundedTask(const Task &task, std::optional<std::span<const std::uint8_t>> input, ErrorOut error,
                    double seconds, TaskGrace grace = {});

}  // namespace vela::helper
