#pragma once
// What a sender without a record may cost the super peer: token buckets (in all and per source)
// for HELLOs and key exchanges, and the cache of session keys derived for such senders.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "crypto/crypto.h"
#include "peer/session_key_cache.h"
#include "superpeer/common.h"
#include "util/keyed_hash.h"
#include "util/rate_limiter.h"

namespace velarix::p2p::superpeer {

// The source a HELLO is charged to, and the buckets, are those the node charges its newcomers'
// key exchanges with.
using util::AtomicBucket;
using util::RateShape;
using util::rate_source_of;

// One token bucket for everybody. A taker that may only have what is to spare is refused once
// half the burst is used up: the other half stays for the others, who come first.
class RateLimiter {
 public:
  explicit RateLimiter(std::uint32_t per_second) : shape_(per_second) {}

  bool allow(Clock::time_point now, bool spare_only = false) noexcept {
    return shape_.unlimited() || bucket_.take(ticks(now), shape_.interval, spare_only ? shape_.depth / 2 : shape_.depth);
  }

 private:
  RateShape shape_;
  AtomicBucket bucket_;
};

// Token buckets per source, or per port of a source, in a table of fixed size: those that hash
// alike share a bucket. The hash is keyed per process, so nobody can aim at another's bucket.
// Bounded memory, O(1) per HELLO, nothing to evict.
class SourceRateLimiter {
 public:
  static constexpr std::size_t kSourceBuckets = 4096;
  // Many more ports than sources: an address may bring thousands.
  static constexpr std::size_t kPortBuckets = 65536;

  explicit SourceRateLimiter(std::uint32_t per_second, std::size_t buckets = kSourceBuckets)
      : shape_(per_second), buckets_(shape_.unlimited() ? 0 : buckets) {
    crypto::random_bytes(std::span(reinterpret_cast<std::uint8_t*>(key_.data()), sizeof key_));
  }

  // Takes one token of `addr`'s bucket; false when it is empty.
  bool allow(const asio::ip::address& addr, Clock::time_point now) noexcept {
    if (shape_.unlimited()) return true;
    const auto src = rate_source_of(addr);
    return take(src, now);
  }
  // Takes one token of the bucket of `port` at `addr`'s source; false when it is empty.
  bool allow(const asio::ip::address& addr, std::uint16_t port, Clock::time_point now) noexcept {
    if (shape_.unlimited()) return true;
    std::array<std::uint8_t, 18> key{};
    const auto src = rate_source_of(addr);
    std::copy(src.begin(), src.end(), key.begin());
    key[16] = static_cast<std::uint8_t>(port >> 8);
    key[17] = static_cast<std::uint8_t>(port);
    return take(key, now);
  }

 private:
  bool take(std::span<const std::uint8_t> what, Clock::time_point now) noexcept {
    const std::uint64_t h = util::siphash<1, 3>(key_, what.data(), what.size());
    return buckets_[h % buckets_.size()].take(ticks(now), shape_.interval, shape_.depth);
  }
  RateShape shape_;
  util::HashKey key_{};
  std::vector<AtomicBucket> buckets_;
};

// What one port of a source may spend of the source's share of key exchanges: a node sends a
// HELLO per housekeeping pass and needs one exchange, once, while junk from one socket would
// otherwise take the whole share of its address.
constexpr std::uint32_t port_share(std::uint32_t per_source) noexcept {
  return per_source == 0 ? 0 : std::max<std::uint32_t>(1, per_source / 10);
}

// Session keys of senders, whether or not they ever register (and keys that have none): HELLOs
// under one key cost one key exchange, not one per datagram, and junk under a pool of keys costs
// one per key as long as the pool is well under the cache's size.
using KeyCache = SessionKeyCache<65536, 256, 8>;

}  // namespace velarix::p2p::superpeer
