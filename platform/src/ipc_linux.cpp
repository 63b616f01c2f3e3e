#include "platform/ipc.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <asio/buffer.hpp>
#include <asio/write.hpp>

#include "platform/wire.hpp"

namespace vela::platform::ipc {

namespace {

ConnectionError failure(const std::error_code &error) {
  return error == asio::error::eof || error == asio::error::connection_reset ? ConnectionError::closed
                                                                             : ConnectionError::broken;
}

constexpr std::chrono::milliseconds kAcceptPause{100};

// The process's children get none of the service's sockets.
bool close_on_exec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

// A directory of this process's user that no one else may write.
bool owned_directory(const std::string &path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

void Connection::cancel() {
  std::error_code ignored;
  socket_.close(ignored);
}

void Connection::resume(EventHandler handler) {
  handler_ = std::move(handler);
  read();
}

// Delivers the next whole frame already received, or reads more of it. What
// is held never exceeds one frame and one chunk.
void Connection::read() {
  if (inbound_.size() >= wire::kHeader) {
    std::uint32_t size = wire::body_size(std::span(inbound_).first<wire::kHeader>());
    if (size > wire::kMaxFrame) return end(ConnectionError::invalid_frame);
    if (inbound_.size() - wire::kHeader >= size) {
      auto message = wire::decode(std::span(inbound_).subspan(wire::kHeader, size));
      inbound_.erase(inbound_.begin(), inbound_.begin() + wire::kHeader + size);
      if (!message) return end(ConnectionError::invalid_frame);
      return deliver(std::move(*message));
    }
  }
  chunk_.resize(kChunk);
  socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](std::error_code error, std::size_t n) {
    if (error) return self->end(failure(error));
    self->inbound_.insert(self->inbound_.end(), self->chunk_.begin(), self->chunk_.begin() + n);
    self->read();
  });
}

void Connection::deliver(Message message) {
  auto reply = handler_(Event(std::move(message)));
  if (!reply) return read();
  outbound_ = wire::encode(*reply);
  asio::async_write(socket_, asio::buffer(outbound_), [self = shared_from_this()](std::error_code error, std::size_t) {
    self->outbound_ = Data();
    if (error) return self->end(failure(error));
    self->read();
  });
}

void Connection::end(ConnectionError error) {
  cancel();
  handler_(Event(error));
}

std::unique_ptr<Listener> Listener::create(queue::Queue &queue, std::string_view path, PeerHandler handler) {
  std::unique_ptr<Listener> listener(new Listener(queue, std::move(handler)));
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
    if (!error && close_on_exec(socket.native_handle())) handler_(std::make_shared<Connection>(std::move(socket)));
    if (!error) return accept();
    pause_.expires_after(kAcceptPause);
    pause_.async_wait([this](std::error_code) { accept(); });
  });
}

}  // namespace vela::platform::ipc
