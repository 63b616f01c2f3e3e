// Child supervision without root: readiness proofs and their waits, pipes,
// commands and their refusals, against children forked by the test itself;
// and the frame of the exports (arguments, credentials, the guard).
#include "runtime.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "documents.hpp"
#include "ffi.hpp"

namespace vela::runtime {
namespace {

using namespace std::chrono_literals;
using test::bytes;

const std::string kGeneration(64, 'a');
constexpr Waits kQuick{.ready = 300ms, .stop = 1s, .seal = 300ms, .ready_poll = 10ms, .exit_poll = 5ms};

// The refusal's message, or nullptr for success.
template <class T>
const char *refusal(const Result<T> &r) { return r ? nullptr : r.error().message; }
std::string proof(std::string_view generation, std::uint32_t pid) {
  return R"({"generation":")" + std::string(generation) + R"(","pid":)" + std::to_string(pid) + "}";
}

TEST(BrokerReadiness, Proof) {
  const std::string g = kGeneration;
  const char *mismatch = "child readiness generation or PID mismatch";
  for (const auto &[data, expected] : std::vector<std::pair<std::string, const char *>>{
           {R"({"generation":")" + g + R"(","pid":77,"extra":1})", "invalid child readiness proof"},
           {proof(g.substr(0, 63) + "A", 77), mismatch},
           {proof(g, 78), mismatch},
       })
    EXPECT_STREQ(refusal(check_ready(bytes(data), g, 77)), expected) << data;
}

// A forked child writes `size` bytes (its proof, spaces, a line feed) in
// one write, then waits to be killed; 0 writes nothing, -1 closes the pipe.
Child writer(int fd, int size) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    std::string line = proof(kGeneration, static_cast<std::uint32_t>(getpid()));
    line.resize(static_cast<std::size_t>(std::max(size, 1)) - 1, ' ');
    if (size > 0) (void)!::write(fd, (line + "\n").data(), line.size() + 1);
    if (size < 0) close(fd);
    pause();
  }
  return Child(pid);
}

// The test closes its own write end, so that only the child can end the wait.
TEST(BrokerReadiness, Waits) {
  for (const auto &[size, expected] : std::vector<std::pair<int, const char *>>{
           {4096, nullptr},  // read in pieces, the line feed in the last
           {4097, "broker readiness exceeds bounds"},
           {0, "broker generation readiness timed out"},
           {-1, "broker closed readiness without proof"},
       }) {
    auto p = pipe();
    ASSERT_TRUE(p);
    Child child = writer(p->write.get(), size);
    p->write.reset();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_STREQ(refusal(read_ready(child, std::move(p->read), kGeneration, kQuick)), expected) << size;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << size;
    EXPECT_TRUE(terminate(child, kQuick)) << size;
  }
}

TEST(ChildPipes, Input) {
  const std::string full(4096, 'k');
  auto fd = input(bytes(full));
  ASSERT_TRUE(fd);
  std::string got(4097, '\0');
  EXPECT_EQ(::read(fd->get(), got.data(), got.size()), 4096);
  EXPECT_STREQ(refusal(input(bytes(full + "k"))), "native activation input exceeds atomic pipe bound");
}

TEST(ChildCommands, Identity) {
  const char *identity = "broker child must use the dedicated non-root service identity";
  const char *aliased = "invalid or aliased broker socket groups";
  using Groups = std::optional<std::pair<gid_t, gid_t>>;
  for (const auto &[uid, gid, groups, expected] : std::vector<std::tuple<uid_t, gid_t, Groups, const char *>>{
           {0, 300, std::nullopt, identity},
           {300, 0, std::pair{301U, 302U}, identity},
           {300, 300, std::pair{301U, 301U}, aliased},
           {300, 300, std::pair{301U, 300U}, aliased},
           {300, 300, std::pair{0U, 302U}, aliased},
           {300, 300, std::pair{2147483648U, 302U}, aliased},
       })
    EXPECT_STREQ(refusal(command("/r", uid, gid, groups)), expected) << uid << " " << gid;
  EXPECT_STREQ(refusal(end_account(0, kQuick)), identity);
}

// Refusals of the start and the seal, before any child is created.
TEST(ChildCommands, Refusals) {
  const std::string hex(64, 'f'), g = kGeneration;
  const char *invalid = "native broker generation/activation is invalid";
  for (const auto &[generation, key, secret, expected] : std::vector<std::tuple<std::string, std::string, std::string, const char *>>{
           {g.substr(1), hex, hex, invalid},
           {g, hex.substr(1), hex, invalid},
           {g, hex, hex + "0", invalid},
           {g, hex, std::string(63, 'f') + "x", "invalid native launch authority"},
       })
    EXPECT_STREQ(refusal(start("/nonexistent", "/s", 300, 300, 301, 302, generation, key, secret, kQuick)), expected);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(SupervisorLock, FaultPoisons) {
  ffi::Locked<int> slot;
  EXPECT_THROW((void)slot.use([](int &) -> Result<> { throw std::runtime_error("fault"); }), std::runtime_error);
  bool ran = false;
  EXPECT_STREQ(refusal(slot.use([&](int &) -> Result<> { return ran = true, Result<>{}; })),
               "native supervisor lock unavailable");
  EXPECT_FALSE(ran);
}

TEST(Frame, String) {
  EXPECT_STREQ(refusal(ffi::string(nullptr)), "missing native argument");
  // A lone continuation byte, overlong forms, a surrogate, beyond U+10FFFF, a
  // cut or broken sequence, bytes never used, and faults after eight ASCII bytes.
  for (const char *bad : {"\x80", "a\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE2\x82", "\xE2\x82\x28", "\xFF", "eight ch\x80", "sixteen characte\xC3\x28 and more"})
    EXPECT_STREQ(refusal(ffi::string(bad)), "invalid native argument") << bad;
}

TEST(Frame, Credentials) {
  const std::string sound = R"({"activationKey":"a","launchSecret":"b"})";
  for (const auto &[doc, expected] : std::vector<std::pair<std::string, const char *>>{
           {sound + std::string(4097 - sound.size(), ' '), "invalid native input bounds"},
           {R"({"activationKey":"a"})", "invalid native activation"},
       })
    EXPECT_STREQ(refusal(ffi::credentials(bytes(doc).data(), doc.size())), expected) << doc;
}

// Anything thrown, not only exceptions of the standard library.
TEST(Frame, GuardTurnsAnyThrowIntoOne) {
  EXPECT_EQ(ffi::guard([]() -> Result<> { throw 42; }), 1);
}

}  // namespace
}  // namespace vela::runtime
