#pragma once
// An ordinary peer of the node: another node it exchanges application payloads
// with, directly over UDP paths or relayed through super peers.

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/messages.h"
#include "node/error.h"
#include "node/pow_status.h"
#include "node/short_id.h"
#include "peer/cow_map.h"
#include "peer/path.h"
#include "peer/replay_window.h"
#include "util/snapshot.h"

namespace velarix::p2p {

using DirectPaths = CowMap<PeerPathKey, std::shared_ptr<PeerPath>, PeerPathKeyHash>;
using RelayPaths = CowMap<PubKey, std::shared_ptr<PeerPath>>;
// The cell of a peer's last application-transmit time, shared with its send handle.
using TimeCell = std::atomic<std::uint64_t>;

class NodePeer {
 public:
  // A peer keeps at most this many direct paths (each costs about 0.6 KiB): a new one takes the
  // place of the least useful path that is not reachable, and is ignored when all are.
  static constexpr std::size_t kMaxDirectPaths = 16;

  // `pow`: the proof of work the peer presented, checked against `min_difficulty`
  // now; none when the peer is created before it sent anything (it is checked on
  // its first long header). With `arm_messages` the session key is derived from
  // the node's X25519 keys and the peer's key.
  static std::expected<std::shared_ptr<NodePeer>, PeerError> create(
      std::optional<Pow> pow, const PubKey& key, std::uint8_t min_difficulty, bool arm_messages,
      const std::optional<crypto::X25519Key>& my_sk, const std::optional<crypto::X25519Key>& my_pk,
      std::uint64_t now, const PubKey& default_route, std::shared_ptr<TimeCell> app_tx = nullptr);
  // The same with the session key already derived (or none, unarmed).
  static std::shared_ptr<NodePeer> create_with_key(std::optional<Pow> pow, const PubKey& key,
                                                   std::uint8_t min_difficulty, MessageKey message_key,
                                                   std::uint64_t now, const PubKey& default_route,
                                                   std::shared_ptr<TimeCell> app_tx = nullptr);
  // The session key shared with `key`: X25519 of the node's keys and the peer's.
  static std::expected<crypto::SessionKey, PeerError> derive_key(const PubKey& key, const crypto::X25519Key& my_sk,
                                                                 const crypto::X25519Key& my_pk) noexcept;

  NodePeer(const NodePeer&) = delete;
  NodePeer& operator=(const NodePeer&) = delete;

  const PubKey& key() const noexcept { return key_; }
  const MessageKey& message_key() const noexcept { return message_key_; }
  std::uint64_t created_at() const noexcept { return created_at_; }
  // The replay window of the peer's armed messages; null when messages are not armed.
  ReplayWindow* replay() const noexcept { return replay_.get(); }

  // True when `pow` meets `min_difficulty` for `key`; the answer for the last
  // proof of work seen is remembered, so a peer's packets cost one hash only when
  // its proof of work changes.
  std::expected<bool, PeerError> validate_pow(Pow pow, const PubKey& key, std::uint8_t min_difficulty) noexcept;
  PowStatus pow() const noexcept;

  // Application traffic marks (µs since the Unix epoch, 0 = never).
  // Written once per clock tick at most: every packet of the peer passes here.
  void app_rx(std::uint64_t now) noexcept {
    if (app_rx_.load(std::memory_order_relaxed) != now) app_rx_.store(now, std::memory_order_release);
  }
  std::uint64_t app_rx_time() const noexcept { return app_rx_.load(std::memory_order_acquire); }
  std::uint64_t app_tx_time() const noexcept { return app_tx_->load(std::memory_order_acquire); }
  const std::shared_ptr<TimeCell>& app_tx_cell() const noexcept { return app_tx_; }
  // Traffic in either direction within `window_ms` before `now`.
  bool has_app_traffic(std::uint64_t now, std::uint64_t window_ms) const noexcept;
  void clear_app_tx_rx() noexcept;

  ShortId rx_short_id() const noexcept { return ShortId(rx_short_id_.load(std::memory_order_acquire)); }
  void set_rx_short_id(ShortId id) noexcept { rx_short_id_.store(id.value(), std::memory_order_release); }
  std::optional<ShortId> tx_short_id() const noexcept;
  void set_tx_short_id(std::optional<ShortId> id) noexcept;

  // Bytes of authenticated messages received from the peer, which HELLOs to its unverified
  // endpoints spend: what the node sends to addresses the peer named can never exceed what the
  // peer sent (no amplification of a reflection attack through this node).
  static constexpr std::int64_t kMaxProbeCredit = 64 * 1024;
  void earn_probe_credit(std::size_t bytes) noexcept {
    if (probe_credit_.load(std::memory_order_relaxed) < kMaxProbeCredit) {
      probe_credit_.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
    }
  }
  bool spend_probe_credit(std::size_t bytes) noexcept {
    std::int64_t cur = probe_credit_.load(std::memory_order_relaxed);
    const auto n = static_cast<std::int64_t>(bytes);
    while (cur >= n) {
      if (probe_credit_.compare_exchange_weak(cur, cur - n, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  // UNITEs about this peer are acted on at most once per interval (a super peer could send any
  // number); true when `now` may act, and then it is recorded.
  bool take_unite(std::uint64_t now, std::uint64_t interval_us) noexcept {
    return take_turn(last_unite_, now, interval_us);
  }

  // Whether the peer has answered a HELLO of ours carrying our current rx short id: until it
  // has, it may still be sending short headers with an id of an earlier life of ours (a node
  // restarted with its identity draws new ids), which we refuse.
  bool knows_rx_short_id() const noexcept {
    return known_rx_short_id_.load(std::memory_order_acquire) == rx_short_id_.load(std::memory_order_acquire);
  }
  void rx_short_id_known() noexcept {
    known_rx_short_id_.store(rx_short_id_.load(std::memory_order_acquire), std::memory_order_release);
  }
  // Greetings (HELLOs sent because the peer may not know our rx short id) go at most once per
  // interval; true when `now` may send one, and then it is recorded.
  bool take_greeting(std::uint64_t now, std::uint64_t interval_us) noexcept {
    return take_turn(last_greeting_, now, interval_us);
  }

  DirectPaths& paths() noexcept { return paths_; }
  const DirectPaths& paths() const noexcept { return paths_; }
  RelayPaths& relay_paths() noexcept { return relay_paths_; }
  const RelayPaths& relay_paths() const noexcept { return relay_paths_; }
  // The path through `super_peer`, added when absent.
  std::shared_ptr<PeerPath> relay_path(const PubKey& super_peer);
  // The path under `key`, added when absent. A peer with kMaxDirectPaths paths makes room by
  // dropping the least useful one that is not reachable at `now` (never answered before once
  // answered, then the most HELLOs unanswered, then the oldest answer); null when every path is
  // reachable.
  std::shared_ptr<PeerPath> direct_path(const PeerPathKey& key, std::uint64_t now, std::uint64_t hello_timeout_ms);

  void clear_paths();
  // Drops direct paths whose HELLOs have gone unanswered longer than `hello_timeout_ms`.
  void remove_stale_paths(std::uint64_t now, std::uint64_t hello_timeout_ms);
  // A direct path is reachable.
  bool is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const;
  // The reachable direct path with the lowest median round trip (ties: the latest ACK).
  std::optional<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> best_path(std::uint64_t now,
                                                                           std::uint64_t hello_timeout_ms) const;

  // Chooses the relaying super peer (the reachable relay path with the lowest
  // round trip, else the default route) and records the best direct path.
  void update_best_relay(std::uint64_t now, std::uint64_t hello_timeout_ms, const PubKey& default_route);
  PubKey best_sp() const noexcept { return *best_sp_.load(); }
  std::optional<PeerPathKey> best_path_key() const noexcept { return *best_path_key_.load(); }

 private:
  NodePeer(const PubKey& key, MessageKey message_key, std::uint64_t now, const PubKey& default_route,
           std::shared_ptr<TimeCell> app_tx);
  static bool take_turn(std::atomic<std::uint64_t>& last_time, std::uint64_t now, std::uint64_t interval_us) noexcept {
    std::uint64_t last = last_time.load(std::memory_order_relaxed);
    if (last != 0 && now >= last && now - last < interval_us) return false;
    return last_time.compare_exchange_strong(last, now, std::memory_order_relaxed);
  }

  PubKey key_;
  MessageKey message_key_;
  std::unique_ptr<ReplayWindow> replay_;
  std::uint64_t created_at_;
  // Bits 0..31: the last proof of work checked; bits 32..39: its PowStatus.
  std::atomic<std::uint64_t> pow_state_{0};
  std::shared_ptr<TimeCell> app_tx_;
  std::atomic<std::uint64_t> app_rx_{0};
  std::atomic<std::uint32_t> rx_short_id_{0};
  std::atomic<std::uint32_t> tx_short_id_{0};  // 0: none
  std::atomic<std::int64_t> probe_credit_{0};
  std::atomic<std::uint64_t> last_unite_{0};
  std::atomic<std::uint32_t> known_rx_short_id_{0};  // the rx short id the peer answered a HELLO with
  std::atomic<std::uint64_t> last_greeting_{0};
  std::mutex paths_admission_;  // serialises adding (and making room for) direct paths
  DirectPaths paths_;
  RelayPaths relay_paths_;
  util::Snapshot<PubKey> best_sp_;
  util::Snapshot<std::optional<PeerPathKey>> best_path_key_;
};

}  // namespace velarix::p2p
