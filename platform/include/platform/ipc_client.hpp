// A client's side of the service: one connection, blocking, one message at a
// time. The service ends a connection it refuses without a word, so a client
// sees every end, refusal included, as the connection closing.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "platform/descriptor.hpp"
#include "platform/message.hpp"

namespace vela::platform::ipc {

// Why a message could not be received.
enum class ReceiveError {
  closed,  // the service ended the connection
  broken,  // a read failed, or what arrived is not a message
};

// Connects to the service's socket; an errno value when it cannot.
std::expected<Descriptor, int> connect_service(std::string_view path);

// Writes a whole frame (wire.hpp); 0, or the errno value of the failed write.
// A closed connection is EPIPE, never a signal.
int send_frame(int socket, std::span<const std::uint8_t> frame);

// Reads the next message.
std::expected<Message, ReceiveError> receive(int socket);

// Ends the sending side and waits, until `deadline`, for the service to end
// the connection in turn: the service looks at the peer when it accepts the
// connection and reads one request at a time, so the sender has to outlive
// both. 0 when the service ended it having read everything; otherwise an
// errno value: ECONNRESET when it ended it leaving requests unread (a
// refusal does), ETIMEDOUT, EPROTO when a message arrived instead of the
// end, or that of a failed call.
int hand_over(int socket, std::chrono::steady_clock::time_point deadline);

}  // namespace vela::platform::ipc
