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

// Buckets for sources, and many more for their ports: an address may bring thousands.
using util::SourceRateLimiter;
inline constexpr std::size_t kSourceBuckets = 4096;
inline constexpr std::size_t kPortBuckets = 65536;

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
