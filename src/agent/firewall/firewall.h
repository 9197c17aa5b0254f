#pragma once
// The firewall: the allowing access rules of every network as two lookup
// tries that the packet roads read without a lock.

#include <memory>

#include "agent/config.h"
#include "network/config/trie.h"
#include "node/send_handle.h"
#include "util/snapshot.h"

namespace velarix::agent {

struct AgentInner;

// Destination, then source -> the peer's send handle.
using TxTrie = network::TwoLevelTrie<std::shared_ptr<p2p::SendHandle>>;
// Source, then destination -> the only peer allowed to deliver.
using RxTrie = network::TwoLevelTrie<p2p::PubKey>;
// A packet task's own view of the published tries.
using TxTrieCache = p2p::util::Snapshot<TxTrie>::Cached;
using RxTrieCache = p2p::util::Snapshot<RxTrie>::Cached;

struct AgentFirewall {
  // When the network's access rules changed: records them as applied and rebuilds the tries.
  static void apply_desired_state(AgentInner& inner, NetworkMap& networks, const Url& url);
  // Builds both tries from every network's applied rules and publishes them.
  static void update_tries(AgentInner& inner, const NetworkMap& networks);
};

}  // namespace velarix::agent
