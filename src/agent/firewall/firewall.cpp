#include "agent/firewall/firewall.h"

#include "agent/inner.h"
#include "agent/status_format.h"
#include "util/log.h"
#include "util/net.h"
#include "util/span.h"

namespace velarix::agent {

void AgentFirewall::apply_desired_state(AgentInner& inner, NetworkMap& networks, const Url& url) {
  auto it = networks.find(url);
  if (it == networks.end()) return;
  auto& net = it->second;
  if (net.current_state.access_rules == net.desired_state.access_rules) return;
  if (log::enabled(spdlog::level::trace)) {
    log::trace("Access rules change: current=\n{}; desired=\n{}", net.current_state.access_rules.to_string(),
               net.desired_state.access_rules.to_string());
  }
  net.current_state.access_rules = net.desired_state.access_rules;
  update_tries(inner, networks);
}

void AgentFirewall::update_tries(AgentInner& inner, const NetworkMap& networks) {
  log::Span span(spdlog::level::info, "update_tries");
  log::trace("Rebuild tries");
  auto tx = std::make_shared<TxTrie>();
  auto rx = std::make_shared<RxTrie>();
  for (const auto& [url, net] : networks) {
    const auto& rules = net.current_state.access_rules.applied;
    if (!rules) {
      log::trace("No access rules available for network network={:?}", masked(net.config_url));
      continue;
    }
    auto tries = rules->routing_tries();
    log::trace("Processing access rules for network network={:?}", masked(url.as_str()));
    for (const auto& [dest_net, sources] : tries.tx) {
      network::IpnetTrie<std::shared_ptr<p2p::SendHandle>> inner_trie;
      log::trace("Building TX trie for dest network dest_net={}", dest_net);
      for (const auto& [source_net, peer] : sources) {
        auto handle = inner.node->send_handle(peer);
        if (!handle) {
          // Without a handle the route cannot carry packets; the rest of the tries stays usable.
          log::warn("No send handle for peer {}, route {} -> {} left out: {}", peer.to_string(),
                    source_net.to_string(), dest_net.to_string(), handle.error().message());
          continue;
        }
        inner_trie.insert(source_net, std::move(*handle));
        log::trace("Added TX route: {} -> {} via peer {} dest_net={} source_net={} peer={}", source_net, dest_net,
                   peer, dest_net, source_net, peer);
      }
      tx->insert(dest_net, std::move(inner_trie));
    }
    for (const auto& [source_net, dests] : tries.rx) {
      network::IpnetTrie<p2p::PubKey> inner_trie;
      log::trace("Building RX trie for source network source_net={}", source_net);
      for (const auto& [dest_net, peer] : dests) {
        inner_trie.insert(dest_net, peer);
        log::trace("Added RX route: {} -> {} from peer {} to TUN device source_net={} dest_net={} peer={}",
                   source_net, dest_net, peer, source_net, dest_net, peer);
      }
      rx->insert(source_net, std::move(inner_trie));
    }
  }
  log::trace("Tries rebuilt successfully.");
  inner.tx_trie.store(std::move(tx));
  inner.rx_trie.store(std::move(rx));
}

}  // namespace velarix::agent
