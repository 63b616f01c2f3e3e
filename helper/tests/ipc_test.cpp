// The service's side of the IPC in this process, against raw sockets.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc.hpp"
#include "platform/ipc_client.hpp"

namespace vela::platform::ipc {
namespace {

// A listener on a queue of its own thread that admits its peers in turn as
// users 0, 1, ..., `perUser` connections each, and answers every request
// with `reply`, of which the connections share one copy; it counts the
// requests it handles.
class Service {
 public:
  Service(Limits limits, std::size_t perUser, Message reply = {}) {
    char directory[] = "/tmp/vela-ipc-test-XXXXXX";
    directory_ = mkdtemp(directory);
    auto shared = std::make_shared<const Message>(std::move(reply));
    auto admit = [this, perUser, shared](std::shared_ptr<Connection> connection) {
      if (!connection->claim(static_cast<std::uint32_t>(admitted_++ / perUser))) return connection->cancel();
      connection->resume([this, shared](const Event &event) -> std::optional<Message> {
        if (!std::get_if<Message>(&event)) return std::nullopt;
        ++handled_;
        return *shared;
      });
    };
    listener_ = Listener::create(queue_, directory_ + "/socket", admit, limits);
    thread_ = std::thread([this] { queue_.run(); });
  }
  ~Service() {
    queue_.stop();
    thread_.join();
    std::filesystem::remove_all(directory_);
  }
  Descriptor connect() const { return std::move(*connect_service(directory_ + "/socket")); }
  std::size_t handled() const { return handled_; }

 private:
  queue::Queue queue_;
  std::string directory_;
  std::size_t admitted_ = 0;
  std::atomic<std::size_t> handled_ = 0;
  std::unique_ptr<Listener> listener_;
  std::thread thread_;
};

// The largest request (flags, count, key "d", tag and size take 15 bytes)
// but its last byte.
const Data &partialLargestRequest() {
  static const Data frame = [] {
    auto bytes = wire::encode({{"d", Data(wire::kMaxRequest - 15, 0)}}, true);
    bytes.pop_back();
    return bytes;
  }();
  return frame;
}

// Whether a request on the connection is answered.
bool served(const Descriptor &connection) {
  return send_frame(connection.get(), wire::encode({}, true)) == 0 && receive(connection.get()).has_value();
}

std::size_t residentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string word; status >> word;)
    if (word == "VmRSS:" && status >> word) return std::stoul(word) * 1024;
  return 0;
}

// Many connections send all they can of the largest request (a connection
// over its budget is ended), then one more user's request is answered.
TEST(Ipc, RequestsNotYetWholeHoldOnlyTheirBudget) {
  constexpr std::size_t kSlack = 16 << 20;
  const std::tuple<const char *, std::size_t, std::size_t, std::size_t> rows[] = {
      {"one_user", 1, 64, Limits{}.bytes_per_user}, {"many_users", 16, 8, Limits{}.bytes}};
  for (const auto &[name, users, perUser, bound] : rows) {
    Service service(Limits{}, perUser);
    partialLargestRequest();  // made before the count
    const std::size_t before = residentBytes();
    std::vector<Descriptor> held;
    for (std::size_t i = 0; i < users * perUser; ++i)
      send_frame(held.emplace_back(service.connect()).get(), partialLargestRequest());
    EXPECT_LT(residentBytes() - before, bound + kSlack) << name;
    if (users > 1) continue;  // a full total ends every request that needs more, until the holders stall
    EXPECT_TRUE(served(service.connect())) << name;  // the next user's
  }
}

// The soft descriptor limit leaves room for two connections beyond the
// reserve: a third is refused without a reply until one of the two ends.
TEST(Ipc, ConnectionsBeyondTheDescriptorsLeftRefused) {
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit small{kReservedDescriptors + 2, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &small);
  Service service(Limits{}, 1);
  setrlimit(RLIMIT_NOFILE, &saved);
  Descriptor first = service.connect(), second = service.connect();
  EXPECT_TRUE(served(second));
  EXPECT_FALSE(served(service.connect()));
  first.reset();
  usleep(100'000);  // for the service to see it end
  EXPECT_TRUE(served(service.connect()));
}

#ifdef __SANITIZE_ADDRESS__
// The sanitizer keeps freed memory from reuse for a while, resident: here,
// the copies of every reply made and read.
constexpr std::size_t kFreedCopies = 48 << 20;
#else
constexpr std::size_t kFreedCopies = 0;
#endif

// How many of the connections receive a reply, each taken whole as soon as
// it begins to arrive, before none arrives for 10 seconds.
std::size_t answered(const std::vector<Descriptor> &connections) {
  std::vector<pollfd> waiting;
  for (const Descriptor &connection : connections) waiting.push_back({connection.get(), POLLIN, 0});
  std::size_t count = 0;
  while (!waiting.empty() && poll(waiting.data(), waiting.size(), 10'000) > 0)
    std::erase_if(waiting, [&count](const pollfd &ready) {
      bool taken = ready.revents != 0 && receive(ready.fd).has_value();
      count += taken;
      return ready.revents != 0;
    });
  return count;
}

// Many connections of one user ask for large replies and read none: the
// user's share of replies is made and the rest wait unmade, another user is
// answered meanwhile, and every waiting request is answered as the replies
// before it are taken, or carried out when its peer has gone.
TEST(Ipc, UnreadRepliesHoldOnlyTheirBudget) {
  constexpr std::size_t kReply = 4 << 20, kConnections = 64, kSlack = 24 << 20;
  Message large;
  large.body.set("d", Data(kReply, 0));
  Service service(Limits{}, kConnections, large);
  const std::size_t before = residentBytes();
  std::vector<Descriptor> held;
  for (std::size_t i = 0; i < kConnections; ++i)
    send_frame(held.emplace_back(service.connect()).get(), wire::encode({}, true));
  EXPECT_TRUE(served(service.connect()));  // the next user's
  EXPECT_LT(residentBytes(), before + Limits{}.reply_bytes_per_user + kReply + kFreedCopies + kSlack);
  held.resize(kConnections / 2);  // the peers of the others go
  EXPECT_EQ(answered(held), kConnections / 2);
  for (int tick = 0; tick < 1000 && service.handled() < kConnections + 1; ++tick) usleep(10'000);
  EXPECT_EQ(service.handled(), kConnections + 1);
}

// A request begun and then left, and a reply the peer leaves untaken, end
// their connection.
TEST(Ipc, StalledRequestOrReplyEnded) {
  Message large;
  large.body.set("d", Data(4 << 20, 0));
  Service service(Limits{.stall = std::chrono::milliseconds(100)}, 2, large);
  const timeval patience{.tv_sec = 5, .tv_usec = 0};
  Descriptor request = service.connect(), reply = service.connect();
  for (const Descriptor *connection : {&request, &reply})
    setsockopt(connection->get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  send_frame(request.get(), std::span(partialLargestRequest()).first(100));
  send_frame(reply.get(), wire::encode({}, true));
  usleep(500'000);  // the reply's first bytes fill the socket, and no more are taken
  auto unanswered = receive(request.get());
  EXPECT_TRUE(!unanswered && unanswered.error() == ReceiveError::closed);
  EXPECT_FALSE(receive(reply.get()).has_value()) << "the reply cut short";
}

}  // namespace
}  // namespace vela::platform::ipc
