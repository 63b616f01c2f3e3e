// The daemon's one serial queue and the sources that feed it: an io_context
// that one thread runs (the main thread, handed over for good), so that work
// items run one at a time, in the order they became ready; a repeating timer
// and a signal source deliver their events as such work.
#pragma once

#include <chrono>
#include <functional>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

namespace vela::platform::queue {

using Queue = asio::io_context;

// Queues `work` to run once, after what is already ready.
void async(Queue &queue, std::function<void()> work);

// Runs the queue on the calling thread, for good, clearing the stack below
// it after each item (secret::clear_stack).
[[noreturn]] void run(Queue &queue);

// Runs its handler on the queue `first` after it is made, then every
// `interval` (measured from the planned time, not from the late one); ticks
// missed while the queue was busy fold into one.
class Timer {
 public:
  Timer(Queue &queue, std::chrono::nanoseconds first, std::chrono::nanoseconds interval,
        std::function<void()> handler);
  Timer(const Timer &) = delete;
  Timer &operator=(const Timer &) = delete;

 private:
  void wait();
  asio::steady_timer timer_;
  std::chrono::nanoseconds interval_;
  std::function<void()> handler_;
};

// Runs its handler on the queue each time the signal arrives. The signal is
// caught for good, so its default action never ends the process.
class SignalSource {
 public:
  SignalSource(Queue &queue, int number, std::function<void()> handler);
  SignalSource(const SignalSource &) = delete;
  SignalSource &operator=(const SignalSource &) = delete;

 private:
  void wait();
  asio::signal_set signals_;
  std::function<void()> handler_;
};

}  // namespace vela::platform::queue
