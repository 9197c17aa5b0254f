#include "peer/node_peer.h"

#include <utility>

namespace velarix::p2p {

namespace {
std::uint64_t pack_pow(Pow pow, PowStatus status) noexcept {
  return static_cast<std::uint32_t>(pow.to_i32()) | (std::uint64_t{static_cast<std::uint8_t>(status)} << 32);
}
}  // namespace

NodePeer::NodePeer(const PubKey& key, MessageKey message_key, std::uint64_t now, const PubKey& default_route,
                   std::shared_ptr<TimeCell> app_tx)
    : key_(key),
      message_key_(message_key),
      replay_(message_key ? std::make_unique<ReplayWindow>() : nullptr),
      created_at_(now),
      app_tx_(app_tx ? std::move(app_tx) : std::make_shared<TimeCell>(0)),
      best_sp_(default_route),
      best_path_key_(std::optional<PeerPathKey>{}) {}

std::expected<crypto::SessionKey, PeerError> NodePeer::derive_key(const PubKey& key, const crypto::X25519Key& my_sk,
                                                                 const crypto::X25519Key& my_pk) noexcept {
  auto peer_x = crypto::convert_ed25519_pk_to_curve25519_pk(key);
  if (!peer_x) return std::unexpected(PeerError(peer_x.error()));
  auto session = crypto::compute_kx_session_keys(my_pk, my_sk, *peer_x);
  if (!session) return std::unexpected(PeerError(session.error()));
  return *session;
}

std::expected<std::shared_ptr<NodePeer>, PeerError> NodePeer::create(
    std::optional<Pow> pow, const PubKey& key, std::uint8_t min_difficulty, bool arm_messages,
    const std::optional<crypto::X25519Key>& my_sk, const std::optional<crypto::X25519Key>& my_pk, std::uint64_t now,
    const PubKey& default_route, std::shared_ptr<TimeCell> app_tx) {
  MessageKey message_key;
  if (arm_messages) {
    if (!my_sk || !my_pk) return std::unexpected(PeerError(CryptoError{CryptoError::Kind::KeyExchangeFailed}));
    auto session = derive_key(key, *my_sk, *my_pk);
    if (!session) return std::unexpected(session.error());
    message_key = *session;
  }
  return create_with_key(pow, key, min_difficulty, message_key, now, default_route, std::move(app_tx));
}

std::shared_ptr<NodePeer> NodePeer::create_with_key(std::optional<Pow> pow, const PubKey& key,
                                                    std::uint8_t min_difficulty, MessageKey message_key,
                                                    std::uint64_t now, const PubKey& default_route,
                                                    std::shared_ptr<TimeCell> app_tx) {
  std::shared_ptr<NodePeer> peer(new NodePeer(key, message_key, now, default_route, std::move(app_tx)));
  peer->set_rx_short_id(ShortId::random());
  if (pow) {
    const PowStatus status = pow->is_valid(key, min_difficulty) ? PowStatus::Ok : PowStatus::Nok;
    peer->pow_state_.store(pack_pow(*pow, status), std::memory_order_release);
  }
  return peer;
}

std::expected<bool, PeerError> NodePeer::validate_pow(Pow pow, const PubKey& key,
                                                      std::uint8_t min_difficulty) noexcept {
  const std::uint64_t state = pow_state_.load(std::memory_order_acquire);
  const auto status = static_cast<PowStatus>(state >> 32);
  if (status != PowStatus::Unknw && static_cast<std::uint32_t>(state) == static_cast<std::uint32_t>(pow.to_i32())) {
    return status == PowStatus::Ok;
  }
  const bool ok = pow.is_valid(key, min_difficulty);
  pow_state_.store(pack_pow(pow, ok ? PowStatus::Ok : PowStatus::Nok), std::memory_order_release);
  return ok;
}

PowStatus NodePeer::pow() const noexcept {
  return static_cast<PowStatus>(pow_state_.load(std::memory_order_acquire) >> 32);
}

bool NodePeer::has_app_traffic(std::uint64_t now, std::uint64_t window_ms) const noexcept {
  const std::uint64_t last = std::max(app_tx_time(), app_rx_time());
  if (last == 0) return false;
  return (now > last ? now - last : 0) <= window_ms * 1000;
}

void NodePeer::clear_app_tx_rx() noexcept {
  app_tx_->store(0, std::memory_order_release);
  app_rx_.store(0, std::memory_order_release);
}

std::optional<ShortId> NodePeer::tx_short_id() const noexcept {
  const std::uint32_t v = tx_short_id_.load(std::memory_order_acquire);
  if (v == 0) return std::nullopt;
  return ShortId(v);
}

void NodePeer::set_tx_short_id(std::optional<ShortId> id) noexcept {
  tx_short_id_.store(id && id->is_valid() ? id->value() : 0, std::memory_order_release);
}

std::shared_ptr<PeerPath> NodePeer::relay_path(const PubKey& super_peer) {
  if (auto p = relay_paths_.get(super_peer)) return *p;
  return relay_paths_.insert_if_absent(super_peer, std::make_shared<PeerPath>()).first;
}

std::shared_ptr<PeerPath> NodePeer::direct_path(const PeerPathKey& key, std::uint64_t now,
                                                std::uint64_t hello_timeout_ms) {
  if (auto p = paths_.get(key)) return *p;
  std::lock_guard lock(paths_admission_);
  if (auto p = paths_.get(key)) return *p;
  if (paths_.size() >= kMaxDirectPaths) {
    // The least useful path goes: one that never answered (one the peer was never heard on, then
    // the most HELLOs unanswered first) before one that did (the oldest answer first). A
    // reachable path is never given up for a new one, which is unproven.
    std::optional<PeerPathKey> worst;
    util::Snapshot<PeerPathInner>::Ptr worst_inner;
    const auto rank = [](const PeerPathInner& i) { return std::pair(i.last_ack_time, i.heard); };
    for (const auto snapshot = paths_.snapshot(); const auto& [k, p] : *snapshot) {
      auto inner = p->inner();
      if (inner->is_reachable(now, hello_timeout_ms)) continue;
      if (!worst || rank(*inner) < rank(*worst_inner) ||
          (rank(*inner) == rank(*worst_inner) && inner->unanswered > worst_inner->unanswered)) {
        worst = k;
        worst_inner = std::move(inner);
      }
    }
    if (!worst) return nullptr;
    paths_.erase(*worst);
  }
  return paths_.insert_if_absent(key, std::make_shared<PeerPath>()).first;
}

void NodePeer::clear_paths() {
  paths_.clear();
  relay_paths_.clear();
  best_path_key_.store(std::optional<PeerPathKey>{});
}

void NodePeer::remove_stale_paths(std::uint64_t now, std::uint64_t hello_timeout_ms) {
  paths_.erase_if([&](const PeerPathKey&, const std::shared_ptr<PeerPath>& p) {
    return p->is_stale(now, hello_timeout_ms);
  });
}

bool NodePeer::is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  for (const auto snapshot = paths_.snapshot(); const auto& [k, p] : *snapshot) {
    if (p->is_reachable(now, hello_timeout_ms)) return true;
  }
  return false;
}

namespace {
// Lower is better: median round trip, then the latest ACK.
bool better(const PeerPathInner& a, const PeerPathInner& b) {
  const auto la = a.median_latency().value_or(UINT64_MAX);
  const auto lb = b.median_latency().value_or(UINT64_MAX);
  if (la != lb) return la < lb;
  return a.last_ack_time > b.last_ack_time;
}
}  // namespace

std::optional<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> NodePeer::best_path(
    std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  std::optional<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> best;
  util::Snapshot<PeerPathInner>::Ptr best_inner;
  for (const auto snapshot = paths_.snapshot(); const auto& [k, p] : *snapshot) {
    auto inner = p->inner();
    if (!inner->is_reachable(now, hello_timeout_ms)) continue;
    if (!best || better(*inner, *best_inner)) {
      best.emplace(k, p);
      best_inner = inner;
    }
  }
  return best;
}

void NodePeer::update_best_relay(std::uint64_t now, std::uint64_t hello_timeout_ms, const PubKey& default_route) {
  std::optional<PubKey> best;
  util::Snapshot<PeerPathInner>::Ptr best_inner;
  for (const auto snapshot = relay_paths_.snapshot(); const auto& [k, p] : *snapshot) {
    auto inner = p->inner();
    if (!inner->is_reachable(now, hello_timeout_ms)) continue;
    if (!best || better(*inner, *best_inner)) {
      best = k;
      best_inner = inner;
    }
  }
  best_sp_.store(best.value_or(default_route));
  auto bp = best_path(now, hello_timeout_ms);
  best_path_key_.store(bp ? std::optional<PeerPathKey>(bp->first) : std::nullopt);
}

}  // namespace velarix::p2p
