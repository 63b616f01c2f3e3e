// The install and repair transaction and the request branch that runs it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "request.hpp"

namespace vela::helper {

// The transaction's two staging directories live here, and its lock file
// beside them.
inline constexpr std::string_view VelaStageBase = "/private/var/db/vela-broker-helper/staged";
inline constexpr std::string_view VelaInstallLock = "/private/var/db/vela-broker-helper/install.lock";

// The "install" and "repair" rows of the dispatch table: the request's tests,
// the transaction, the vault copy wiped on every way out, and the reply.
Reply installRequest(std::string_view operation, const Message &request, const PeerState &state);

// True exactly when the new trust state was committed.
bool performV3Install(std::string_view operation, std::string_view archivePath,
                      std::span<const std::uint8_t> envelope, std::span<std::uint8_t> vaultMaterial,
                      std::uint32_t peerEuid, ErrorOut error);

std::optional<std::string> userNameForUID(std::uint32_t uid);

// At start-up, before the first restore, under the install lock (skipped when
// another process holds it): puts the current generation's tree back from its
// newest quarantine when a killed transaction left it missing, and removes
// the staging directories and prepared trees that no transaction owns any
// more. Quarantined and failed trees otherwise stay.
void recoverInterruptedTransactions();

}  // namespace vela::helper
