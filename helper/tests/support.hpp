// Small tools shared by the daemon's tests.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"

namespace vela::helper {

inline void PrintTo(const Error &e, std::ostream *os) {
  *os << "(" << e.domain << ", " << e.code << ", \"" << e.message << "\")";
}

// Table rows print as their names; a test file names this in its own
// namespace (using helper::PrintTo) for the rows declared there.
template <class Row>
  requires requires(const Row &row) { std::string_view(row.name); }
void PrintTo(const Row &row, std::ostream *os) {
  *os << row.name;
}

template <class Row>
std::string rowName(const testing::TestParamInfo<Row> &info) {
  return info.param.name;
}

}  // namespace vela::helper

namespace vela::helper::test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  explicit TempDir(std::string base = "/tmp") {
    std::string pattern = base + "/vela-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

inline void writeFile(const std::string &path, std::string_view content, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string &path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline std::vector<std::string> directoryNames(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
  return names;
}

// Runs `body` in a child process under another user and group; gives the
// child's exit status (its result), or -1 if it did not exit normally.
inline int runAs(uid_t uid, gid_t gid, const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vela::helper::test
