// Signs release manifests with tools/sign-release.mjs: Node's own Ed25519,
// an implementation independent of the library's.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vela::signer {

// The development key (the default of the built-in key set), and the public
// key of a second one that the built-in set does not hold.
inline const std::string kDevKey = VELA_TEST_DATA "/release-dev-key.pem";
inline constexpr std::string_view kDevPublicKey = "tNazstRlelKEhBBKlgXh2gso3bNowWNoBT21mTC1ECA=";
inline constexpr std::string_view kOtherPublicKey = "lqktVnEjFNMMMcTBcHNfTu3IY+RsLFt1qSO04zfpNHY=";

// The second as a manifest timestamp.
inline std::string utc(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The envelope JSON the tool makes of the manifest's bytes, which it reads
// from a memory file, so that it cannot block on this process.
inline std::string sign(std::string_view manifest, const std::string &key = kDevKey) {
  int in = memfd_create("manifest", MFD_CLOEXEC);
  bool ok = in >= 0 && write(in, manifest.data(), manifest.size()) == ssize_t(manifest.size());
  const std::string command = "'" VELA_NODE "' '" VELA_SIGN_TOOL "' --key '" + key + "' /proc/" +
                              std::to_string(getpid()) + "/fd/" + std::to_string(in);
  std::FILE *out = ok ? popen(command.c_str(), "r") : nullptr;
  std::string envelope;
  for (int c; out && (c = std::fgetc(out)) != EOF;) envelope += char(c);
  ok = out && pclose(out) == 0;
  close(in);
  if (!ok) throw std::runtime_error("sign-release failed");
  return envelope;
}

}  // namespace vela::signer
