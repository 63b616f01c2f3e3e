// The service's side of the IPC: a listener on a Unix stream socket and its
// connections, all on the serial queue (queue.hpp), carrying the messages of
// wire.hpp. Nothing here ever waits on a peer: every read and write is
// asynchronous, and a connection holds at most one message in and one reply
// out at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include <asio/local/stream_protocol.hpp>

#include "platform/message.hpp"
#include "platform/queue.hpp"

namespace vela::platform::ipc {

// How a connection ended; after one of these it delivers nothing more.
enum class ConnectionError {
  closed,         // the peer closed it
  invalid_frame,  // a frame above the bound, or one that does not decode
  broken,         // a read or write failed
};

// What a connection delivers: a message, or the one error that ends it.
using Event = std::variant<Message, ConnectionError>;

// Handles one event of a connection and returns the reply to send back on
// that same connection, if any.
using EventHandler = std::function<std::optional<Message>(const Event &)>;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  explicit Connection(asio::local::stream_protocol::socket socket) : socket_(std::move(socket)) {}

  int native_handle() { return socket_.native_handle(); }
  // Ends a connection that was never resumed: the peer sees it close.
  void cancel();
  // Starts delivering events to `handler`, one at a time: the next message
  // is read only once the reply to the last one has been written.
  void resume(EventHandler handler);

 private:
  static constexpr std::size_t kChunk = 65536;

  void read();
  void deliver(Message message);
  void end(ConnectionError error);

  asio::local::stream_protocol::socket socket_;
  EventHandler handler_;
  Data chunk_;
  Data inbound_;
  Data outbound_;
};

using PeerHandler = std::function<void(std::shared_ptr<Connection>)>;

class Listener {
 public:
  // Listens at `path`, made afresh (an entry there before is removed), open
  // to every local user: whom to admit is for the peer handler to decide.
  // The path's directory must belong to this process's user and be writable
  // by no one else. Nothing when the listener cannot be made.
  static std::unique_ptr<Listener> create(queue::Queue &queue, std::string_view path, PeerHandler handler);

 private:
  Listener(queue::Queue &queue, PeerHandler handler)
      : acceptor_(queue), pause_(queue), handler_(std::move(handler)) {}
  bool listen(std::string_view path);
  void accept();

  asio::local::stream_protocol::acceptor acceptor_;
  asio::steady_timer pause_;  // between a failed accept and the next one
  PeerHandler handler_;
};

}  // namespace vela::platform::ipc
