#pragma once
// LogLimiter: lets at most `burst` log lines of one kind through per `window`, and counts what
// it held back, so that a flood of refused packets cannot flood the log (or the CPU formatting
// it). Lock-free; a line that is let through costs two atomic operations, one that is held
// back one or two.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

#include "util/log.h"

namespace velarix::p2p::util {

class LogLimiter {
 public:
  LogLimiter() : LogLimiter(10, std::chrono::seconds(10)) {}
  explicit LogLimiter(std::uint32_t burst, std::chrono::milliseconds window = std::chrono::seconds(10))
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

// A log line that anyone able to send packets can cause, written through `limiter`: `write`
// runs (and formats) only when the level is on and the limiter lets the line through, and
// the first line let through after others were held back is preceded by their count, "{n}
// more log lines about {what} were suppressed".
template <class Write>
void limited_log_with(LogLimiter& limiter, spdlog::level::level_enum level, std::string_view what, Write&& write) {
  if (!log::enabled(level)) return;
  const auto verdict = limiter.admit();
  if (!verdict.log) return;
  if (verdict.suppressed > 0) {
    log::at(level, "{} more log lines about {} were suppressed", verdict.suppressed, what);
  }
  std::forward<Write>(write)();
}

// The same for a line whose arguments cost nothing to pass.
template <class... Args>
void limited_log(LogLimiter& limiter, spdlog::level::level_enum level, std::string_view what,
                 fmt::format_string<Args...> format, Args&&... args) {
  limited_log_with(limiter, level, what, [&] { log::at(level, format, std::forward<Args>(args)...); });
}

}  // namespace velarix::p2p::util
