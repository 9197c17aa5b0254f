#pragma once
// When pairs of nodes were introduced to each other: the exact state of a pair, and the hints
// every relay reads without a lock.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "superpeer/common.h"
#include "util/keyed_hash.h"

namespace velarix::p2p::superpeer {

struct PairKey {
  PubKey a, b;  // a < b
  friend bool operator==(const PairKey&, const PairKey&) = default;
};
struct PairKeyHash {
  std::size_t operator()(const PairKey& k) const noexcept {
    const std::hash<PubKey> h;
    return h(k.a) * 31 + h(k.b);
  }
};

// When a pair of nodes was last introduced (epoch: never), and since when an introduction has
// waited for both nodes' addresses to have paid for their UNITEs (epoch: none waits).
struct UniteState {
  Clock::time_point introduced{};
  Clock::time_point waiting_since{};
};

// When each pair of nodes was last introduced, as a hint read on every relay without a lock: a
// fixed table indexed by a keyed hash of the pair, each slot holding a tag of the pair's hash and
// the time in milliseconds. Only a relay whose pair is not marked recent here goes on to the
// exact table under the lock; pairs that share a slot only cost that detour.
class UniteHints {
 public:
  explicit UniteHints(std::size_t pairs) : slots_(std::bit_ceil(std::max<std::size_t>(pairs, 1024))) {
    crypto::random_bytes(std::span(reinterpret_cast<std::uint8_t*>(key_.data()), sizeof key_));
  }

  bool recent(const PubKey& a, const PubKey& b, std::uint64_t now_ms, std::uint64_t interval_ms) const noexcept {
    const auto [slot, tag] = locate(a, b);
    const std::uint64_t cur = slots_[slot].load(std::memory_order_relaxed);
    return cur != 0 && (cur & ~kTimeMask) == tag && ((now_ms - cur) & kTimeMask) < interval_ms;
  }
  void mark(const PubKey& a, const PubKey& b, std::uint64_t now_ms) noexcept {
    const auto [slot, tag] = locate(a, b);
    slots_[slot].store(tag | (now_ms & kTimeMask), std::memory_order_relaxed);
  }
  void clear() noexcept {
    for (auto& s : slots_) s.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr std::uint64_t kTimeMask = (std::uint64_t{1} << 48) - 1;
  std::pair<std::size_t, std::uint64_t> locate(const PubKey& a, const PubKey& b) const noexcept {
    std::array<std::uint8_t, 2 * PubKey::kSize> pair{};
    const bool a_first = a < b;
    const auto& lo = a_first ? a : b;
    const auto& hi = a_first ? b : a;
    std::copy(lo.bytes().begin(), lo.bytes().end(), pair.begin());
    std::copy(hi.bytes().begin(), hi.bytes().end(), pair.begin() + PubKey::kSize);
    const std::uint64_t h = util::siphash<1, 3>(key_, pair.data(), pair.size());
    return {static_cast<std::size_t>(h & (slots_.size() - 1)), (h >> 48) << 48};
  }
  util::HashKey key_{};
  std::vector<std::atomic<std::uint64_t>> slots_;
};

inline std::uint64_t steady_ms(Clock::time_point t = Clock::now()) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

}  // namespace velarix::p2p::superpeer
