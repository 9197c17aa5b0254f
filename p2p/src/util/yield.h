#pragma once
// Lets the rest of the runtime run. A loop whose input is ready again and again
// (a busy device, a channel that never empties) completes its waits without
// suspending; it calls this every so often, so that the tasks it hands work to
// (which may be queued behind it on its own thread) get their turn.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace velarix::p2p::util {

inline boost::asio::awaitable<void> yield_now() {
  co_await boost::asio::post(co_await boost::asio::this_coro::executor,
                             boost::asio::as_tuple(boost::asio::use_awaitable));
}

// Counts the items a loop handles and says when to yield.
class YieldEvery {
 public:
  explicit constexpr YieldEvery(unsigned n) noexcept : n_(n) {}
  bool tick() noexcept {
    if (++count_ < n_) return false;
    count_ = 0;
    return true;
  }

 private:
  unsigned n_;
  unsigned count_ = 0;
};

}  // namespace velarix::p2p::util
