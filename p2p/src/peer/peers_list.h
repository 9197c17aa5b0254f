#pragma once
// The node's peers: the map public key -> peer (super peers and node peers),
// the map short id -> public key, and the default route.

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "identity/identity.h"
#include "node/short_id.h"
#include "peer/cow_map.h"
#include "peer/node_peer.h"
#include "peer/super_peer.h"
#include "util/snapshot.h"

namespace velarix::p2p {

using Peer = std::variant<std::shared_ptr<SuperPeer>, std::shared_ptr<NodePeer>>;

inline const std::shared_ptr<SuperPeer>* as_super_peer(const Peer& p) noexcept {
  return std::get_if<std::shared_ptr<SuperPeer>>(&p);
}
inline const std::shared_ptr<NodePeer>* as_node_peer(const Peer& p) noexcept {
  return std::get_if<std::shared_ptr<NodePeer>>(&p);
}

// Hashes public keys with a per-process random seed, so that nobody can choose
// keys that pile up in one bucket.
struct SeededPubKeyHash {
  SeededPubKeyHash();
  std::size_t operator()(const PubKey& k) const noexcept;
  std::uint64_t seed;
};

using PeersMap = CowMap<PubKey, Peer, SeededPubKeyHash>;
using ShortIdMap = CowMap<ShortId, PubKey>;

class PeersList {
 public:
  // `capacity`: entries reserved ahead in the peers map.
  explicit PeersList(std::size_t capacity) : peers(capacity) {}
  PeersList(const PeersList&) = delete;
  PeersList& operator=(const PeersList&) = delete;

  PeersMap peers;
  ShortIdMap short_ids;

  // The super peer that relays for this node.
  PubKey default_route() const noexcept { return *default_route_.load(); }
  void set_default_route(const PubKey& key) { default_route_.store(key); }

  std::shared_ptr<SuperPeer> super_peer(const PubKey& key) const;
  std::shared_ptr<NodePeer> node_peer(const PubKey& key) const;

 private:
  util::Snapshot<PubKey> default_route_;
};

}  // namespace velarix::p2p
