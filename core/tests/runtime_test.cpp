// Child supervision without root: readiness proofs, pipes, commands and their
// refusals, waits and stops, against children forked by the test itself.
#include "runtime.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "ffi.hpp"
#include "gateway.hpp"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;

const std::string kGeneration(64, 'a');
const char *kInvalid = "invalid child readiness proof";
// Short waits: every timeout path ends well under a second.
constexpr Waits kQuick{.ready = 300ms, .stop = 1s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

// The refusal's message, or nullptr for success.
template <class T>
const char *refusal(const Result<T> &r) {
  return r ? nullptr : r.error().message;
}

std::string proof(std::string_view generation, std::uint32_t pid) {
  return R"({"generation":")" + std::string(generation) + R"(","pid":)" + std::to_string(pid) + "}";
}

// In a child: writes its own proof for kGeneration and what follows it, in
// one write.
void write_proof(int fd, std::string_view after) {
  const std::string line = proof(kGeneration, static_cast<std::uint32_t>(getpid())) + std::string(after);
  (void)!::write(fd, line.data(), line.size());
}

// A child that runs body, unless body ends it, waits to be killed.
template <class Body>
Child fork_child(Body body) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    body();
    pause();
    _exit(0);
  }
  return Child(pid);
}

// ---- the proof ----

TEST(BrokerReadiness, Proof) {
  const std::string g = kGeneration, upper(64, 'A'), head = R"({"generation":")" + g + R"(","pid":)";
  const char *mismatch = "child readiness generation or PID mismatch";
  struct Row {
    std::string data;
    const char *refusal;
  };
  for (const auto &[data, expected] : std::vector<Row>{
           {" \t\r\n" + proof(g, 77) + " \r\n", nullptr},
           {R"([")" + g + R"(",77])", nullptr},
           {head + R"(77,"extra":1})", kInvalid},
           {R"({"generation":")" + g + R"("})", kInvalid},
           {head + "-77}", kInvalid},
           {head + "77.0}", kInvalid},
           {head + "4294967296}", kInvalid},
           {proof(g.substr(0, 63) + "A", 77), mismatch},
           {proof(g, 78), mismatch},
       })
    EXPECT_STREQ(refusal(check_ready(bytes(data), g, 77)), expected) << data;
  // The proof repeats the generation in the case it was given.
  EXPECT_TRUE(check_ready(bytes(proof(upper, 5)), upper, 5));
}

// ---- waiting for the proof ----

// A child is given the write end of a readiness pipe. The test closes its
// own copy unless the row holds it, so that only the child's exit can end
// the wait.
TEST(BrokerReadiness, Waits) {
  struct Row {
    const char *name;
    void (*body)(int fd);
    const char *refusal;
    bool hold = false;
  };
  const Row rows[] = {
      {"line feed in a later read",
       [](int fd) {
         write_proof(fd, "");
         usleep(30'000);
         (void)!::write(fd, "\n", 1);
       },
       nullptr},
      {"trailing text", [](int fd) { write_proof(fd, "\n{}"); }, kInvalid},
      {"silent", [](int) {}, "broker generation readiness timed out"},
      {"closed", [](int fd) { close(fd); }, "broker closed readiness without proof"},
      {"flood", [](int fd) { (void)!::write(fd, std::string(5000, ' ').data(), 5000); },
       "broker readiness exceeds bounds"},
      {"exit", [](int) { _exit(0); }, "broker exited before readiness", true},
  };
  for (const auto &[name, body, expected, hold] : rows) {
    auto p = pipe();
    ASSERT_TRUE(p);
    Child child = fork_child([&, w = p->write.get()] { body(w); });
    if (!hold) p->write.reset();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_STREQ(refusal(read_ready(child, std::move(p->read), kGeneration, kQuick)), expected) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << name;
    EXPECT_TRUE(terminate(child, kQuick)) << name;
  }
}

// The child proves readiness and is gone by the time the proof is checked:
// it writes its proof without the line feed, and the test ends the line only
// after killing it, while the wait sits in its poll.
TEST(BrokerReadiness, ExitAfterProof) {
  auto p = pipe();
  ASSERT_TRUE(p);
  Child child = fork_child([w = p->write.get()] { write_proof(w, ""); });
  const pid_t pid = static_cast<pid_t>(child.pid());
  auto queued = [&] {
    int n = 0;
    ioctl(p->write.get(), FIONREAD, &n);
    return n;
  };
  while (queued() == 0) usleep(1000);
  std::thread killer([&] {
    while (queued() > 0) usleep(1000);  // the wait has read the proof
    usleep(100'000);                    // the wait is back in a poll that lasts 2 s
    kill(pid, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    (void)!::write(p->write.get(), "\n", 1);
  });
  auto r = read_ready(child, std::move(p->read), kGeneration, Waits{.ready = 10s, .ready_poll = 2s, .exit_poll = 5ms});
  killer.join();
  EXPECT_STREQ(refusal(r), "broker exited after readiness");
}

// ---- stopping ----

TEST(ChildStop, KillsAndCollects) {
  BrokerProcess process{kGeneration, 65533, fork_child([] {})};
  EXPECT_TRUE(process.alive());
  ASSERT_TRUE(process.stop());
  EXPECT_FALSE(process.alive());
  const int status = **process.child.exited();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(waitpid(static_cast<pid_t>(process.child.pid()), nullptr, WNOHANG), -1);  // collected
  EXPECT_TRUE(process.stop());                                                        // the remembered exit: no signal
}

// ---- pipes and commands ----

bool has(int fd, int command, int flag) { return (fcntl(fd, command) & flag) != 0; }

TEST(ChildPipes, PipeAndHigh) {
  auto p = pipe();
  ASSERT_TRUE(p);
  auto h = high(p->write.get());
  ASSERT_TRUE(h);
  EXPECT_GE(h->get(), 10);
  for (int fd : {p->read.get(), p->write.get(), h->get()}) EXPECT_TRUE(has(fd, F_GETFD, FD_CLOEXEC)) << fd;
  EXPECT_TRUE(has(p->write.get(), F_GETFL, O_NONBLOCK));
  EXPECT_FALSE(has(p->read.get(), F_GETFL, O_NONBLOCK));
}

TEST(ChildPipes, Input) {
  const std::string full(4096, 'k');
  auto fd = input(bytes(full));
  ASSERT_TRUE(fd);
  std::string got(4097, '\0');
  EXPECT_EQ(::read(fd->get(), got.data(), got.size()), 4096);
  EXPECT_EQ(::read(fd->get(), got.data(), 1), 0) << "write end still open";
  EXPECT_STREQ(refusal(input(bytes(full + "k"))), "native activation input exceeds atomic pipe bound");
}

TEST(ChildCommands, Identity) {
  const char *identity = "broker child must use the dedicated non-root service identity";
  const char *aliased = "invalid or aliased broker socket groups";
  struct Row {
    uid_t uid;
    gid_t gid;
    std::optional<std::pair<gid_t, gid_t>> groups;
    const char *refusal;
  };
  for (const auto &[uid, gid, groups, expected] : std::vector<Row>{
           {300, 300, std::nullopt, nullptr},
           {300, 300, std::pair{2147483647U, 1U}, nullptr},
           {0, 300, std::nullopt, identity},
           {300, 0, std::pair{301U, 302U}, identity},
           {300, 300, std::pair{301U, 301U}, aliased},
           {300, 300, std::pair{300U, 302U}, aliased},
           {300, 300, std::pair{301U, 300U}, aliased},
           {300, 300, std::pair{0U, 302U}, aliased},
           {300, 300, std::pair{301U, 0U}, aliased},
           {300, 300, std::pair{2147483648U, 302U}, aliased},
           {300, 300, std::pair{301U, 4294967295U}, aliased},
       })
    EXPECT_STREQ(refusal(command("/r", uid, gid, groups)), expected) << uid << " " << gid;
}

TEST(ChildCommands, Under) {
  EXPECT_EQ(under("/r", "host/app"), "/r/host/app");
  EXPECT_EQ(under("/r/", "host/app"), "/r/host/app");
}

// Refusals of the start, in its order, before any child is created.
TEST(ChildCommands, StartRefusals) {
  const std::string hex(64, 'f'), g = kGeneration;
  const char *invalid = "native broker generation/activation is invalid";
  struct Row {
    std::string generation, key, secret;
    uid_t uid;
    const char *refusal;
  };
  for (const auto &[generation, key, secret, uid, expected] : std::vector<Row>{
           {g.substr(1), hex, hex, 300, invalid},
           {g + "a", hex, hex, 300, invalid},
           {std::string(63, 'a') + "g", hex, hex, 300, invalid},
           {g, hex.substr(1), hex, 300, invalid},
           {g, hex, hex + "0", 300, invalid},
           {g, hex, std::string(63, 'f') + "x", 0, "invalid native launch authority"},
           {g, hex, hex, 0, "broker child must use the dedicated non-root service identity"},
       })
    EXPECT_STREQ(refusal(start("/nonexistent", "/s", uid, 300, 301, 302, generation, key, secret, kQuick)), expected);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child was created
}

// A seal document that outgrows the pipe bound through a long root.
TEST(ChildCommands, SealRefusal) {
  EXPECT_STREQ(refusal(seal(std::string(4096, 'r'), "/s", 300, 300, std::string(64, 'a'), "", kQuick)),
               "native activation input exceeds atomic pipe bound");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

// ---- the supervisor lock and bounded output ----

TEST(SupervisorLock, FaultPoisons) {
  ffi::Locked<int> slot;
  EXPECT_TRUE(slot.use([](int &v) -> Result<> { return v = 1, Result<>{}; }));
  EXPECT_FALSE(slot.use([](int &) -> Result<> { return fail(Error::other("refused")); }));
  EXPECT_TRUE(slot.use([](int &v) -> Result<> { return v == 1 ? Result<>{} : fail(Error::other("lost")); }));
  EXPECT_THROW((void)slot.use([](int &) -> Result<> { throw std::runtime_error("fault"); }), std::runtime_error);
  bool ran = false;
  EXPECT_STREQ(refusal(slot.use([&](int &) -> Result<> { return ran = true, Result<>{}; })),
               "native supervisor lock unavailable");
  EXPECT_FALSE(ran);
}

TEST(GatewayOutput, LimitedOutput) {
  gateway::LimitedOutput out;
  const std::vector<std::uint8_t> block(30'000, 7);
  EXPECT_EQ(out.write(block), 30'000U);
  EXPECT_EQ(out.write(block), 2'768U);
  EXPECT_EQ(out.write(block), 0U);
  EXPECT_EQ(out.bytes().size(), gateway::LimitedOutput::kLimit);
}

}  // namespace
}  // namespace vela::runtime
