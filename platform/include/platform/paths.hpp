// Every program and installed file the daemon reaches by a built-in path,
// one line each with why it is there.
#pragma once

#include <string_view>

namespace vela::platform::paths {

// GNU tar, which every Debian system has at this path.
inline constexpr std::string_view kTar = "/usr/bin/tar";
// The POSIX shell that runs the runtime's account script.
inline constexpr std::string_view kShell = "/bin/sh";
// Debian keeps chown in /usr/bin (the designed-for /usr/sbin/chown is absent).
inline constexpr std::string_view kChown = "/usr/bin/chown";
// Directory-service group records: our stand-in for /usr/bin/dscl, installed with the daemon.
inline constexpr std::string_view kDscl = VELA_LIBEXEC_DIR "/dscl";
// Group membership edits: our stand-in for /usr/sbin/dseditgroup, installed with the daemon.
inline constexpr std::string_view kDseditgroup = VELA_LIBEXEC_DIR "/dseditgroup";
// Service-manager job removal: our stand-in for /bin/launchctl, installed with the daemon.
inline constexpr std::string_view kLaunchctl = VELA_LIBEXEC_DIR "/launchctl";
// The service "org.velabox.broker-helper": its socket, in a directory only root may change.
inline constexpr std::string_view kService = "/run/org.velabox.broker-helper";
// The one executable admitted as the desktop client (the signing requirement's stand-in).
inline constexpr std::string_view kTrustedClient = VELA_BIN_DIR "/vela-helper-client";
// The trusted client's own group, made at install (sysusers.d): the client is
// set-group-id to it, and no other process runs with it.
inline constexpr std::string_view kClientGroup = "_velaclient";

}  // namespace vela::platform::paths
