#include "service.hpp"

#include <array>
#include <cstring>
#include <utility>

#include "foreground.hpp"
#include "install.hpp"
#include "platform/admission.hpp"
#include "platform/paths.hpp"
#include "vela_core.h"

namespace vela::helper {

namespace {

constexpr std::uint64_t kProtocolVersion = 3;

// Every row takes the operation's name, the request and the connection's
// state to the reply.
using Handler = Reply (*)(std::string_view operation, const Message &request, PeerState &state);

Reply status(std::string_view, const Message &request, PeerState &) { return statusOperation(request); }
Reply channelStatus(std::string_view, const Message &request, PeerState &) {
  return foregroundStatusOperation(request);
}
Reply installOrRepair(std::string_view operation, const Message &request, PeerState &state) {
  return installRequest(operation, request, state);
}

// One row per operation, in the order the dispatcher tries them.
constexpr std::pair<std::string_view, Handler> kOperations[] = {
    {"status", status},
    {"foreground_open", foregroundChannelOperation},
    {"foreground_current", foregroundChannelOperation},
    {"foreground_asset", foregroundChannelOperation},
    {"foreground_status", channelStatus},
    {"install", installOrRepair},
    {"repair", installOrRepair},
};

}  // namespace

bool validatePeer(platform::ipc::Connection &connection, std::uint32_t &peerEuid) {
  // The code-signing requirement's stand-in: the trusted client's group and executable.
  if (!platform::admission::peer_runs(connection.native_handle(), platform::paths::kTrustedClient,
                                      platform::paths::kClientGroup))
    return false;
  auto euid = platform::admission::peer_euid(connection.native_handle());
  if (!euid || *euid == 0) return false;
  peerEuid = *euid;
  return true;
}

void handlePeer(const std::shared_ptr<platform::ipc::Connection> &connection) {
  std::uint32_t peerEuid = 0;
  // A user holding all the connections it may have is refused like a peer that fails the test.
  if (!validatePeer(*connection, peerEuid) || !connection->claim(peerEuid)) return connection->cancel();
  connection->resume([state = PeerState{.foregroundContext = std::nullopt, .foregroundStale = false, .peerEuid = peerEuid}](const platform::ipc::Event &event) mutable {
    return handlePeerEvent(state, event);
  });
}

Reply handlePeerEvent(PeerState &state, const platform::ipc::Event &event) {
  const auto *request = std::get_if<Message>(&event);
  if (request == nullptr) {
    state.foregroundContext.reset();
    return std::nullopt;
  }
  if (request->body.get_uint64("protocolVersion") != kProtocolVersion)
    return reply(*request, false, "unsupported_protocol", "Unsupported Vela broker helper protocol.");
  auto operation = request->body.get_string("operation");
  for (const auto &[name, handler] : kOperations)
    if (operation == name) return handler(name, *request, state);
  return reply(*request, false, "unsupported_operation", "The requested privileged operation is not allowlisted.");
}

Reply statusOperation(const Message &request) {
  std::array<char, 1024> text{};
  if (vela_core_status(text.data(), text.size()) != 0)
    return reply(request, true, "helper_available",
                 "Vela broker helper is authenticated and reachable; protected runtime readiness has not been "
                 "verified.");
  Reply answer = createReply(request);
  if (!answer) return answer;
  answer->body.set_bool("ok", true);
  answer->body.set_string("code", "runtime_ready");
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(text.data());
  answer->body.set_data("runtimeStatus", {bytes, strnlen(text.data(), text.size())});
  return answer;
}

}  // namespace vela::helper
