// Root state for the daemon's tests in the sandbox: service accounts, and a
// generation installed by hand as an install leaves it.
#pragma once

#include <fcntl.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "activation.hpp"
#include "credentials.hpp"
#include "files.hpp"
#include "support.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper::test {

struct ServiceIds {
  std::uint32_t brokerUid, brokerGid, agentGid, controlGid;
};

inline void run(const std::string &command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// `_velabroker`, `_velaagent`, `_velacontrol` (ids n, n+100, n+200 for a
// byte n of a lock file that every test running a broker holds: the kernel
// counts a uid's processes across sandboxes) and the daemon's state directory.
inline ServiceIds makeServiceAccounts() {
  const int locks = open("/tmp/vela-test-ids.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  for (unsigned n = 200; locks >= 0 && n < 300; ++n) {
    struct flock slot {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = n, .l_len = 1, .l_pid = 0};
    if (fcntl(locks, F_SETLK, &slot) != 0) continue;
    const std::string id = std::to_string(n);
    run("groupadd -g " + id + " _velabroker && groupadd -g " + std::to_string(n + 100) + " _velaagent && groupadd -g " +
        std::to_string(n + 200) + " _velacontrol && useradd -M -N -s /usr/bin/false -d /var/empty -u " + id + " -g " +
        id + " _velabroker 2>/dev/null");
    if (!ensureRootDirectory(VelaV3State, 0700, nullptr)) throw std::runtime_error("no state directory");
    return {n, n, n + 100, n + 200};
  }
  throw std::runtime_error("no free service ids");
}

struct Generation {
  std::string digest, version, root;

  Json release() const { return {{"channel", "stable"}, {"version", version}, {"archiveSha256", digest},
                                 {"archiveBytes", 1}, {"notBeforeMs", 0}}; }
};

// A runtime of tools/make-runtime.mjs (with `options`) as the generation
// `digest`: the core's custody copy and its inventory, owned by root and the
// broker group, the broker's `.activation` directory, and credentials.
inline Generation installGeneration(const ServiceIds &ids, const std::string &options = "",
                                    const std::string &digest = std::string(16, 'c') + std::string(48, '5'),
                                    const std::string &version = "1.0.0") {
  const std::string source = "/private/runtime-" + digest, root = std::string(VelaV3Versions) + "/" + digest;
  const std::string group = std::to_string(ids.brokerGid), custody = "/private/var/db/vela-broker-custody";
  run("node '" VELA_SOURCE_DIR "/tools/make-runtime.mjs' --out " + source + " --version " + version + " " + options);
  run("mkdir -p " + root + " && chown root:" + group + " " + custody + " " + custody + "/versions && chmod 0750 " +
      custody + " " + custody + "/versions");
  const std::string inventory = readFile(source + "/mac-broker-inventory.json");
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(inventory.data());
  if (vela_core_copy_inventory(source.c_str(), root.c_str(), bytes, inventory.size(), version.c_str()) != 0)
    throw std::runtime_error("custody copy failed");
  writeFile(root + "/.custody-inventory.json", inventory);
  run("chown -R root:" + group + " " + root + " && chmod 0750 " + root + " && mkdir -m 0700 " + root +
      "/.activation && chown " + std::to_string(ids.brokerUid) + ":" + group + " " + root + "/.activation");
  const std::string credentials = R"({"activationKey":")" + std::string(64, 'a') + R"(","launchSecret":")" +
                                  std::string(64, 'b') + R"("})";
  if (!VelaStoreServiceCredentials(digest, test::bytes(credentials), nullptr)) throw std::runtime_error("no store");
  return {digest, version, root};
}

// The trust state with the generation accepted on its channel and current.
inline void makeCurrent(const Generation &generation) {
  const Json release = generation.release();
  const auto state = Json{{"schemaVersion", 3}, {"channels", {{"stable", release}}}, {"current", release}}.dump();
  if (!atomicRootData(VelaV3State, VelaTrustStateName, bytes(state), nullptr)) throw std::runtime_error("no state");
}

}  // namespace vela::helper::test
