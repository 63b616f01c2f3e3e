// "status" round trips over the service's IPC (the daemon's listener, codec
// and dispatcher on one queue thread, every peer admitted), against a bare
// Unix-socket echo, also on one thread, that takes and gives back as many
// bytes as the status request and its reply. Each client thread holds one
// connection. Compare the pairs of the same thread count.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc.hpp"
#include "platform/ipc_client.hpp"
#include "platform/wire.hpp"
#include "service.hpp"

namespace {

namespace ipc = vela::platform::ipc;
namespace queue = vela::platform::queue;

const ipc::Message &statusRequest() {
  static const ipc::Message request = [] {
    ipc::Message message{.body = {}, .expects_reply = true};
    message.body.set("protocolVersion", std::uint64_t{3});
    message.body.set_string("operation", "status");
    return message;
  }();
  return request;
}

std::string socketPath(const char *name) {
  static const std::string directory = [] {
    char pattern[] = "/tmp/vela-ipc-bench-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return directory + "/" + name;
}

// The service, running for the rest of the process on a thread of its own.
std::string service() {
  static const std::string made = [] {
    auto path = socketPath("service");
    auto *queue = new queue::Queue(1);
    auto admitAll = [](std::shared_ptr<ipc::Connection> connection) {
      connection->resume([state = vela::helper::PeerState{}](const ipc::Event &event) mutable {
        return vela::helper::handlePeerEvent(state, event);
      });
    };
    if (!ipc::Listener::create(*queue, path, admitAll).release()) std::abort();
    std::thread([queue] { queue::run(*queue); }).detach();  // the daemon's own loop
    return path;
  }();
  return made;
}

// Reads exactly `size` bytes; false at the end of the stream or on failure.
bool readExactly(int fd, std::uint8_t *bytes, std::size_t size) {
  for (ssize_t n; size > 0; bytes += n, size -= static_cast<std::size_t>(n))
    if ((n = read(fd, bytes, size)) <= 0) return false;
  return true;
}

// The echo: one thread polls every connection, reads a request's bytes and
// writes a reply's bytes back.
void echo(int listener, std::size_t requestSize, std::size_t replySize) {
  std::vector<pollfd> fds{{listener, POLLIN, 0}};
  std::vector<std::uint8_t> request(requestSize), reply(replySize, 'r');
  for (;;) {
    poll(fds.data(), fds.size(), -1);
    for (std::size_t i = 1; i < fds.size(); ++i)
      if (fds[i].revents != 0 && (!readExactly(fds[i].fd, request.data(), requestSize) ||
                                  ipc::send_frame(fds[i].fd, reply) != 0)) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i--));
      }
    if (fds[0].revents != 0) fds.push_back({accept(listener, nullptr, nullptr), POLLIN, 0});
  }
}

std::size_t replySize() { return ipc::wire::encode(*vela::helper::statusOperation(statusRequest())).size(); }

std::string echoServer() {
  static const std::string made = [] {
    auto path = socketPath("echo");
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 64) != 0)
      std::abort();
    std::thread(echo, listener, ipc::wire::encode(statusRequest()).size(), replySize()).detach();
    return path;
  }();
  return made;
}

void BM_StatusOverIpc(benchmark::State &state) {
  auto connection = ipc::connect_service(service());
  auto request = ipc::wire::encode(statusRequest());
  for (auto _ : state) {
    if (!connection || ipc::send_frame(connection->get(), request) != 0) return state.SkipWithError("send");
    auto reply = ipc::receive(connection->get());
    if (!reply) return state.SkipWithError("receive");
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusOverIpc)->Threads(1)->Threads(8)->UseRealTime();

void BM_BareSocketEcho(benchmark::State &state) {
  auto connection = ipc::connect_service(echoServer());
  auto request = ipc::wire::encode(statusRequest());
  std::vector<std::uint8_t> reply(replySize());
  for (auto _ : state) {
    if (!connection || ipc::send_frame(connection->get(), request) != 0 ||
        !readExactly(connection->get(), reply.data(), reply.size()))
      return state.SkipWithError("echo");
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSocketEcho)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
