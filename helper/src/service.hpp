// The service's front door: admission and the dispatch table. It stands above
// the operations it calls; what they share with it is in request.hpp.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ipc.hpp"
#include "request.hpp"

namespace vela::helper {

// Admits a new connection and gives it its state and event handler, or
// cancels it without a word.
void handlePeer(const std::shared_ptr<platform::ipc::Connection> &connection);

// The admission test: the peer runs the trusted client and is not root.
// Writes the peer's effective user id only when it admits the peer.
bool validatePeer(platform::ipc::Connection &connection, std::uint32_t &peerEuid);

// One event of an admitted connection: a request is answered by the reply
// returned; an error clears the connection's foreground channel.
Reply handlePeerEvent(PeerState &state, const platform::ipc::Event &event);

// The "status" row of the dispatch table; the rows of the other operations
// are in install.hpp and foreground.hpp.
Reply statusOperation(const Message &request);

}  // namespace vela::helper
