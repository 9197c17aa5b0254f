#pragma once
// A housekeeping step's stand-in for tests: holds an agent's state write lock,
// taken on a thread of its own, until released (or destroyed).

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/inner.h"
#include "util/runtime.h"

namespace velarix::test {

class HeldState {
 public:
  HeldState(p2p::util::Runtime& rt, std::shared_ptr<agent::AgentInner> inner)
      : thread_([this, &rt, inner = std::move(inner), released = release_.get_future().share()] {
          p2p::util::block_on(rt, hold(inner, released, &locked_));
        }) {}
  ~HeldState() {
    release();
    thread_.join();
  }
  HeldState(const HeldState&) = delete;
  HeldState& operator=(const HeldState&) = delete;

  // Whether the lock is held (it is asked for at once, and may have to wait).
  bool locked() const { return locked_; }
  void release() {
    if (!released_.exchange(true)) release_.set_value();
  }

 private:
  static boost::asio::awaitable<void> hold(std::shared_ptr<agent::AgentInner> inner, std::shared_future<void> released,
                                           std::atomic<bool>* locked) {
    namespace asio = boost::asio;
    auto guard = co_await inner->state_lock.write();
    *locked = true;
    // The runtime's threads stay free: the wait is on the host's future, polled by a timer.
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (released.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      timer.expires_after(std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
  }

  std::promise<void> release_;
  std::atomic<bool> released_{false};
  std::atomic<bool> locked_{false};
  std::thread thread_;  // last: it starts once the rest is there
};

}  // namespace velarix::test
