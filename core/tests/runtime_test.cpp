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
#include "vela_core.h"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;

const std::string kGeneration(64, 'a');

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

std::string proof(std::string_view generation, std::uint32_t pid) {
  return R"({"generation":")" + std::string(generation) + R"(","pid":)" + std::to_string(pid) + "}";
}

// Short waits: every timeout path ends well under a second.
constexpr Waits kQuick{.ready = 300ms, .stop = 1s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

// A child running body; it ends with _exit(0) unless body ends it earlier.
template <class Body>
Child fork_child(Body body) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    body();
    _exit(0);
  }
  return Child(pid);
}

// In a child: writes its own proof for kGeneration and what follows it, in
// one write.
void write_own_proof(int fd, std::string_view after) {
  const std::string line = proof(kGeneration, static_cast<std::uint32_t>(getpid())) + std::string(after);
  (void)!::write(fd, line.data(), line.size());
}

bool collected(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// ---- the proof ----

TEST(BrokerReadiness, Proof) {
  struct Row {
    std::string data;
    const char *refusal;  // nullptr: accepted
  };
  const std::string upper(64, 'A'), g = kGeneration;
  for (const auto &[data, refusal] : std::vector<Row>{
           {proof(g, 77) + "\n", nullptr},
           {" \t\r\n" + proof(g, 77) + " \r\n", nullptr},
           {R"([")" + g +
                R"(",77])"
                "\n",
            nullptr},
           {proof(g, 77) + "\nx", "invalid child readiness proof"},
           {proof(g, 77) + "\n" + proof(g, 77), "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":77,"extra":1})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":77,"pid":77})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"("})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":"77"})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":-77})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":77.0})", "invalid child readiness proof"},
           {R"({"generation":")" + g + R"(","pid":4294967296})", "invalid child readiness proof"},
           {R"([")" + g + R"(",77,1])", "invalid child readiness proof"},
           {"\xEF\xBB\xBF" + proof(g, 77), "invalid child readiness proof"},
           {"", "invalid child readiness proof"},
           {proof(upper, 77), "child readiness generation or PID mismatch"},
           {proof(g, 78), "child readiness generation or PID mismatch"},
           {proof(g.substr(1), 77), "child readiness generation or PID mismatch"},
       }) {
    auto r = check_ready(bytes(data), g, 77);
    if (refusal == nullptr) {
      EXPECT_TRUE(r) << data;
    } else {
      ASSERT_FALSE(r) << data;
      EXPECT_STREQ(r.error().message, refusal) << data;
    }
  }
  // The proof repeats the generation in the case it was given.
  EXPECT_TRUE(check_ready(bytes(proof(upper, 5)), upper, 5));
}

// Every single-bit flip of a good proof is refused.
TEST(BrokerReadiness, BitFlips) {
  const std::string good = proof(kGeneration, 4242) + "\n";
  ASSERT_TRUE(check_ready(bytes(good), kGeneration, 4242));
  for (std::size_t i = 0; i < good.size() * 8; ++i) {
    std::string bad = good;
    bad[i / 8] = static_cast<char>(bad[i / 8] ^ (1 << (i % 8)));
    EXPECT_FALSE(check_ready(bytes(bad), kGeneration, 4242)) << i;
  }
}

// ---- waiting for the proof ----

struct Wait {
  Child child;
  Descriptor read_end;
};

// A child given the write end of a readiness pipe; the test's own copy of
// the write end is closed unless keep_writer is given.
template <class Body>
Wait launch(Body body, Descriptor *keep_writer = nullptr) {
  auto p = pipe();
  if (!p) throw std::runtime_error("pipe");
  const int w = p->write.get();
  Child child = fork_child([&] { body(w); });
  if (keep_writer) *keep_writer = std::move(p->write);
  return {std::move(child), std::move(p->read)};
}

TEST(BrokerReadiness, Waits) {
  struct Row {
    const char *name;
    void (*body)(int fd);
    const char *refusal;
  };
  const Row rows[] = {
      {"one write",
       [](int fd) {
         write_own_proof(fd, "\n");
         pause();
       },
       nullptr},
      {"two pieces",
       [](int fd) {
         (void)!::write(fd, " ", 1);
         usleep(30'000);
         write_own_proof(fd, "\n");
         pause();
       },
       nullptr},
      {"line feed in a later read",
       [](int fd) {
         write_own_proof(fd, "");
         usleep(30'000);
         (void)!::write(fd, "\n", 1);
         pause();
       },
       nullptr},
      {"trailing text",
       [](int fd) {
         write_own_proof(fd, "\n{}");
         pause();
       },
       "invalid child readiness proof"},
      {"daemon pid",
       [](int fd) {
         const std::string line = proof(kGeneration, static_cast<std::uint32_t>(getppid())) + "\n";
         (void)!::write(fd, line.data(), line.size());
         pause();
       },
       "child readiness generation or PID mismatch"},
      {"silent", [](int) { pause(); }, "broker generation readiness timed out"},
      {"closed",
       [](int fd) {
         close(fd);
         pause();
       },
       "broker closed readiness without proof"},
      {"flood",
       [](int fd) {
         const std::string spaces(5000, ' ');
         (void)!::write(fd, spaces.data(), spaces.size());
         pause();
       },
       "broker readiness exceeds bounds"},
  };
  for (const auto &[name, body, refusal] : rows) {
    auto w = launch(body);
    const auto begin = std::chrono::steady_clock::now();
    auto r = read_ready(w.child, std::move(w.read_end), kGeneration, kQuick);
    if (refusal == nullptr) {
      EXPECT_TRUE(r) << name;
    } else {
      ASSERT_FALSE(r) << name;
      EXPECT_STREQ(r.error().message, refusal) << name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << name;
    EXPECT_TRUE(terminate(w.child, kQuick)) << name;
  }
}

TEST(BrokerReadiness, ExitBeforeProof) {
  Descriptor writer;  // held here, so only the exit can end the wait
  auto w = launch([](int) {}, &writer);
  auto r = read_ready(w.child, std::move(w.read_end), kGeneration, kQuick);
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.error().message, "broker exited before readiness");
  EXPECT_TRUE(collected(static_cast<pid_t>(w.child.pid())));
}

// The child proves readiness and is gone by the time the proof is checked:
// it writes its proof without the line feed, and the test ends the line only
// after killing it, while the wait sits in its poll.
TEST(BrokerReadiness, ExitAfterProof) {
  Descriptor writer;
  auto w = launch(
      [](int fd) {
        write_own_proof(fd, "");
        pause();
      },
      &writer);
  const pid_t pid = static_cast<pid_t>(w.child.pid());
  auto queued = [&] {
    int n = 0;
    ioctl(writer.get(), FIONREAD, &n);
    return n;
  };
  while (queued() == 0) usleep(1000);
  std::thread killer([&] {
    while (queued() > 0) usleep(1000);  // the wait has read the proof
    usleep(100'000);                    // the wait is back in a poll that lasts 2 s
    kill(pid, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    (void)!::write(writer.get(), "\n", 1);
  });
  auto r =
      read_ready(w.child, std::move(w.read_end), kGeneration, Waits{.ready = 10s, .ready_poll = 2s, .exit_poll = 5ms});
  killer.join();
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.error().message, "broker exited after readiness");
}

// ---- stopping ----

TEST(ChildStop, KillsAndCollects) {
  Child child = fork_child([] { pause(); });
  ASSERT_TRUE(terminate(child, kQuick));
  auto state = child.exited();
  ASSERT_TRUE(state && *state);
  EXPECT_TRUE(WIFSIGNALED(**state) && WTERMSIG(**state) == SIGKILL);
  EXPECT_TRUE(collected(static_cast<pid_t>(child.pid())));
  EXPECT_TRUE(terminate(child, kQuick));  // the remembered exit: no signal
}

TEST(ChildStop, AnExitedChildGetsNoSignal) {
  Child child = fork_child([] { _exit(7); });
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT);
  ASSERT_TRUE(terminate(child, kQuick));
  EXPECT_EQ(WEXITSTATUS(**child.exited()), 7);
}

TEST(ChildStop, Deadline) {
  Child child = fork_child([] { pause(); });
  auto r = terminate(child, Waits{.stop = 0s});
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.error().message, "native broker child did not terminate within its deadline");
  EXPECT_TRUE(terminate(child, kQuick));
}

TEST(ChildStop, DroppingAChildStopsIt) {
  pid_t pid;
  {
    Child child = fork_child([] { pause(); });
    pid = static_cast<pid_t>(child.pid());
    Child moved(std::move(child));  // the moved-from handle stops nothing
  }
  EXPECT_TRUE(collected(pid));
}

TEST(ChildStop, BrokerProcess) {
  BrokerProcess process{kGeneration, fork_child([] { pause(); })};
  EXPECT_TRUE(process.alive());
  EXPECT_TRUE(process.stop());
  EXPECT_FALSE(process.alive());
  EXPECT_TRUE(process.stop());
}

// ---- pipes and commands ----

bool cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool nonblocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

TEST(ChildPipes, Pipe) {
  auto p = pipe();
  ASSERT_TRUE(p);
  EXPECT_TRUE(cloexec(p->read.get()) && cloexec(p->write.get()));
  EXPECT_TRUE(nonblocking(p->write.get()));
  EXPECT_FALSE(nonblocking(p->read.get()));
}

TEST(ChildPipes, High) {
  auto p = pipe();
  ASSERT_TRUE(p);
  auto h = high(p->write.get());
  ASSERT_TRUE(h);
  EXPECT_GE(h->get(), 10);
  EXPECT_TRUE(cloexec(h->get()));
  EXPECT_TRUE(nonblocking(h->get()));  // the same open pipe
  EXPECT_NE(fcntl(p->write.get(), F_GETFD), -1);
  EXPECT_FALSE(high(-1));
}

TEST(ChildPipes, Input) {
  for (std::size_t n : {0UL, 64UL, 4096UL}) {
    const std::string payload(n, 'k');
    auto fd = input(bytes(payload));
    ASSERT_TRUE(fd) << n;
    std::string got(n + 1, '\0');
    EXPECT_EQ(::read(fd->get(), got.data(), got.size()), ssize_t(n));
    EXPECT_EQ(::read(fd->get(), got.data(), 1), 0) << "write end still open";
  }
  const std::string over(4097, 'k');
  EXPECT_STREQ(input(bytes(over)).error().message, "native activation input exceeds atomic pipe bound");
}

TEST(ChildCommands, Identity) {
  struct Row {
    uid_t uid;
    gid_t gid;
    std::optional<std::pair<gid_t, gid_t>> groups;
    const char *refusal;
  };
  const char *identity = "broker child must use the dedicated non-root service identity";
  const char *aliased = "invalid or aliased broker socket groups";
  for (const auto &[uid, gid, groups, refusal] : std::vector<Row>{
           {300, 300, std::nullopt, nullptr},
           {300, 300, std::pair{301U, 302U}, nullptr},
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
       }) {
    auto c = command("/r", uid, gid, groups);
    if (refusal == nullptr) {
      EXPECT_TRUE(c) << uid << " " << gid;
    } else {
      ASSERT_FALSE(c) << uid << " " << gid;
      EXPECT_STREQ(c.error().message, refusal);
    }
  }
}

TEST(ChildCommands, Under) {
  EXPECT_EQ(under("/r", "host/app"), "/r/host/app");
  EXPECT_EQ(under("/r/", "host/app"), "/r/host/app");
  EXPECT_EQ(under("/", "host/app"), "/host/app");
}

// Refusals of the start, in its order, before any child is created.
TEST(ChildCommands, StartRefusals) {
  const std::string hex(64, 'f'), g = kGeneration;
  const char *invalid = "native broker generation/activation is invalid";
  struct Row {
    std::string generation, key, secret;
    uid_t uid;
    gid_t agent, control;
    const char *refusal;
  };
  for (const auto &[generation, key, secret, uid, agent, control, refusal] : std::vector<Row>{
           {g.substr(1), hex, hex, 300, 301, 302, invalid},
           {g + "a", hex, hex, 300, 301, 302, invalid},
           {std::string(63, 'a') + "g", hex, hex, 300, 301, 302, invalid},
           {g, hex.substr(1), hex, 300, 301, 302, invalid},
           {g, hex, hex + "0", 300, 301, 302, invalid},
           {g, hex, std::string(63, 'f') + "x", 0, 301, 302, "invalid native launch authority"},
           {g, hex, hex, 0, 301, 302, "broker child must use the dedicated non-root service identity"},
           {g, hex, hex, 300, 301, 301, "invalid or aliased broker socket groups"},
       }) {
    auto r = start("/nonexistent", "/nonexistent", uid, 300, agent, control, generation, key, secret, kQuick);
    ASSERT_FALSE(r) << refusal;
    EXPECT_STREQ(r.error().message, refusal);
  }
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child was created
}

TEST(ChildCommands, SealRefusals) {
  const std::string key(64, 'a');
  auto r = seal("/nonexistent", "/s", 0, 300, key, "", kQuick);
  EXPECT_STREQ(r.error().message, "broker child must use the dedicated non-root service identity");
  r = seal(std::string(4096, 'r'), "/s", 300, 300, key, "", kQuick);
  EXPECT_STREQ(r.error().message, "native activation input exceeds atomic pipe bound");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

// ---- the exported functions without a broker ----

TEST(SupervisorExports, EmptySlot) {
  char out[1024] = "untouched";
  EXPECT_EQ(vela_core_status(out, sizeof out), 1);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_EQ(vela_core_stop(), 0);
  EXPECT_EQ(vela_core_start("/r", "/s", 300, 300, 301, 302, nullptr, nullptr, 0), 1);
  EXPECT_EQ(vela_core_start("/r", "/s", 300, 300, 301, 302, kGeneration.c_str(), nullptr, 0), 1);
}

// ---- the supervisor lock ----

TEST(SupervisorLock, FaultPoisons) {
  ffi::Locked<int> slot;
  EXPECT_TRUE(slot.use([](int &v) -> Result<> { return v = 1, Result<>{}; }));
  EXPECT_FALSE(slot.use([](int &) -> Result<> { return fail(Error::other("refused")); }));
  EXPECT_TRUE(slot.use([](int &v) -> Result<> { return v == 1 ? Result<>{} : fail(Error::other("lost")); }));
  EXPECT_THROW((void)slot.use([](int &v) -> Result<> {
    v = 2;
    throw std::runtime_error("fault");
  }),
               std::runtime_error);
  bool ran = false;
  auto r = slot.use([&](int &) -> Result<> { return ran = true, Result<>{}; });
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.error().message, "native supervisor lock unavailable");
  EXPECT_FALSE(ran);
}

// ---- bounded output ----

TEST(GatewayOutput, LimitedOutput) {
  gateway::LimitedOutput out;
  const std::vector<std::uint8_t> block(30'000, 7);
  EXPECT_EQ(out.write(block), 30'000U);
  EXPECT_EQ(out.write(block), 2'768U);
  EXPECT_EQ(out.write(block), 0U);
  EXPECT_EQ(out.write({}), 0U);
  EXPECT_EQ(out.bytes().size(), gateway::LimitedOutput::kLimit);
}

}  // namespace
}  // namespace vela::runtime
