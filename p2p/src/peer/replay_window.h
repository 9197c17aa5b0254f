#pragma once
// ReplayWindow: refuses armed messages of one peer that were received before, or that are too
// old to tell.
//
// Every armed message carries its sender's nonce: time (8) | stream (8) | counter (8). A stream
// is one sending thread of one process run (it is drawn at random when the thread first arms a
// message), and its counter counts that thread's messages. So a sender that restarts, or sends
// from many threads, simply brings new streams; nothing has to be kept across restarts.
//
// A message is accepted when
//   - its time lies within `max_age` of the receiver's clock, either way (a capture older than
//     that is refused whatever else holds, so the window needs no memory beyond `max_age`);
//   - its stream is tracked and its counter is within the stream's sliding window and not seen
//     yet; or its stream is new and its time is later than every message of the streams this
//     window had to forget.
// Up to kStreams streams are tracked; a new one takes the place of the one heard from least
// recently, whose latest time becomes the floor that new streams must pass.
//
// The check of a tracked stream is lock-free: a few atomic loads and one compare-and-swap. A
// mutex is taken only when a stream is new (once per sending thread). Memory is fixed: about
// 1 KiB per peer.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace velarix::p2p {

class ReplayWindow {
 public:
  static constexpr std::size_t kStreams = 16;
  // Each stream remembers the last 96 to 128 counters; older ones are refused.
  static constexpr std::size_t kWords = 4;
  static constexpr std::size_t kBitsPerWord = 32;
  static constexpr std::size_t kNonceSize = 24;

  enum class Verdict : std::uint8_t {
    Accepted,
    Replayed,  // seen before, or older than the window of its stream
    TooOld,    // outside max_age, or an unknown stream not later than the forgotten ones
    TooNew,    // further ahead than max_age
  };

  ReplayWindow() = default;
  ReplayWindow(const ReplayWindow&) = delete;
  ReplayWindow& operator=(const ReplayWindow&) = delete;

  // Checks the nonce of an authenticated message and records it when accepted. `now_us` is the
  // receiver's clock (µs since the Unix epoch); `max_age_us` the allowed difference.
  Verdict check(std::span<const std::uint8_t, kNonceSize> nonce, std::uint64_t now_us,
                std::uint64_t max_age_us) noexcept;
  // What a window that has seen nothing yet would answer: the part of the check that needs no
  // memory (the nonce's time, and a stream that a sender can have drawn).
  static Verdict check_time(std::span<const std::uint8_t, kNonceSize> nonce, std::uint64_t now_us,
                            std::uint64_t max_age_us) noexcept;

 private:
  struct Slot {
    std::atomic<std::uint64_t> stream{0};  // 0: free
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> latest{0};  // latest message time seen on the stream
    std::atomic<std::uint64_t> top{0};     // highest block of counters seen
    // (generation:5 | block:27 | bits:32); a word of another generation is left from an earlier
    // stream of the slot and counts as empty.
    std::array<std::atomic<std::uint64_t>, kWords> words{};
  };
  enum class Mark : std::uint8_t { Accepted, Replayed, Reassigned };

  Mark mark(Slot& slot, std::uint64_t generation, std::uint64_t counter) noexcept;
  Slot* find(std::uint64_t stream) noexcept;

  std::array<Slot, kStreams> slots_;
  std::mutex assign_;
  std::uint64_t floor_ = 0;  // under assign_
};

}  // namespace velarix::p2p
