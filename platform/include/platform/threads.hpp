// Short-lived threads of the daemon that change something about themselves
// for one piece of work (their mount namespace, the identity they reach
// files with) so that no other thread of the daemon ever sees the change.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vela::platform {

// Runs `work` on a thread of its own, waits for it, and gives its result.
template <class Work>
std::invoke_result_t<Work &> on_own_thread(Work work) {
  std::optional<std::invoke_result_t<Work &>> result;
  std::thread([&] { result.emplace(work()); }).join();
  return std::move(*result);
}

// How a user reaches files, as the account database tells it: the user, its
// primary group and every group it belongs to.
struct FileIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups{};
};

// The named user's identity; nothing for an unknown user.
std::optional<FileIdentity> file_identity(std::string_view user);

// Makes the calling thread, and it alone, reach files as `identity` does:
// its file-system user and group and its supplementary groups, root's
// file-access capabilities gone with them. Meant for a thread of its own
// (on_own_thread) that ends with its work. 0 or an errno value.
int take_file_identity(const FileIdentity &identity);

}  // namespace vela::platform
