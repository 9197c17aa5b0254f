#include "agent/inner.h"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/log.h"
#include "util/system.h"
#include "util/task_set.h"

namespace velarix::agent {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using p2p::util::CancellationToken;

namespace {

constexpr auto kHousekeepingPeriod = std::chrono::seconds(10);

// A worker of a runner; the packet roads plug in here and end on the token.
asio::awaitable<void> worker(CancellationToken token) { co_await token.cancelled(); }

}  // namespace

void ChannelSink::accept(const p2p::PubKey& sender, std::span<const std::uint8_t> payload) {
  auto sent = channel_->try_send({sender, Packet(payload.begin(), payload.end())});
  if (!sent) log::warn("Received APP dropped: {}", sent.error().message());
}

void AgentInner::apply_desired_state(const std::shared_ptr<AgentInner>& inner, const Url& url,
                                     NetworkMap& networks) {
  auto it = networks.find(url);

  // Network interface: the host configures addresses; we only start the TUN runner once.
  inner->netif.apply_desired_state(inner);
  if (it != networks.end()) it->second.current_state.ip = it->second.desired_state.ip;

  // Router: the host installs routes from the network-change notification.
  if (it != networks.end()) {
    auto& net = it->second;
    log::trace(
        "We're running on a mobile platform where the network listener handles route updates. Therefore, we just "
        "assume everything is fine and hope for the best! \U0001F91E");
    net.current_state.routes = net.desired_state.routes;
    if (net.desired_state.forwardings.applied && !net.desired_state.forwardings.applied->empty()) {
      log::warn("We're configured as a gateway. Forwarding is not supported on this platform.");
    }
    net.current_state.forwardings = net.desired_state.forwardings;
  }

  AgentFirewall::apply_desired_state(*inner, networks, url);

  if (inner->dns) inner->dns->apply_desired_state(networks);
}

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
