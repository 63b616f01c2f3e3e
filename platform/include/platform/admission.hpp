// Who is at the other end of a local stream socket, as the kernel saw the
// peer when it connected.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vela::platform::admission {

// The effective user id the peer had when it connected.
std::optional<std::uint32_t> peer_euid(int socket);

// The stand-in for a code-signing requirement, failing closed: true only
// when the peer connected with `group` (looked up by name) as its effective
// group, and its process, pinned by a process descriptor, runs the very file
// at `trusted` (an absolute path, matched exactly), a regular one of root's
// that group and others cannot write, and every directory on its path is
// root's and not writable by group or others. The trusted file is
// set-group-id to a group of its own: the loader of a process that gains the
// group this way ignores LD_PRELOAD and its kind, and its user can neither
// trace it nor take its descriptors; a process that connected before it
// executed the file connected without the group. The process is read
// through its pid and counts only if it is still alive afterwards, so a
// reused pid is never taken for the peer.
bool peer_runs(int socket, std::string_view trusted, std::string_view group);

}  // namespace vela::platform::admission
