// Signs release manifests with tools/sign-release.mjs, which uses Node's own
// Ed25519: the signatures the library verifies come from an implementation
// independent of it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

// The envelope JSON the tool makes of the manifest's bytes.
inline std::string sign(std::string_view manifest, const std::string &key = kDevKey,
                        const std::string &key_id = "vela-release-2026") {
  std::signal(SIGPIPE, SIG_IGN);  // a tool that fails early fails the call, not the test
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string node = VELA_NODE, tool = VELA_SIGN_TOOL;
  std::string args[] = {"--key", key, "--key-id", key_id};
  char *argv[] = {node.data(), tool.data(), args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
  pid_t pid;
  int spawned = posix_spawn(&pid, node.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) throw std::runtime_error("cannot start node");
  // The tool reads its whole input before it writes, so this cannot block both.
  for (std::size_t done = 0; done < manifest.size();) {
    ssize_t n = write(in[1], manifest.data() + done, manifest.size() - done);
    if (n < 0 && errno != EINTR) break;
    done += n > 0 ? std::size_t(n) : 0;
  }
  close(in[1]);
  std::string envelope;
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;)
    if (n > 0)
      envelope.append(buffer, std::size_t(n));
    else if (errno != EINTR)
      break;
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("sign-release failed");
  return envelope;
}

}  // namespace vela::signer
