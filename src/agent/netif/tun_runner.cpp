// The TUN runner: the TUN side of the packet path.

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include "agent/inner.h"
#include "util/log.h"
#include "util/system.h"
#include "util/task_set.h"

namespace velarix::agent {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using p2p::util::CancellationToken;

namespace {

// A worker of a runner; the packet roads plug in here and end on the token.
asio::awaitable<void> worker(CancellationToken token) { co_await token.cancelled(); }

}  // namespace

asio::awaitable<void> tun_runner(std::shared_ptr<AgentInner> inner, std::shared_ptr<TunDevice> device,
                                 CancellationToken token) {
  const auto threads = p2p::util::get_env<std::int32_t>("TUN_THREADS", 3);
  auto executor = co_await asio::this_coro::executor;
  std::optional<std::string> failure;
  {
    p2p::util::TaskSet tasks(executor);
    for (std::int32_t i = 0; i < threads; ++i) tasks.spawn(worker(token));
    while (auto next = co_await tasks.join_next()) {
      if (!*next) {
        failure = "TUN task failed: " + next->error().text;
        break;
      }
    }
  }
  (void)device;
  if (failure) {
    log::error("TUN runner failed: {}", *failure);
    inner->cancellation_token.cancel();
  } else {
    log::trace("TUN runner finished");
  }
}

}  // namespace velarix::agent
