#include "platform/queue.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include "platform/secret.hpp"

namespace vela::platform::queue {

void async(Queue &queue, std::function<void()> work) { asio::post(queue, std::move(work)); }

void run(Queue &queue) {
  auto busy = asio::make_work_guard(queue);
  // Work handles secrets (requests, credentials, the broker's start) in
  // frames below this one: cleared after each item.
  for (;;) {
    queue.run_one();
    secret::clear_stack();
  }
}

Timer::Timer(Queue &queue, std::chrono::nanoseconds first, std::chrono::nanoseconds interval,
             std::function<void()> handler)
    : timer_(queue, first), interval_(interval), handler_(std::move(handler)) {
  wait();
}

void Timer::wait() {
  timer_.async_wait([this](std::error_code error) {
    if (error) return;
    handler_();
    auto next = timer_.expiry() + interval_;
    while (next <= asio::steady_timer::clock_type::now()) next += interval_;
    timer_.expires_at(next);
    wait();
  });
}

SignalSource::SignalSource(Queue &queue, int number, std::function<void()> handler)
    : signals_(queue, number), handler_(std::move(handler)) {
  wait();
}

void SignalSource::wait() {
  signals_.async_wait([this](std::error_code error, int) {
    if (error) return;
    handler_();
    wait();
  });
}

}  // namespace vela::platform::queue
