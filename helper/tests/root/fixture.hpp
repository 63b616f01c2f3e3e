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
#include "sandbox_accounts.hpp"
#include "support.hpp"
#include "trust.hpp"
#include "vela_core.h"

namespace vela::helper::test {

using vela::test::run;
using vela::test::ServiceIds;

// The service accounts and the daemon's state directory.
inline ServiceIds makeServiceAccounts() {
  ServiceIds ids = vela::test::makeServiceAccounts();
  if (!ensureRootDirectory(VelaV3State, 0700, nullptr)) throw std::runtime_error("no state directory");
  return ids;
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
