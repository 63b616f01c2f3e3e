#include "platform/ipc_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/wire.hpp"

namespace vela::platform::ipc {

namespace {

// Fills `bytes` from the socket: 0 when filled, else the errno value of the
// failure (0 bytes before the end of the stream reads as ECONNRESET).
int read_exactly(int socket, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::recv(socket, bytes.data(), bytes.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ECONNRESET;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

ReceiveError failure(int code) { return code == ECONNRESET ? ReceiveError::closed : ReceiveError::broken; }

// Waits until the socket is readable or has ended: 0, or ETIMEDOUT once the
// deadline has passed, or the errno value of a failed poll.
int readable(int socket, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return ETIMEDOUT;
    pollfd poll{.fd = socket, .events = POLLIN, .revents = 0};
    int ready = ::poll(&poll, 1, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
    if (ready > 0) return 0;
    if (ready < 0 && errno != EINTR) return errno;
  }
}

}  // namespace

std::expected<Descriptor, int> connect_service(std::string_view path) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  if (path.size() >= sizeof address.sun_path) return std::unexpected(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.data(), path.size());
  Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return std::unexpected(errno);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
    return std::unexpected(errno);
  return socket;
}

int send_frame(int socket, std::span<const std::uint8_t> frame) {
  while (!frame.empty()) {
    ssize_t n = ::send(socket, frame.data(), frame.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    frame = frame.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

std::expected<Message, ReceiveError> receive(int socket) {
  std::uint8_t header[wire::kHeader];
  if (int code = read_exactly(socket, header)) return std::unexpected(failure(code));
  std::uint32_t size = wire::body_size(header);
  if (size > wire::kMaxFrame) return std::unexpected(ReceiveError::broken);
  Data body(size);
  if (int code = read_exactly(socket, body)) return std::unexpected(failure(code));
  auto message = wire::decode(body);
  if (!message) return std::unexpected(ReceiveError::broken);
  return std::move(*message);
}

int hand_over(int socket, std::chrono::steady_clock::time_point deadline) {
  if (::shutdown(socket, SHUT_WR) != 0) return errno;
  for (;;) {
    if (int code = readable(socket, deadline)) return code;
    std::uint8_t byte = 0;
    ssize_t n = ::recv(socket, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == 0 ? 0 : n > 0 ? EPROTO : errno;
  }
}

}  // namespace vela::platform::ipc
