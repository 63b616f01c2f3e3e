#include "platform/ipc.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio/buffer.hpp>

namespace vela::platform::ipc {

// What the peers of one listener hold, in all and per user, and the
// connections whose requests wait for replies to be taken. Only the queue's
// thread touches it.
class Budget {
 public:
  Budget(Limits limits, std::size_t connections) : limits_(limits), connections_(connections) {}

  const Limits &limits() const { return limits_; }

  // One more connection of `user`'s, when both its own and the total allow it.
  bool claim(std::uint32_t user) {
    if (held(user).connections >= limits_.connections_per_user || total_.connections >= connections_) return false;
    add(user, 1, 0, 0);
    return true;
  }

  // The bytes `user` may still hold: what is left of its share and of the total.
  std::size_t room(std::uint32_t user) const {
    return std::min(limits_.bytes_per_user - held(user).bytes, limits_.bytes - total_.bytes);
  }

  // Whether `user`'s replies not yet taken, or all of them, hold more than
  // their share: its next request must wait.
  bool replies_over(std::uint32_t user) const {
    return held(user).replies > limits_.reply_bytes_per_user || total_.replies > limits_.reply_bytes;
  }

  // Counts connections, request bytes and reply bytes to `user` (negative:
  // back from it).
  void add(std::uint32_t user, std::ptrdiff_t connections, std::ptrdiff_t bytes, std::ptrdiff_t replies) {
    Usage &usage = users_[user];
    for (Usage *counted : {&usage, &total_}) {
      counted->connections += static_cast<std::size_t>(connections);
      counted->bytes += static_cast<std::size_t>(bytes);
      counted->replies += static_cast<std::size_t>(replies);
    }
    if (usage.connections == 0 && usage.bytes == 0 && usage.replies == 0) users_.erase(user);
  }

  // Holds a connection of `user`'s until its replies have room again. Only
  // a weak reference: one that ends meanwhile is dropped at the next look.
  void park(std::uint32_t user, std::weak_ptr<Connection> connection) {
    auto &waiting = parked_[user];
    std::erase_if(waiting, [](const auto &weak) { return weak.expired(); });
    waiting.push_back(std::move(connection));
  }

  // Gives `user`'s reply bytes back and wakes the waiting connections of
  // every user who has room again. Each looks at the budget afresh when it
  // runs, so those that find it full again wait anew.
  void release_replies(std::uint32_t user, std::size_t bytes) {
    add(user, 0, 0, -static_cast<std::ptrdiff_t>(bytes));
    if (total_.replies > limits_.reply_bytes) return;
    std::erase_if(parked_, [this](const auto &entry) {
      if (held(entry.first).replies > limits_.reply_bytes_per_user) return false;
      for (const auto &waiting : entry.second)
        if (auto connection = waiting.lock()) connection->unpark();
      return true;
    });
  }

 private:
  struct Usage {
    std::size_t connections = 0;
    std::size_t bytes = 0;    // of requests
    std::size_t replies = 0;  // bytes of replies
  };

  Usage held(std::uint32_t user) const {
    auto found = users_.find(user);
    return found == users_.end() ? Usage{} : found->second;
  }

  Limits limits_;
  std::size_t connections_;
  Usage total_;
  std::unordered_map<std::uint32_t, Usage> users_;
  std::unordered_map<std::uint32_t, std::vector<std::weak_ptr<Connection>>> parked_;
};

namespace {

ConnectionError failure(const std::error_code &error) {
  return error == asio::error::eof || error == asio::error::connection_reset ? ConnectionError::closed
                                                                             : ConnectionError::broken;
}

ConnectionError failure(int error) { return error == ECONNRESET ? ConnectionError::closed : ConnectionError::broken; }

constexpr std::chrono::milliseconds kAcceptPause{100};

// What the soft descriptor limit leaves for connections.
std::size_t connection_total() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= kReservedDescriptors) return 0;
  return limit.rlim_cur - kReservedDescriptors;
}

// The process's children get none of the service's sockets.
bool close_on_exec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

// A directory of this process's user that no one else may write.
bool owned_directory(const std::string &path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

Connection::Connection(asio::local::stream_protocol::socket socket, std::shared_ptr<Budget> budget)
    : socket_(std::move(socket)), stall_(socket_.get_executor()), budget_(std::move(budget)) {}

// Waiting connections are not woken from here: a connection that still
// holds a reply when it goes is one the queue drops as it stops.
Connection::~Connection() {
  drop_inbound();
  budget_->add(user_, claimed_ ? -1 : 0, 0, -static_cast<std::ptrdiff_t>(outbound_.size()));
}

bool Connection::claim(std::uint32_t user) {
  claimed_ = budget_->claim(user);
  if (claimed_) user_ = user;
  return claimed_;
}

void Connection::cancel() {
  std::error_code ignored;
  socket_.close(ignored);
}

void Connection::resume(EventHandler handler) {
  handler_ = std::move(handler);
  wait();
}

// Reads on once the peer has sent more.
void Connection::wait() {
  socket_.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](std::error_code error) {
    if (error) return self->end(failure(error));
    self->read();
  });
}

// Reads what the peer has sent of the request in progress, never past its
// end, and delivers it once whole.
void Connection::read() {
  for (;;) {
    if (inbound_.size() == wire::kHeader && charged_ == 0 && !charge()) return end(ConnectionError::invalid_frame);
    std::size_t size = frame_size();
    if (inbound_.size() == size) return complete();
    std::size_t held = inbound_.size();
    std::size_t wanted = std::min(size - held, kChunk);
    inbound_.resize(held + wanted);
    ssize_t n = ::recv(socket_.native_handle(), inbound_.data() + held, wanted, MSG_DONTWAIT);
    int error = n < 0 ? errno : 0;
    inbound_.resize(n > 0 ? held + static_cast<std::size_t>(n) : held);
    if (n > 0 || error == EINTR) continue;
    if (error != EAGAIN) return end(n == 0 ? ConnectionError::closed : failure(error));
    if (!inbound_.empty()) hold_deadline();
    return wait();
  }
}

// Once its header is read, the body a request announces is charged to the
// user whole and room for it set aside: none above kMaxRequest or the room
// the user has left.
bool Connection::charge() {
  std::size_t body = frame_size() - wire::kHeader;
  if (body > wire::kMaxRequest || body > budget_->room(user_)) return false;
  budget_->add(user_, 0, static_cast<std::ptrdiff_t>(body), 0);
  charged_ = body;
  inbound_.reserve(wire::kHeader + body);
  return true;
}

// The size of the request in progress, header included, as far as it is
// known: the header's alone until the header is read.
std::size_t Connection::frame_size() const {
  if (inbound_.size() < wire::kHeader) return wire::kHeader;
  return wire::kHeader + wire::body_size(std::span(inbound_).first<wire::kHeader>());
}

// A request begun but not yet whole, and a reply not yet written, must go on
// within Limits::stall.
void Connection::hold_deadline() {
  stall_.expires_after(budget_->limits().stall);
  stall_.async_wait([self = shared_from_this()](std::error_code) {
    if (self->stall_.expiry() > asio::steady_timer::clock_type::now()) return;  // moved on since
    if (self->stalled()) self->end(ConnectionError::stalled);
  });
}

// Whether the request or reply in progress has stopped: bytes that arrived
// while the queue was busy elsewhere, and room the peer made for the reply
// meanwhile, count as going on. A whole request that waits for replies to be
// taken waits on the service, not on its peer.
bool Connection::stalled() {
  std::error_code ignored;
  pollfd writable{.fd = socket_.native_handle(), .events = POLLOUT, .revents = 0};
  bool reading = !inbound_.empty() && inbound_.size() < frame_size() && socket_.available(ignored) == 0;
  bool writing = !outbound_.empty() && ::poll(&writable, 1, 0) == 0;
  return reading || writing;
}

// A whole request is handled at once unless its user's replies not yet
// taken are over their share: the handler runs to its end before the next
// request is looked at, so no more than one reply gets past a full budget.
void Connection::complete() {
  stall_.cancel();
  if (budget_->replies_over(user_)) return park();
  auto message = wire::decode(std::span(inbound_).subspan(wire::kHeader));
  drop_inbound();
  if (!message) return end(ConnectionError::invalid_frame);
  deliver(std::move(*message));
}

// Keeps the whole request, still charged, until the budget wakes this
// connection (unpark) to look again: a request is carried out even when its
// peer has gone meanwhile. The stall timer, idle while a request is whole and
// no reply is out, is what it waits on.
void Connection::park() {
  budget_->park(user_, weak_from_this());
  stall_.expires_at(asio::steady_timer::time_point::max());
  stall_.async_wait([self = shared_from_this()](std::error_code) {
    if (self->socket_.is_open()) self->complete();
  });
}

void Connection::unpark() { stall_.cancel(); }

void Connection::deliver(Message message) {
  auto reply = handler_(Event(std::move(message)));
  if (!reply) return wait();
  outbound_ = wire::encode(*reply);
  budget_->add(user_, 0, 0, static_cast<std::ptrdiff_t>(outbound_.size()));
  written_ = 0;
  write();
}

// Writes what the peer takes of the reply, then reads on.
void Connection::write() {
  if (written_ == outbound_.size()) {
    stall_.cancel();
    drop_outbound();
    return wait();
  }
  hold_deadline();
  auto rest = asio::buffer(outbound_.data() + written_, outbound_.size() - written_);
  socket_.async_write_some(rest, [self = shared_from_this()](std::error_code error, std::size_t n) {
    if (error) return self->end(failure(error));
    self->written_ += n;
    self->write();
  });
}

// The request in progress is wiped and its charge goes back to the budget.
void Connection::drop_inbound() {
  budget_->add(user_, 0, -static_cast<std::ptrdiff_t>(std::exchange(charged_, 0)), 0);
  inbound_ = Data();
}

// The reply, written or not, is let go and its charge goes back to the
// budget, waking the requests that waited on it.
void Connection::drop_outbound() {
  if (outbound_.empty()) return;
  std::size_t bytes = outbound_.size();
  outbound_ = Data();
  budget_->release_replies(user_, bytes);
}

void Connection::end(ConnectionError error) {
  if (!socket_.is_open()) return;  // ended already
  cancel();
  stall_.cancel();
  drop_inbound();
  drop_outbound();
  handler_(Event(error));
}

std::unique_ptr<Listener> Listener::create(queue::Queue &queue, std::string_view path, PeerHandler handler,
                                           Limits limits) {
  auto budget = std::make_shared<Budget>(limits, connection_total());
  std::unique_ptr<Listener> listener(new Listener(queue, std::move(handler), std::move(budget)));
  if (!listener->listen(path)) return nullptr;
  listener->accept();
  return listener;
}

bool Listener::listen(std::string_view path) {
  std::string name(path);
  auto slash = name.rfind('/');
  if (!owned_directory(slash == 0 ? "/" : name.substr(0, slash))) return false;
  if (::unlink(name.c_str()) != 0 && errno != ENOENT) return false;
  std::error_code error;
  acceptor_.open(asio::local::stream_protocol(), error);
  if (!error && !close_on_exec(acceptor_.native_handle())) return false;
  if (!error) acceptor_.bind(asio::local::stream_protocol::endpoint(name), error);
  if (!error && ::chmod(name.c_str(), 0666) != 0) return false;
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  return !error;
}

// A failed accept is let pass and the listener goes on accepting, after a
// pause: a failure that lasts (no descriptors left) must not spin the queue.
void Listener::accept() {
  acceptor_.async_accept([this](std::error_code error, asio::local::stream_protocol::socket socket) {
    if (!error && close_on_exec(socket.native_handle()))
      handler_(std::make_shared<Connection>(std::move(socket), budget_));
    if (!error) return accept();
    pause_.expires_after(kAcceptPause);
    pause_.async_wait([this](std::error_code) { accept(); });
  });
}

}  // namespace vela::platform::ipc
