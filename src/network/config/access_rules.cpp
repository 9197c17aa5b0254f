#include "network/config/access_rules.h"

#include <utility>

#include "network/config/network_config.h"
#include "util/log.h"
#include "util/keyed_hash.h"

namespace velarix::network {

std::string_view to_string(Direction d) noexcept { return d == Direction::IN ? "IN" : "OUT"; }
std::string_view to_string(Action a) noexcept { return a == Action::Allow ? "ALLOW" : "DENY"; }
std::string_view debug_text(Direction d) noexcept { return to_string(d); }
std::string_view debug_text(Action a) noexcept { return a == Action::Allow ? "Allow" : "Deny"; }

bool detail::shares_group(const GroupSet& a, const GroupSet& b) {
  const GroupSet& small = a.size() <= b.size() ? a : b;
  const GroupSet& large = a.size() <= b.size() ? b : a;
  for (const auto& name : small) {
    if (large.contains(name)) return true;
  }
  return false;
}

namespace {

using detail::shares_group;

// A policy side takes a node when it names "ALL" or one of the node's groups.
bool side_accepts(const GroupSet& side, const NetworkNode& n) {
  return side.contains("ALL") || shares_group(side, n.groups);
}

// A route without groups is open to every node; "ALL" has no meaning here.
bool route_admits(const NetworkRoute& r, const NetworkNode& n) {
  return r.groups.empty() || shares_group(r.groups, n.groups);
}

Ipv4Net host(Ipv4Addr a) { return Ipv4Net(a, 32); }

Action action_of(bool allowed) { return allowed ? Action::Allow : Action::Deny; }

// Collects the rules; the first repeated key spoils the whole list.
class RuleBuilder {
 public:
  bool add(std::string_view what, EffectiveAccessRule rule) {
    if (log::enabled(spdlog::level::trace)) log::trace("{}{}", what, rule.debug());
    EffectiveAccessRuleListEntryKey key{rule.direction, rule.source, rule.dest};
    return list_.rules.try_emplace(key, std::move(rule)).second;
  }
  EffectiveAccessRuleList take() { return std::move(list_); }

 private:
  EffectiveAccessRuleList list_;
};

}  // namespace

bool NetworkConfig::matching_policy(const p2p::PubKey& a, const p2p::PubKey& b) const {
  if (a == b) return true;
  const auto ia = node.find(a);
  const auto ib = node.find(b);
  if (ia == node.end() || ib == node.end()) return false;
  const NetworkNode& na = ia->second;
  const NetworkNode& nb = ib->second;
  for (const NetworkPolicy& p : policy) {
    if (side_accepts(p.source_groups, na) && side_accepts(p.destination_groups, nb)) return true;
    if (side_accepts(p.source_groups, nb) && side_accepts(p.destination_groups, na)) return true;
  }
  return false;
}

std::expected<EffectiveAccessRuleList, ConfigError> NetworkConfig::effective_access_rule_list(
    const p2p::PubKey& my_key) const {
  const auto my_it = node.find(my_key);
  // Callers ask only for networks that list this node; a non-member has no rules.
  if (my_it == node.end()) return EffectiveAccessRuleList{};
  const NetworkNode& me = my_it->second;
  const Ipv4Net my_host = host(me.ip);
  const std::unexpected<ConfigError> duplicate{ConfigError::RouteDuplicate{}};

  RuleBuilder b;

  for (const auto& [key, n] : node) {
    if (key == my_key) continue;
    if (!b.add("Adding OUT rule for node: ",
               {Direction::OUT, my_host, host(n.ip), key, action_of(matching_policy(my_key, key))}))
      return duplicate;
  }

  for (const auto& [dest, r] : route) {
    if (r.gw == my_key) {
      for (const auto& [key, n] : node) {
        if (key == my_key) continue;
        if (!b.add("Adding OUT rule for route (gateway): ",
                   {Direction::OUT, r.dest, host(n.ip), key, action_of(route_admits(r, n))}))
          return duplicate;
      }
    } else if (!b.add("Adding OUT rule for route (non-gateway): ",
                      {Direction::OUT, my_host, r.dest, r.gw, action_of(route_admits(r, me))})) {
      return duplicate;
    }
  }

  for (const auto& [key, n] : node) {
    if (key == my_key) continue;
    if (!b.add("Adding IN rule for node: ",
               {Direction::IN, host(n.ip), my_host, key, action_of(matching_policy(my_key, key))}))
      return duplicate;
  }

  for (const auto& [dest, r] : route) {
    if (r.gw == my_key) {
      for (const auto& [key, n] : node) {
        if (key == my_key) continue;
        if (!b.add("Adding IN rule for route (gateway): ",
                   {Direction::IN, host(n.ip), r.dest, key, action_of(route_admits(r, n))}))
          return duplicate;
      }
    } else if (!b.add("Adding IN rule for route (non-gateway): ",
                      {Direction::IN, r.dest, my_host, r.gw, action_of(route_admits(r, me))})) {
      return duplicate;
    }
  }

  return b.take();
}

}  // namespace velarix::network

std::size_t std::hash<velarix::network::EffectiveAccessRuleListEntryKey>::operator()(
    const velarix::network::EffectiveAccessRuleListEntryKey& k) const noexcept {
  // Keyed over every field: a document's author chooses the networks.
  unsigned char bytes[11];
  auto put = [&bytes](int at, const velarix::network::Ipv4Net& n) {
    const std::uint32_t a = n.addr().to_uint();
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(a >> (8 * i));
    bytes[at + 4] = n.prefix_len();
  };
  put(0, k.source);
  put(5, k.dest);
  bytes[10] = static_cast<unsigned char>(k.direction);
  return static_cast<std::size_t>(velarix::p2p::util::keyed_hash(bytes, sizeof bytes));
}
