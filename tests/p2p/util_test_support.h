#pragma once
// Helpers of the asynchronous-spine tests: waiting on conditions with deadlines, never sleeping.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace velarix::test {

using namespace std::chrono_literals;
inline constexpr auto kDeadline = std::chrono::seconds(20);

// A count that threads and tasks raise and that a test waits on, with a deadline.
class Counter {
 public:
  // Notifies under the lock: a waiter may destroy the counter as soon as it has seen the count.
  void add(long n = 1) {
    std::lock_guard lock(mutex_);
    value_ += n;
    cv_.notify_all();
  }
  long value() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // True once the count is at least `n`; false when the deadline passes first.
  bool wait_for(long n, std::chrono::milliseconds deadline = kDeadline) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, deadline, [&] { return value_ >= n; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  long value_ = 0;
};

// Raises `counter` when destroyed: put one in a coroutine to see its frame go.
class DropProbe {
 public:
  explicit DropProbe(Counter& counter) : counter_(&counter) {}
  DropProbe(const DropProbe&) = delete;
  DropProbe& operator=(const DropProbe&) = delete;
  ~DropProbe() { counter_->add(); }

 private:
  Counter* counter_;
};

// A handle that raises `counter` when its last copy goes: give one to a coroutine as a
// parameter to see its frame go, also when its body never ran.
inline std::shared_ptr<void> frame_probe(Counter& counter) {
  return std::shared_ptr<void>(nullptr, [&counter](void*) { counter.add(); });
}

inline boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, d);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

// The task's value, or std::nullopt when `deadline` passes first (the task is then cancelled).
template <class T>
boost::asio::awaitable<std::optional<T>> within(boost::asio::awaitable<T> task,
                                                std::chrono::steady_clock::duration deadline = kDeadline) {
  using namespace boost::asio::experimental::awaitable_operators;
  auto r = co_await (std::move(task) || sleep_for(deadline));
  if (r.index() == 0) co_return std::move(std::get<0>(r));
  co_return std::nullopt;
}

// True when the task ended before `deadline`.
inline boost::asio::awaitable<bool> ends_within(boost::asio::awaitable<void> task,
                                                std::chrono::steady_clock::duration deadline = kDeadline) {
  using namespace boost::asio::experimental::awaitable_operators;
  auto r = co_await (std::move(task) || sleep_for(deadline));
  co_return r.index() == 0;
}

}  // namespace velarix::test
