#pragma once
// The firewall rules one node applies in one network: for every peer and
// every route, which packets may leave towards which peer (OUT) and which may
// be accepted from which peer (IN). Built by
// `NetworkConfig::effective_access_rule_list` (access_rules.cpp); the
// allowing rules become the routing tries (trie.cpp).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "identity/identity.h"
#include "network/config/ipv4_net.h"
#include "network/config/network_config.h"
#include "network/config/trie.h"

namespace velarix::network {

enum class Direction : std::uint8_t { IN, OUT };
enum class Action : std::uint8_t { Allow, Deny };

// Display texts: "IN", "OUT"; "ALLOW", "DENY".
std::string_view to_string(Direction d) noexcept;
std::string_view to_string(Action a) noexcept;
// Debug texts: "IN", "OUT"; "Allow", "Deny".
std::string_view debug_text(Direction d) noexcept;
std::string_view debug_text(Action a) noexcept;

struct EffectiveAccessRule {
  Direction direction = Direction::OUT;
  Ipv4Net source;  // a node's own address is always a /32
  Ipv4Net dest;    // a route's destination keeps its prefix length
  p2p::PubKey pk;  // OUT: the peer to send to; IN: the only peer to accept from
  Action action = Action::Deny;

  friend bool operator==(const EffectiveAccessRule&, const EffectiveAccessRule&) = default;

  // "EffectiveAccessRule { direction: OUT, source: ..., dest: ..., pk: ..., action: Allow }"
  std::string debug() const;
  // "direction=OUT source=... dest=... pk=... action=Allow\n"
  std::string to_string() const;
};

// A rule's identity in the list: peer and action are not part of it.
struct EffectiveAccessRuleListEntryKey {
  Direction direction = Direction::OUT;
  Ipv4Net source;
  Ipv4Net dest;

  friend bool operator==(const EffectiveAccessRuleListEntryKey&, const EffectiveAccessRuleListEntryKey&) = default;
};

}  // namespace velarix::network

template <>
struct std::hash<velarix::network::EffectiveAccessRuleListEntryKey> {
  std::size_t operator()(const velarix::network::EffectiveAccessRuleListEntryKey& k) const noexcept;
};

namespace velarix::network {

namespace detail {
// Whether two group sets have a name in common (exact comparison).
bool shares_group(const GroupSet& a, const GroupSet& b);
}  // namespace detail

// Destination, then source network (TX), or source, then destination (RX),
// to a peer key.
using PubKeyTrie = TwoLevelTrie<p2p::PubKey>;

struct RoutingTries {
  PubKeyTrie tx;  // OUT rules: dest -> source -> peer to send to
  PubKeyTrie rx;  // IN rules: source -> dest -> only peer to accept from
};

struct EffectiveAccessRuleList {
  std::unordered_map<EffectiveAccessRuleListEntryKey, EffectiveAccessRule> rules;

  // Same keys holding rules equal in all five fields.
  friend bool operator==(const EffectiveAccessRuleList&, const EffectiveAccessRuleList&) = default;

  std::size_t size() const noexcept { return rules.size(); }
  bool empty() const noexcept { return rules.empty(); }

  // The TX and RX tries of the allowing rules; DENY rules are left out.
  RoutingTries routing_tries() const;

  // Table of the rules: OUT before IN, then by source, then by destination
  // (addresses as numbers, then prefix lengths); header line first.
  std::string to_string() const;
  // "EffectiveAccessRuleList({key: rule, ...})", in table order.
  std::string debug() const;
};

}  // namespace velarix::network

template <>
struct fmt::formatter<velarix::network::Direction> : fmt::formatter<std::string_view> {
  auto format(velarix::network::Direction d, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(velarix::network::to_string(d), ctx);
  }
};

template <>
struct fmt::formatter<velarix::network::Action> : fmt::formatter<std::string_view> {
  auto format(velarix::network::Action a, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(velarix::network::to_string(a), ctx);
  }
};
