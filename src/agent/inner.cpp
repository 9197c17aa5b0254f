#include "agent/inner.h"

#include "util/log.h"

namespace velarix::agent {

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

}  // namespace velarix::agent
