// The installed daemon and its client, run as a host runs them, for the
// tests in the sandbox.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/descriptor.hpp"
#include "platform/ipc_client.hpp"
#include "platform/paths.hpp"
#include "support.hpp"

namespace vela::helper::test {

const std::string kDaemon = VELA_BIN_DIR "/vela-broker-helper";
const std::string kClient(platform::paths::kTrustedClient);
constexpr uid_t kUser = 300;

// The client's exit statuses.
enum ClientExit { kAllOk, kNotOk, kUsage, kRefused, kConnection };

// Makes this process the given user's, with that id as its group and no others.
inline bool becomeUser(uid_t uid) {
  return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
}

// Starts a program as the given user (root for 0).
inline pid_t spawn(const std::string &program, uid_t uid) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid != 0 && !becomeUser(uid)) _exit(126);
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

// The exit status of a child; -1 while it still runs after `seconds`.
inline int exitStatus(pid_t pid, int seconds = 10) {
  for (int tick = 0; tick < seconds * 100; ++tick, usleep(10'000)) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return -1;
}

// Waits up to 10 seconds for the daemon to accept connections.
inline bool listening() {
  for (int tick = 0; tick < 1000; ++tick, usleep(10'000))
    if (platform::ipc::connect_service(platform::paths::kService)) return true;
  return false;
}

// The command line that runs a program as a non-root user by default.
inline std::string asUser(const std::string &program, uid_t uid = kUser) {
  auto id = std::to_string(uid);
  return "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " + program + " ";
}

using Output = std::pair<int, std::string>;  // exit status, standard output

// The rest of a command's output, after `text`, and its exit status.
inline Output finish(FILE *pipe, std::string text = {}) {
  char chunk[4096];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  int status = pclose(pipe);
  return {WEXITSTATUS(status), text};
}

inline Output outputOf(const std::string &command) { return finish(popen((command + " 2>/dev/null").c_str(), "r")); }

// A field of a process's status, in bytes (the kernel counts in KiB).
inline std::size_t statusBytes(pid_t pid, const std::string &field) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string word; status >> word;)
    if (word == field + ":" && status >> word) return std::stoul(word) << 10;
  return 0;
}

// Waits, up to 10 seconds, until the process is in the system call that its
// /proc/PID/syscall line begins with; throws `never` otherwise.
inline void awaitCall(pid_t pid, const std::string &call, const char *never) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  for (int tick = 0; !readFile(path).starts_with(call); ++tick, usleep(10'000))
    if (tick == 1000) throw std::runtime_error(never);
}

// The client run as the user, its standard output a full pipe: once made, it
// waits in writing its first reply, its connection open, until `finish` reads.
class StalledClient {
 public:
  explicit StalledClient(const std::string &requests, uid_t uid = kUser) {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    output_.reset(ends[0]);
    platform::Descriptor input(ends[1]);
    filler_ = std::string(static_cast<std::size_t>(fcntl(input.get(), F_SETPIPE_SZ, 4096)), '.');
    if (write(input.get(), filler_.data(), filler_.size()) != static_cast<ssize_t>(filler_.size()))
      throw std::runtime_error("pipe not filled");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(input.get(), 1);
      execl("/bin/sh", "sh", "-c", ("exec " + asUser(kClient, uid) + requests).c_str(), nullptr);
      _exit(127);
    }
    awaitCall(pid_, std::to_string(SYS_write) + " 0x1 ", "the client never wrote");  // write(1, ...)
  }
  pid_t pid() const { return pid_; }
  // Its exit status and what it wrote, once it has ended.
  Output finish() {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(output_.get(), chunk, sizeof chunk)) > 0;)
      text.append(chunk, static_cast<std::size_t>(n));
    return {exitStatus(pid_), text.substr(filler_.size())};
  }

 private:
  platform::Descriptor output_;
  std::string filler_;
  pid_t pid_ = -1;
};

// The client run as the user, its output discarded, stopped (as a
// terminal's stop key stops it) once it waits for a reply: whatever the
// daemon sends it stays unread until `resume`.
class StoppedClient {
 public:
  explicit StoppedClient(const std::string &requests, uid_t uid = kUser) {
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + asUser(kClient, uid) + requests + " >/dev/null").c_str(), nullptr);
      _exit(127);
    }
    awaitCall(pid_, std::to_string(SYS_recvfrom) + " ", "the client never waited for a reply");
    kill(pid_, SIGSTOP);
  }
  StoppedClient(const StoppedClient &) = delete;
  StoppedClient &operator=(const StoppedClient &) = delete;
  ~StoppedClient() {
    if (pid_ < 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  void resume() { kill(pid_, SIGCONT); }
  // Its exit status, once resumed; -1 while it still runs after a minute.
  int finish() {
    int status = exitStatus(pid_, 60);
    if (status != -1) pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// A test with the daemon running as root, listening.
class Daemon : public testing::Test {
 protected:
  void SetUp() override {
    daemon_ = spawn(kDaemon, 0);
    ASSERT_TRUE(listening());
  }
  void TearDown() override {
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
  }
  pid_t daemon_ = -1;
};

}  // namespace vela::helper::test
