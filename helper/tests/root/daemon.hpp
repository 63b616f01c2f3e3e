// The installed daemon and its client, run as a host runs them, for the
// tests in the sandbox.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/ipc_client.hpp"
#include "platform/paths.hpp"

namespace vela::helper::test {

const std::string kDaemon = VELA_BIN_DIR "/vela-broker-helper";
const std::string kClient(platform::paths::kTrustedClient);
constexpr uid_t kUser = 300;

// The client's exit statuses.
enum ClientExit { kAllOk, kNotOk, kUsage, kRefused, kConnection };

// Starts a program as the given user (root for 0).
inline pid_t spawn(const std::string &program, uid_t uid) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(126);
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

// The exit status of a child; -1 while it still runs after 10 seconds.
inline int exitStatus(pid_t pid) {
  for (int tick = 0; tick < 1000; ++tick, usleep(10'000)) {
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

// Clients of one user, each holding its connection once it was answered:
// its second request waits for data from a FIFO that nothing writes.
struct HeldConnections {
  HeldConnections(uid_t uid, int count) {
    const std::string fifo = "/private/fifo-" + std::to_string(uid);
    EXPECT_TRUE(mkfifo(fifo.c_str(), 0600) == 0 && chown(fifo.c_str(), uid, uid) == 0);
    const std::string command = "echo $$; exec " + asUser(kClient, uid) + "status -- send u:protocolVersion=3 d:x=";
    for (int i = 0; i < count; ++i) clients.push_back(popen((command + fifo).c_str(), "r"));
    char line[4096];
    for (FILE *client : clients) {
      pids.push_back(std::atoi(fgets(line, sizeof line, client)));
      admitted += fgets(line, sizeof line, client) != nullptr;
    }
  }
  ~HeldConnections() {
    for (std::size_t i = 0; i < clients.size(); ++i) {
      if (pids[i] > 0) kill(pids[i], SIGKILL);
      pclose(clients[i]);
    }
  }
  std::vector<FILE *> clients;  // their standard output, after their pid
  std::vector<pid_t> pids;
  int admitted = 0;  // answered
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
