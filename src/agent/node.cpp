// The node runner: the overlay side of the packet path.

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

asio::awaitable<void> AgentInner::node_runner(std::shared_ptr<AgentInner> inner, CancellationToken token) {
  const auto tun_threads = p2p::util::get_env<std::int32_t>("TUN_THREADS", 3);
  const auto c2d_threads = p2p::util::get_env<std::int32_t>("C2D_THREADS", 3);
  auto executor = co_await asio::this_coro::executor;
  p2p::util::TaskSet tasks(executor);

  auto node = inner->node;
  tasks.spawn([](std::shared_ptr<p2p::Node> node, CancellationToken token) -> asio::awaitable<void> {
    co_await (node->cancelled() || token.cancelled());
  }(node, token));
  for (std::int32_t i = 0; i < tun_threads; ++i) tasks.spawn(worker(token));
  for (std::int32_t i = 0; i < c2d_threads; ++i) tasks.spawn(worker(token));

  while (auto next = co_await tasks.join_next()) {
    if (!*next) {
      log::error("Task failed. Cancel token: {}", next->error().text);
      token.cancel();
    } else if (!token.is_cancelled()) {
      log::trace("Task prematurely finished. Cancel token.");
      token.cancel();
    }
  }
  log::trace("Node runner done.");
}

}  // namespace velarix::agent
