// The protected broker and the seal script as child processes: building the
// command, filling pipes, launching under the service identity, waiting for
// the broker's readiness proof, and stopping a child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "platform/descriptor.hpp"

namespace vela::runtime {

using platform::Descriptor;

using Duration = std::chrono::nanoseconds;

// How long each wait may last and how often it looks. The exported functions
// use kWaits; tests pass shorter ones.
struct Waits {
  Duration ready = std::chrono::seconds(30);             // readiness proof
  Duration stop = std::chrono::seconds(5);               // exit after SIGKILL
  Duration seal = std::chrono::seconds(30);              // seal script
  Duration ready_poll = std::chrono::milliseconds(100);  // one readiness pass
  Duration exit_poll = std::chrono::milliseconds(20);    // between exit queries
};
inline constexpr Waits kWaits{};

// Largest payload of a pipe that is filled before its child starts, and
// largest readiness proof.
inline constexpr std::size_t kMaxPipePayload = 4096;

struct Pipe {
  Descriptor read, write;
};

// A child process and, once collected, its wait status. Dropping a child
// that has not been collected terminates it.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child &&other) noexcept : pid_(std::exchange(other.pid_, 0)), status_(std::exchange(other.status_, kGone)) {}
  Child &operator=(Child &&) = delete;
  ~Child();

  std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
  // The exit query: none while the child runs, its wait status once it has
  // exited. The status is remembered; the system is not asked again.
  Result<std::optional<int>> exited();

 private:
  static constexpr int kGone = -1;  // a moved-from handle: nothing to collect
  pid_t pid_;
  std::optional<int> status_;
};

// The one supervised broker.
struct BrokerProcess {
  std::string generation;  // as given to the start that launched it
  uid_t uid;               // its account
  Child child;

  bool alive();
  // Kills the child and then every other process of its account.
  Result<> stop();
};

// The broker's readiness proof.
struct Ready {
  std::string generation;
  std::uint32_t pid = 0;
};

// A prepared, not yet started child: program and arguments, a cleared
// environment, working directory, standard input, the service identity with
// its limits, and descriptors to place after the identity switch.
class Command {
 public:
  void arg(std::string value) { args_.push_back(std::move(value)); }
  void env(std::string_view name, std::string_view value);
  // Becomes the child's standard input; closed with the command.
  void input(Descriptor fd) { input_ = std::move(fd); }
  // The child gets `from` as descriptor `to`. The caller keeps `from` open
  // until the child has started.
  void map(int from, int to) { maps_.emplace_back(from, to); }
  // Starts the child in a session of its own; a failure of any step in the
  // child, of executing the program, or to do so within `limit`, is returned
  // with the child killed and collected (`waits.stop`).
  Result<Child> spawn(Duration limit, const Waits &waits);

 private:
  friend Result<Command> command(std::string_view, uid_t, gid_t, std::optional<std::pair<gid_t, gid_t>>);
  Command(std::string root, uid_t uid, gid_t gid, std::vector<gid_t> groups);

  std::string program_;
  std::string directory_;
  std::vector<std::string> args_;
  std::vector<std::string> env_;
  Descriptor input_;
  std::vector<std::pair<int, int>> maps_;
  uid_t uid_;
  gid_t gid_;
  std::vector<gid_t> groups_;
};

Error invalid(const char *message);

// The root joined with a path relative to it.
std::string under(std::string_view root, std::string_view relative);

// The runtime's Node under the service identity; socketGroups is the pair
// (agent, control) for the broker, none for the seal script.
Result<Command> command(std::string_view root, uid_t uid, gid_t gid,
                        std::optional<std::pair<gid_t, gid_t>> socketGroups);
// The read end of a pipe that holds the bytes, its write end closed.
Result<Descriptor> input(std::span<const std::uint8_t> bytes);
// Both ends close-on-exec, the write end non-blocking.
Result<Pipe> pipe();
// A close-on-exec duplicate numbered 10 or higher.
Result<Descriptor> high(int fd);

// Waits for the child's readiness line on readEnd (consumed) and checks it.
Result<> read_ready(Child &child, Descriptor readEnd, std::string_view generation, const Waits &waits);
// The collected readiness data against the launched generation and child.
Result<> check_ready(std::span<const std::uint8_t> data, std::string_view generation, std::uint32_t pid);
// Kills the child unless it has exited, with its process group once it
// leads one, and collects it.
Result<> terminate(Child &child, const Waits &waits);
// Kills every process that has the account's user as one of its ids,
// wherever it runs, until none is left: what a broker forked, in any
// session, and a set-id copy of its programs that another user runs, go
// with it.
Result<> end_account(uid_t uid, const Waits &waits);

Result<BrokerProcess> start(std::string_view root, std::string_view stateDir, uid_t brokerUid, gid_t brokerGid,
                            gid_t agentGid, gid_t controlGid, std::string_view generation,
                            std::string_view activationKey, std::string_view launchSecret, const Waits &waits);

Result<> seal(std::string_view root, std::string_view stateDir, uid_t uid, gid_t gid, std::string_view activationKey,
              std::string_view vault, const Waits &waits);

}  // namespace vela::runtime
