#include "platform/threads.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vela::platform {

namespace {

// Every group the user belongs to, the primary one included.
std::optional<std::vector<gid_t>> groups_of(const char *name, gid_t primary) {
  std::vector<gid_t> groups(32);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(name, primary, groups.data(), &count) < 0) {
    // Too few places: count now says how many groups there are.
    if (count <= static_cast<int>(groups.size())) return std::nullopt;
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

}  // namespace

std::optional<FileIdentity> file_identity(std::string_view user) {
  std::vector<char> buffer(16'384);
  passwd entry{}, *found = nullptr;
  if (getpwnam_r(std::string(user).c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  auto groups = groups_of(found->pw_name, found->pw_gid);
  if (!groups) return std::nullopt;
  return FileIdentity{found->pw_uid, found->pw_gid, std::move(*groups)};
}

// The system calls themselves: glibc's wrappers of setgroups (and of the
// set*id family) change every thread of the process.
int take_file_identity(const FileIdentity &identity) {
  if (syscall(SYS_setgroups, identity.groups.size(), identity.groups.data()) != 0) return errno;
  syscall(SYS_setfsgid, identity.gid);
  syscall(SYS_setfsuid, identity.uid);
  // Neither reports a failure; asked again, each answers the id in force.
  if (syscall(SYS_setfsgid, identity.gid) != static_cast<long>(identity.gid) ||
      syscall(SYS_setfsuid, identity.uid) != static_cast<long>(identity.uid))
    return EPERM;
  return 0;
}

}  // namespace vela::platform
