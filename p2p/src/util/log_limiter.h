#pragma once
// LogLimiter: lets at most `burst` log lines of one kind through per `window`, and counts what
// it held back, so that a flood of refused packets cannot flood the log (or the CPU formatting
// it). Lock-free; a line that is let through costs two atomic operations, one that is held
// back one or two.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace velarix::p2p::util {

class LogLimiter {
 public:
  explicit LogLimiter(std::uint32_t burst = 10, std::chrono::milliseconds window = std::chrono::seconds(10))
      : burst_(burst), window_ns_(std::chrono::duration_cast<std::chrono::nanoseconds>(window).count()) {}
  LogLimiter(const LogLimiter&) = delete;
  LogLimiter& operator=(const LogLimiter&) = delete;

  struct Verdict {
    bool log = false;             // write this line
    std::uint64_t suppressed = 0;  // lines held back before it, since the last line written
  };

  // Whether the next line may be written now.
  Verdict admit() noexcept {
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::int64_t start = window_start_.load(std::memory_order_relaxed);
    if (now - start >= window_ns_ && window_start_.compare_exchange_strong(start, now, std::memory_order_relaxed)) {
      count_.store(0, std::memory_order_relaxed);
    }
    if (count_.fetch_add(1, std::memory_order_relaxed) < burst_) {
      return {true, suppressed_.exchange(0, std::memory_order_relaxed)};
    }
    suppressed_.fetch_add(1, std::memory_order_relaxed);
    total_suppressed_.fetch_add(1, std::memory_order_relaxed);
    return {};
  }

  // Lines held back since this limiter was made.
  std::uint64_t total_suppressed() const noexcept { return total_suppressed_.load(std::memory_order_relaxed); }

 private:
  const std::uint32_t burst_;
  const std::int64_t window_ns_;
  std::atomic<std::int64_t> window_start_{std::numeric_limits<std::int64_t>::min() / 2};
  std::atomic<std::uint32_t> count_{0};
  std::atomic<std::uint64_t> suppressed_{0};
  std::atomic<std::uint64_t> total_suppressed_{0};
};

}  // namespace velarix::p2p::util
