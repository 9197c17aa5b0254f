// The routing tries of one network's access rules. Only allowing rules get
// an entry: a packet whose lookup misses is dropped by the packet roads.

#include "network/config/trie.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "network/config/access_rules.h"

namespace velarix::network {

namespace {

using Group = std::vector<const EffectiveAccessRule*>;

// One inner trie per outer network. Outer networks that differ only in their
// host bits are one prefix in the trie: the group inserted later replaces the
// earlier one whole.
PubKeyTrie build(const std::unordered_map<Ipv4Net, Group>& groups, Ipv4Net EffectiveAccessRule::*inner_key) {
  PubKeyTrie trie;
  for (const auto& [outer, rules] : groups) {
    IpnetTrie<p2p::PubKey> inner;
    for (const EffectiveAccessRule* r : rules) inner.insert(r->*inner_key, r->pk);
    trie.insert(outer, std::move(inner));
  }
  return trie;
}

}  // namespace

RoutingTries EffectiveAccessRuleList::routing_tries() const {
  std::unordered_map<Ipv4Net, Group> by_dest;    // OUT rules
  std::unordered_map<Ipv4Net, Group> by_source;  // IN rules
  for (const auto& [key, rule] : rules) {
    if (rule.action != Action::Allow) continue;
    if (rule.direction == Direction::OUT) {
      by_dest[rule.dest].push_back(&rule);
    } else {
      by_source[rule.source].push_back(&rule);
    }
  }
  return RoutingTries{build(by_dest, &EffectiveAccessRule::source), build(by_source, &EffectiveAccessRule::dest)};
}

}  // namespace velarix::network
