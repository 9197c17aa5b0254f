#pragma once
// Token buckets for work that anyone able to send packets can ask for: one bucket in one atomic,
// and a fixed table of buckets per source address under a per-process keyed hash (sources that
// hash alike share a bucket; nobody can aim at another source's bucket). Lock-free, bounded
// memory, O(1) per packet, nothing to evict; a refusal writes nothing, so a refused flood does
// not make the cores fight over one cache line.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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

// Token buckets per source in a table of `Buckets` entries.
template <std::size_t Buckets>
class SourceRateLimiter {
 public:
  using Clock = RateShape::Clock;
  explicit SourceRateLimiter(std::uint32_t per_second) : shape_(per_second), buckets_(Buckets) {}

  // Takes one token of `addr`'s bucket; false when it is empty.
  bool allow(const boost::asio::ip::address& addr, Clock::time_point now = Clock::now()) noexcept {
    if (shape_.unlimited()) return true;
    const auto src = rate_source_of(addr);
    const std::uint64_t h = keyed_hash(src.data(), src.size());
    return buckets_[h % Buckets].take(now.time_since_epoch().count(), shape_.interval, shape_.depth);
  }

 private:
  RateShape shape_;
  std::vector<AtomicBucket> buckets_;
};

}  // namespace velarix::p2p::util
