// The housekeeping runner: brings every network in line every ten seconds.

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/inner.h"
#include "util/log.h"

namespace velarix::agent {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using p2p::util::CancellationToken;

namespace {

constexpr auto kHousekeepingPeriod = std::chrono::seconds(10);

}  // namespace

asio::awaitable<void> AgentInner::housekeeping_runner(std::shared_ptr<AgentInner> /*inner*/, CancellationToken token) {
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor);
  auto next_tick = std::chrono::steady_clock::now();
  while (!token.is_cancelled()) {
    // The per-network steps plug in here; a tick never fails the runner.
    log::trace("Housekeeping tick");
    next_tick += kHousekeepingPeriod;
    timer.expires_at(next_tick);
    co_await (timer.async_wait(asio::use_awaitable) || token.cancelled());
  }
  log::trace("Housekeeping runner cancelled");
  log::trace("Housekeeping runner finished");
}

}  // namespace velarix::agent
