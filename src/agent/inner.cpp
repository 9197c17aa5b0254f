#include "agent/inner.h"

#include <algorithm>
#include <exception>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/log.h"
#include "util/runtime.h"

namespace velarix::agent {

boost::asio::any_io_executor road_executor(const AgentInner& inner, std::int32_t index) {
  if (inner.node) {
    const auto bindings = inner.node->udp_bindings();
    if (bindings && !bindings->empty()) {
      const auto i = static_cast<std::size_t>(index < 0 ? 0 : index) % bindings->size();
      return (*bindings)[i]->socket()->get_executor();
    }
  }
  return inner.executor;
}

namespace {

// Carries a cancellation of the caller over to the task's executor. The signal is shared, so
// that an emission still on its way when the task has ended finds it alive.
struct ForwardTo {
  std::shared_ptr<boost::asio::cancellation_signal> signal;
  boost::asio::any_io_executor executor;
  void operator()(boost::asio::cancellation_type_t type) const {
    if (type == boost::asio::cancellation_type::none) return;
    boost::asio::dispatch(executor, [signal = signal, type] { signal->emit(type); });
  }
};

}  // namespace

boost::asio::awaitable<void> run_on(boost::asio::any_io_executor executor, boost::asio::awaitable<void> task) {
  // A lane has one thread; elsewhere the task gets a strand of its own, as every task does.
  // Either way it runs inside the caller's spans.
  using p2p::util::TaskSpans;
  executor = p2p::util::Runtime::is_lane(executor) ? p2p::util::make_task_executor(executor, TaskSpans::caller)
                                                   : p2p::util::make_task_strand(executor, TaskSpans::caller);
  auto signal = std::make_shared<boost::asio::cancellation_signal>();
  boost::asio::cancellation_state state = co_await boost::asio::this_coro::cancellation_state;
  boost::asio::cancellation_slot own = state.slot();
  if (own.is_connected()) own.template emplace<ForwardTo>(ForwardTo{signal, executor});
  auto [failure] = co_await boost::asio::co_spawn(
      executor, std::move(task),
      boost::asio::bind_cancellation_slot(signal->slot(), boost::asio::as_tuple(boost::asio::use_awaitable)));
  if (own.is_connected()) own.clear();
  if (failure) std::rethrow_exception(failure);
}

void ChannelSink::accept(const p2p::PubKey& sender, std::span<const std::uint8_t> payload) {
  auto sent = channel_->try_send({sender, Packet(payload.begin(), payload.end())});
  if (!sent) {
    p2p::util::limited_log(dropped_log_, spdlog::level::warn, "dropped payloads", "Received APP dropped: {}",
                           sent.error().message());
  }
}

void AgentInner::keep_node_off_overlay(const NetworkMap& networks) const {
  if (!node) return;
  std::vector<p2p::util::net::IpNetwork> overlay;
  const auto add = [&](const network::Ipv4Net& ip) {
    const p2p::util::net::IpNetwork n{boost::asio::ip::address_v4(ip.addr().to_uint()), ip.prefix_len()};
    if (std::find(overlay.begin(), overlay.end(), n) == overlay.end()) overlay.push_back(n);
  };
  for (const auto& [url, net] : networks) {
    if (const auto& ip = net.current_state.ip.applied) add(*ip);
  }
  // The host removes an address only once it is told to.
  if (state.last_network_change && state.last_network_change->ips) {
    for (const auto& ip : *state.last_network_change->ips) add(ip);
  }
  node->set_overlay_networks(std::move(overlay));
}

void AgentInner::apply_desired_state(const std::shared_ptr<AgentInner>& inner, const Url& url,
                                     NetworkMap& networks) {
  auto it = networks.find(url);

  // Network interface: the host configures addresses; we only start the TUN runner once.
  inner->netif.apply_desired_state(inner);
  if (it != networks.end()) it->second.current_state.ip = it->second.desired_state.ip;
  inner->keep_node_off_overlay(networks);

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

}  // namespace velarix::agent
