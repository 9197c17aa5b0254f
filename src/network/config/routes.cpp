#include "network/config/routes.h"

#include "network/config/access_rules.h"
#include "network/config/network_config.h"

namespace velarix::network {

using detail::shares_group;

std::expected<EffectiveRoutingList, ConfigError> NetworkConfig::effective_routing_list(
    const p2p::PubKey& my_key) const {
  const auto my_it = node.find(my_key);
  EffectiveRoutingList list;
  for (const auto& [dest, r] : route) {
    // This node forwards for its own routes instead of using them.
    if (r.gw == my_key) continue;
    if (!r.groups.empty()) {
      // A key that is no node carries no group, so group-bound routes are not its.
      if (my_it == node.end() || !shares_group(r.groups, my_it->second.groups)) continue;
    }
    const auto gw = node.find(r.gw);
    if (gw == node.end()) return std::unexpected(ConfigError::GatewayNotFound{r.gw});
    list.routes.insert_or_assign(r.dest, EffectiveRoute{r.dest, gw->second.ip});
  }
  return list;
}

EffectiveForwardingList NetworkConfig::effective_forwarding_list(const p2p::PubKey& my_key) const {
  EffectiveForwardingList list;
  for (const auto& [dest, r] : route) {
    if (r.gw == my_key) list.networks.insert(r.dest);
  }
  return list;
}

HostnameList NetworkConfig::hostnames(const p2p::PubKey& my_key) const {
  HostnameList list;
  for (const auto& [key, n] : node) {
    if (matching_policy(my_key, key)) list.hostnames.insert_or_assign(n.ip, n.hostname);
  }
  return list;
}

GroupMap NetworkConfig::groups() const {
  GroupMap map;
  for (const auto& [key, n] : node) {
    for (const auto& name : n.groups) map[name].insert(key);
  }
  return map;
}

std::optional<Ipv4Addr> NetworkConfig::ip(const p2p::PubKey& key) const {
  const auto it = node.find(key);
  if (it == node.end()) return std::nullopt;
  return it->second.ip;
}

}  // namespace velarix::network
