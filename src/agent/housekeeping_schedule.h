#pragma once
// The housekeeping cadence: a tick at once, then one every period after the
// start. A tick that runs long makes the overdue ones follow back to back
// until the schedule is caught up; the schedule itself never shifts. The
// token is looked at only between ticks, and wins when a tick is due as well.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/cancellation_token.h"
#include "util/log.h"

namespace velarix::agent {

// `tick` is held by reference: the caller keeps it alive across the wait.
template <class Clock, class Tick>
boost::asio::awaitable<void> run_on_schedule(p2p::util::CancellationToken token, typename Clock::duration period,
                                             Tick& tick) {
  using namespace boost::asio::experimental::awaitable_operators;
  boost::asio::basic_waitable_timer<Clock> timer(co_await boost::asio::this_coro::executor);
  auto next = Clock::now();
  for (;;) {
    if (!token.is_cancelled()) {
      timer.expires_at(next);
      // Rare (once a period): racing the two waits costs nothing worth avoiding.
      co_await (timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)) || token.cancelled());
    }
    if (token.is_cancelled()) {
      log::trace("Housekeeping runner cancelled");
      break;
    }
    co_await tick();
    next += period;
  }
  log::trace("Housekeeping runner finished");
}

}  // namespace velarix::agent
