#include "platform/programs.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/wait.h>

#include <memory>

#include "platform/processes.hpp"
#include "platform/threads.hpp"

namespace vela::platform {

namespace {

// A descriptor at 3 or above, so that placing the three streams over 0, 1
// and 2 in order never overwrites one that is still to be placed.
std::expected<Descriptor, int> above_standard_streams(int fd) {
  Descriptor copy(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!copy) return std::unexpected(errno);
  return copy;
}

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct Attributes {
  posix_spawnattr_t attributes;
  Attributes() { posix_spawnattr_init(&attributes); }
  ~Attributes() { posix_spawnattr_destroy(&attributes); }
};

// Every signal at its default action and none blocked: the caller may ignore
// SIGTERM, and a task must still end when asked to. A process group of its
// own, so that the task's children end with it.
int prepare(posix_spawnattr_t &attributes) {
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  if (int rc = posix_spawnattr_setsigdefault(&attributes, &all)) return rc;
  if (int rc = posix_spawnattr_setsigmask(&attributes, &none)) return rc;
  if (int rc = posix_spawnattr_setpgroup(&attributes, 0)) return rc;
  return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> list;
  for (auto &text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

}  // namespace

bool Process::wait_until(std::int64_t deadline_ns) {
  if (ended_) return true;
  if (!await_exit(pidfd_.get(), deadline_ns)) return false;
  siginfo_t info{};
  if (waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED) != 0) return false;
  status_ = info.si_status;  // the exit status, or the signal for CLD_KILLED and CLD_DUMPED
  ended_ = true;
  return true;
}

// The task leads its group until it is reaped, so the group's number names
// no other process meanwhile.
void Process::signal(int number) const {
  if (!ended_) kill(-pid_, number);
}

namespace {

std::expected<Process, int> spawn(const Task &task, Streams streams) {
  Descriptor null_device(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null_device) return std::unexpected(errno);
  FileActions files;
  int target = 0;
  std::vector<Descriptor> sources;
  for (int fd : {streams.input, streams.output, streams.error}) {
    auto source = above_standard_streams(fd >= 0 ? fd : null_device.get());
    if (!source) return std::unexpected(source.error());
    if (int rc = posix_spawn_file_actions_adddup2(&files.actions, source->get(), target++)) return std::unexpected(rc);
    sources.push_back(std::move(*source));
  }
  if (!task.directory.empty())
    if (int rc = posix_spawn_file_actions_addchdir_np(&files.actions, task.directory.c_str()))
      return std::unexpected(rc);
  if (int rc = posix_spawn_file_actions_addclosefrom_np(&files.actions, 3)) return std::unexpected(rc);
  Attributes attributes;
  if (int rc = prepare(attributes.attributes)) return std::unexpected(rc);

  std::vector<std::string> argv{task.executable};
  argv.insert(argv.end(), task.arguments.begin(), task.arguments.end());
  std::vector<std::string> envp;
  for (const auto &[name, value] : task.environment) envp.push_back(name + "=" + value);
  pid_t pid = 0;
  if (int rc = posix_spawn(&pid, task.executable.c_str(), &files.actions, &attributes.attributes,
                           pointers(argv).data(), pointers(envp).data()))
    return std::unexpected(rc);

  // The child is not reaped yet, so its pid cannot name another process.
  Descriptor pidfd(pidfd_open(pid, 0));
  if (!pidfd) {
    int error = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return std::unexpected(error);
  }
  return Process(pid, std::move(pidfd));
}

// Gives the calling thread a mount namespace of its own in which every mount
// is read-only but a bind mount of `directory`; the programs it starts
// inherit that view. 0 or an errno value.
int confine_writes(const std::string &directory) {
  mount_attr readonly{.attr_set = MOUNT_ATTR_RDONLY, .attr_clr = 0, .propagation = 0, .userns_fd = 0};
  mount_attr writable{.attr_set = MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID, .attr_clr = MOUNT_ATTR_RDONLY,
                      .propagation = 0, .userns_fd = 0};
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &readonly, sizeof readonly) != 0 ||
      mount_setattr(AT_FDCWD, directory.c_str(), 0, &writable, sizeof writable) != 0)
    return errno;
  return 0;
}

}  // namespace

std::expected<Process, int> launch(const Task &task, Streams streams) {
  if (task.writable_directory.empty()) return spawn(task, streams);
  // A thread of its own enters the confined view, so the daemon never does.
  return on_own_thread([&]() -> std::expected<Process, int> {
    int error = confine_writes(task.writable_directory);
    return error != 0 ? std::unexpected(error) : spawn(task, streams);
  });
}

int close_on_exec_from(unsigned lowest) noexcept {
  return close_range(lowest, ~0U, CLOSE_RANGE_CLOEXEC) == 0 ? 0 : errno;
}

std::expected<Descriptor, int> input_file(std::span<const std::uint8_t> bytes) {
  Descriptor file(memfd_create("task-input", MFD_CLOEXEC));
  if (!file) return std::unexpected(errno);
  if (int e = write_all(file.get(), bytes)) return std::unexpected(e);
  if (lseek(file.get(), 0, SEEK_SET) != 0) return std::unexpected(errno);
  return file;
}

}  // namespace vela::platform
