// The service's side of the IPC: a listener on a Unix stream socket and its
// connections, all on the serial queue (queue.hpp), carrying the messages of
// wire.hpp. Nothing here ever waits on a peer: every read and write is
// asynchronous, and a connection holds at most one request in and one reply
// out at a time. What peers hold at once is bounded: connections per user
// and in all, the bytes of requests not yet handled, and the bytes of replies
// not yet taken, each per user and in all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include "platform/message.hpp"
#include "platform/queue.hpp"
#include "platform/wire.hpp"

namespace vela::platform::ipc {

// Descriptors a listener leaves to the rest of its process (tasks, the
// broker's start, the trust state, the credential store): it serves at most
// the soft descriptor limit less these connections in all.
inline constexpr std::size_t kReservedDescriptors = 64;

// What the peers of one listener may hold at once. A request that announces
// more bytes than its user's share has left ends its connection as one that
// does not decode. Replies are never refused: while the replies not yet taken
// of a user hold more bytes than its share, or those of all users more than
// the total, the user's next whole request waits (still counted with the
// request bytes) until replies are taken or connections end. A request's
// handler runs whole before the next request is looked at, so a user goes
// past its share by one reply at most, and all past the total by one reply.
struct Limits {
  std::size_t connections_per_user = 64;
  std::size_t bytes_per_user = 4 * std::size_t{wire::kMaxRequest};  // announced by requests not yet handled
  std::size_t bytes = 32 * std::size_t{wire::kMaxRequest};
  std::size_t reply_bytes_per_user = wire::kMaxFrame;  // of replies not yet taken
  std::size_t reply_bytes = 8 * std::size_t{wire::kMaxFrame};
  std::chrono::milliseconds stall{10'000};  // the longest a request or reply not yet whole may go without a byte
};

// Raises this process's soft limit of open descriptors to its hard limit:
// every connection holds one. Made before the listener, which sizes its
// total by it.
void raise_descriptor_limit();

// How a connection ended; after one of these it delivers nothing more.
enum class ConnectionError {
  closed,         // the peer closed it
  invalid_frame,  // a request above kMaxRequest or its user's share of bytes, or one that does not decode
  broken,         // a read or write failed
  stalled,        // a request or reply not yet whole went a whole Limits::stall without a byte
};

// What a connection delivers: a message, or the one error that ends it.
using Event = std::variant<Message, ConnectionError>;

// Handles one event of a connection and returns the reply to send back on
// that same connection, if any.
using EventHandler = std::function<std::optional<Message>(const Event &)>;

class Budget;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::local::stream_protocol::socket socket, std::shared_ptr<Budget> budget);
  ~Connection();

  int native_handle() { return socket_.native_handle(); }
  // Counts this as one of `user`'s connections for as long as it lives, and
  // the bytes of its requests as that user's; false, with nothing counted,
  // when the user or the listener already has all the connections allowed.
  bool claim(std::uint32_t user);
  // Ends a connection that was never resumed: the peer sees it close.
  void cancel();
  // Starts delivering events to `handler`, one at a time: the next request
  // is read only once the reply to the last one has been written, and a
  // whole request waits while its user's replies are over their share.
  void resume(EventHandler handler);

 private:
  friend class Budget;  // wakes a connection that waits on it

  static constexpr std::size_t kChunk = 65536;

  void wait();
  void read();
  std::size_t frame_size() const;
  bool charge();
  void hold_deadline();
  bool stalled();
  void complete();
  void park();
  void unpark();
  void deliver(Message message);
  void write();
  void drop_inbound();
  void drop_outbound();
  void end(ConnectionError error);

  asio::local::stream_protocol::socket socket_;
  asio::steady_timer stall_;
  std::shared_ptr<Budget> budget_;
  std::uint32_t user_ = 0;
  bool claimed_ = false;
  EventHandler handler_;
  Data inbound_;  // the request being read, header first, or waiting whole; never more
  std::size_t charged_ = 0;  // its body's size, once charged to the budget
  Data outbound_;  // the reply being written, charged to the budget whole
  std::size_t written_ = 0;  // how much of it the peer has taken
};

using PeerHandler = std::function<void(std::shared_ptr<Connection>)>;

class Listener {
 public:
  // Listens at `path`, made afresh (an entry there before is removed), open
  // to every local user: whom to admit is for the peer handler to decide.
  // The path's directory must belong to this process's user and be writable
  // by no one else. Nothing when the listener cannot be made.
  static std::unique_ptr<Listener> create(queue::Queue &queue, std::string_view path, PeerHandler handler,
                                          Limits limits = {});

 private:
  Listener(queue::Queue &queue, PeerHandler handler, std::shared_ptr<Budget> budget)
      : acceptor_(queue), pause_(queue), handler_(std::move(handler)), budget_(std::move(budget)) {}
  bool listen(std::string_view path);
  void accept();

  asio::local::stream_protocol::acceptor acceptor_;
  asio::steady_timer pause_;  // between a failed accept and the next one
  PeerHandler handler_;
  std::shared_ptr<Budget> budget_;
};

}  // namespace vela::platform::ipc
