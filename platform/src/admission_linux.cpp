#include "platform/admission.hpp"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <string>
#include <vector>

#include "platform/descriptor.hpp"

namespace vela::platform::admission {

namespace {

// SO_PEERPIDFD (Linux 6.5), newer than this C library's headers.
constexpr int kPeerPidfd = 77;

bool root_only(const struct stat &st) { return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// The file at an absolute path, reached one component at a time without
// following a link, through directories that only root may change.
std::optional<struct stat> root_only_file(std::string_view path) {
  Descriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!current || ::fstat(current.get(), &st) != 0 || !root_only(st) || !path.starts_with('/')) return std::nullopt;
  for (std::string_view rest = path.substr(1);;) {
    auto slash = rest.find('/');
    std::string component(rest.substr(0, slash));
    if (component.empty() || component == "." || component == "..") return std::nullopt;
    current.reset(::openat(current.get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!current || ::fstat(current.get(), &st) != 0 || !root_only(st)) return std::nullopt;
    if (slash == std::string_view::npos) return S_ISREG(st.st_mode) ? std::optional(st) : std::nullopt;
    if (!S_ISDIR(st.st_mode)) return std::nullopt;
    rest = rest.substr(slash + 1);
  }
}

// The pid a process descriptor holds, as its descriptor information shows
// it: nothing for a process that is gone or outside our pid namespace.
std::optional<pid_t> pid_of(int pidfd) {
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
  for (std::string line; std::getline(info, line);) {
    if (!line.starts_with("Pid:")) continue;
    auto digits = line.find_first_not_of(" \t", 4);
    pid_t pid = 0;
    if (digits == std::string::npos ||
        std::from_chars(line.data() + digits, line.data() + line.size(), pid).ec != std::errc())
      return std::nullopt;
    return pid > 0 ? std::optional(pid) : std::nullopt;
  }
  return std::nullopt;
}

// A process descriptor polls readable once its process has exited.
bool still_alive(int pidfd) {
  pollfd poll{.fd = pidfd, .events = POLLIN, .revents = 0};
  return ::poll(&poll, 1, 0) == 0;
}

// The credentials the peer had when it connected.
std::optional<ucred> peer_credentials(int socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials;
}

// The id of a group; nothing for a group that is missing, or whose record
// does not fit the buffer (our groups have no members).
std::optional<gid_t> group_id(std::string_view name) {
  std::string key(name);
  std::vector<char> buffer(16384);
  group entry{}, *found = nullptr;
  if (::getgrnam_r(key.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  return entry.gr_gid;
}

}  // namespace

std::optional<std::uint32_t> peer_euid(int socket) {
  auto credentials = peer_credentials(socket);
  if (!credentials) return std::nullopt;
  return credentials->uid;
}

bool peer_runs(int socket, std::string_view trusted, std::string_view group) {
  auto credentials = peer_credentials(socket);
  auto gid = group_id(group);
  if (!credentials || !gid || credentials->gid != *gid) return false;
  int fd = -1;
  socklen_t size = sizeof fd;
  if (::getsockopt(socket, SOL_SOCKET, kPeerPidfd, &fd, &size) != 0) return false;
  Descriptor pidfd(fd);
  auto pid = pid_of(pidfd.get());
  if (!pid) return false;
  std::string executable = "/proc/" + std::to_string(*pid) + "/exe";
  char target[PATH_MAX];
  ssize_t length = ::readlink(executable.c_str(), target, sizeof target);
  struct stat running {};
  if (length <= 0 || std::string_view(target, static_cast<std::size_t>(length)) != trusted ||
      ::stat(executable.c_str(), &running) != 0 || !still_alive(pidfd.get()))
    return false;
  auto file = root_only_file(trusted);
  return file && file->st_dev == running.st_dev && file->st_ino == running.st_ino;
}

}  // namespace vela::platform::admission
