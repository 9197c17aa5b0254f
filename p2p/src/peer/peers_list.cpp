#include "peer/peers_list.h"

#include "crypto/crypto.h"

namespace velarix::p2p {

SeededPubKeyHash::SeededPubKeyHash() {
  static const std::uint64_t process_seed = [] {
    std::uint64_t s = 0;
    crypto::random_bytes(std::span(reinterpret_cast<std::uint8_t*>(&s), sizeof s));
    return s | 1;
  }();
  seed = process_seed;
}

std::size_t SeededPubKeyHash::operator()(const PubKey& k) const noexcept {
  std::uint64_t h = seed;
  const auto& b = k.bytes();
  for (std::size_t i = 0; i < b.size(); i += 8) {
    std::uint64_t w = 0;
    for (std::size_t j = 0; j < 8; ++j) w = (w << 8) | b[i + j];
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return static_cast<std::size_t>(h);
}

std::shared_ptr<SuperPeer> PeersList::super_peer(const PubKey& key) const {
  auto p = peers.get(key);
  if (!p) return nullptr;
  if (auto sp = as_super_peer(*p)) return *sp;
  return nullptr;
}

std::shared_ptr<NodePeer> PeersList::node_peer(const PubKey& key) const {
  auto p = peers.get(key);
  if (!p) return nullptr;
  if (auto np = as_node_peer(*p)) return *np;
  return nullptr;
}

}  // namespace velarix::p2p
