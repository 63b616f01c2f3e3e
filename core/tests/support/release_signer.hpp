// Signs release manifests with tools/sign-release.mjs, which uses Node's own
// Ed25519: the signatures the library verifies come from an implementation
// independent of it.
#pragma once

#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vela::signer {

// The development key (the default of the built-in key set) and a second key
// that the built-in set does not hold.
inline const std::string kDevKey = VELA_TEST_DATA "/release-dev-key.pem";
inline constexpr std::string_view kDevPublicKey = "tNazstRlelKEhBBKlgXh2gso3bNowWNoBT21mTC1ECA=";
inline const std::string kOtherKey = VELA_TEST_DATA "/release-other-key.pem";
inline constexpr std::string_view kOtherPublicKey = "lqktVnEjFNMMMcTBcHNfTu3IY+RsLFt1qSO04zfpNHY=";

// The second as a manifest timestamp.
inline std::string utc(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The envelope JSON the tool makes of the manifest's bytes. Both pass through
// memory files, so neither side can block on the other.
inline std::string sign(std::string_view manifest, const std::string &key = kDevKey,
                        const std::string &key_id = "vela-release-2026") {
  int in = memfd_create("manifest", MFD_CLOEXEC), out = memfd_create("envelope", MFD_CLOEXEC);
  bool ok = in >= 0 && out >= 0 && write(in, manifest.data(), manifest.size()) == ssize_t(manifest.size()) &&
            lseek(in, 0, SEEK_SET) == 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  std::string node = VELA_NODE, tool = VELA_SIGN_TOOL;
  std::string args[] = {"--key", key, "--key-id", key_id};
  char *argv[] = {node.data(), tool.data(), args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
  pid_t pid;
  int status = -1;
  if (ok && posix_spawn(&pid, node.c_str(), &actions, nullptr, argv, environ) == 0)
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  posix_spawn_file_actions_destroy(&actions);
  std::string envelope(ok ? std::max<off_t>(lseek(out, 0, SEEK_END), 0) : 0, '\0');
  ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
       pread(out, envelope.data(), envelope.size(), 0) == ssize_t(envelope.size());
  close(in);
  close(out);
  if (!ok) throw std::runtime_error("sign-release failed");
  return envelope;
}

}  // namespace vela::signer
