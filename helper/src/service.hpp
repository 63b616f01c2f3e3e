// The service's front door: admission, the per-connection state, the
// dispatch table and the replies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "foreground.hpp"
#include "platform/ipc.hpp"
#include "platform/message.hpp"

namespace vela::helper {

using platform::ipc::Message;

// What one admitted connection remembers between its events.
struct PeerState {
  std::optional<ForegroundContext> foregroundContext;
  bool foregroundStale = false;
  std::uint32_t peerEuid = 0;
};

// The reply to send for a request; nothing when the request expects none.
using Reply = std::optional<Message>;

// Admits a new connection and gives it its state and event handler, or
// cancels it without a word.
void handlePeer(const std::shared_ptr<platform::ipc::Connection> &connection);

// The admission test: the peer runs the trusted client and is not root.
// Writes the peer's effective user id only when it admits the peer.
bool validatePeer(platform::ipc::Connection &connection, std::uint32_t &peerEuid);

// One event of an admitted connection: a request is answered by the reply
// returned; an error clears the connection's foreground channel.
Reply handlePeerEvent(PeerState &state, const platform::ipc::Event &event);

// An empty reply for the request, or nothing when it expects none.
Reply createReply(const Message &request);

// A reply of ok, code and message ("" for none), when the request expects one.
Reply reply(const Message &request, bool ok, std::string_view code, std::optional<std::string_view> message);

// Rows of the dispatch table: each takes the request (and the connection's
// state where it needs it) to the reply. "install" and "repair" are in
// install.hpp.
Reply statusOperation(const Message &request);
// "foreground_open", "foreground_current" and "foreground_asset" (foreground.cpp).
Reply foregroundChannelOperation(std::string_view operation, const Message &request, PeerState &state);
// "foreground_status" (foreground.cpp).
Reply foregroundStatusOperation(const Message &request);

}  // namespace vela::helper
