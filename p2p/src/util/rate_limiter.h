#pragma once
// Token buckets for work that anyone able to send packets can ask for: one bucket in one atomic,
// and a fixed table of buckets per source address (or per port of one) under a keyed hash
// (sources that hash alike share a bucket; nobody can aim at another source's bucket). Lock-free, bounded
// memory, O(1) per packet, nothing to evict; a refusal writes nothing, so a refused flood does
// not make the cores fight over one cache line.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "util/keyed_hash.h"

namespace velarix::p2p::util {

// The source a packet is charged to: the address for IPv4 (also IPv4-mapped IPv6), the /64
// prefix for IPv6 (one host commonly holds a whole /64).
inline std::array<std::uint8_t, 16> rate_source_of(const boost::asio::ip::address& addr) noexcept {
  std::array<std::uint8_t, 16> out{};
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) {
    const auto v4 = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, addr.to_v6()).to_bytes();
    std::copy(v4.begin(), v4.end(), out.begin());
  } else if (addr.is_v4()) {
    const auto v4 = addr.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), out.begin());
  } else {
    const auto v6 = addr.to_v6().to_bytes();
    std::copy(v6.begin(), v6.begin() + 8, out.begin());
    out[15] = 6;  // never equal to an IPv4 source
  }
  return out;
}

// A token bucket in one atomic (the generic cell rate algorithm): the time by which every token
// handed out would have been earned at the bucket's rate. It holds at most `depth` worth of
// tokens (and that many at first).
class AtomicBucket {
 public:
  bool take(std::int64_t now, std::int64_t interval, std::int64_t depth) noexcept {
    std::int64_t t = earned_by_.load(std::memory_order_relaxed);
    for (;;) {
      const std::int64_t next = std::max(t, now) + interval;
      if (next - now > depth) return false;
      if (earned_by_.compare_exchange_weak(t, next, std::memory_order_relaxed)) return true;
    }
  }

 private:
  std::atomic<std::int64_t> earned_by_{0};
};

// `per_second` tokens a second with a burst of twice that; a rate of 0 means no limit.
struct RateShape {
  using Clock = std::chrono::steady_clock;
  explicit RateShape(std::uint32_t per_second) noexcept
      : interval(per_second == 0
                     ? 0
                     : std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)).count() / per_second),
        depth(2 * static_cast<std::int64_t>(per_second) * interval) {}
  bool unlimited() const noexcept { return interval == 0; }
  std::int64_t interval;  // clock ticks per token
  std::int64_t depth;
};

// Token buckets per source, or per port of a source, in a table of `buckets` entries: those that
// hash alike share a bucket. Each limiter hashes under a key of its own, so sources that share a
// bucket in one share none by that in another.
class SourceRateLimiter {
 public:
  using Clock = RateShape::Clock;
  SourceRateLimiter(std::uint32_t per_second, std::size_t buckets)
      : shape_(per_second), key_(draw_hash_key()), buckets_(shape_.unlimited() ? 0 : buckets) {}

  // Takes one token of `addr`'s bucket; false when it is empty.
  bool allow(const boost::asio::ip::address& addr, Clock::time_point now = Clock::now()) noexcept {
    if (shape_.unlimited()) return true;
    const auto src = rate_source_of(addr);
    return take(src, now);
  }
  // Takes one token of the bucket of `port` at `addr`'s source; false when it is empty.
  bool allow(const boost::asio::ip::address& addr, std::uint16_t port, Clock::time_point now = Clock::now()) noexcept {
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
    const std::uint64_t h = siphash<1, 3>(key_, what.data(), what.size());
    return buckets_[h % buckets_.size()].take(now.time_since_epoch().count(), shape_.interval, shape_.depth);
  }
  RateShape shape_;
  HashKey key_;
  std::vector<AtomicBucket> buckets_;
};

}  // namespace velarix::p2p::util
