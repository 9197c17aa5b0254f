// The replay window of armed messages: what it accepts and refuses, with many streams and
// many threads.

#include "peer/replay_window.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace velarix::p2p {
namespace {

using V = ReplayWindow::Verdict;
constexpr std::uint64_t kNow = 1'800'000'000'000'000;  // µs
constexpr std::uint64_t kMaxAge = 60'000'000;

std::array<std::uint8_t, 24> nonce(std::uint64_t time, std::uint64_t stream, std::uint64_t counter) {
  std::array<std::uint8_t, 24> n{};
  const std::uint64_t f[3] = {time, stream, counter};
  for (int i = 0; i < 3; ++i) {
    for (int b = 0; b < 8; ++b) n[8 * i + b] = static_cast<std::uint8_t>(f[i] >> (56 - 8 * b));
  }
  return n;
}

V check(ReplayWindow& w, std::uint64_t time, std::uint64_t stream, std::uint64_t counter) {
  return w.check(nonce(time, stream, counter), kNow, kMaxAge);
}

TEST(ReplayWindow, AcceptsEachMessageOnce) {
  ReplayWindow w;
  struct Step {
    const char* what;
    std::uint64_t time, stream, counter;
    V want;
  };
  const Step steps[] = {
      {"first of a stream", kNow, 7, 0, V::Accepted},
      {"the same again", kNow, 7, 0, V::Replayed},
      {"out of order within the window", kNow, 7, 5, V::Accepted},
      {"the gap filled", kNow, 7, 3, V::Accepted},
      {"the gap filled twice", kNow, 7, 3, V::Replayed},
      {"far ahead slides the window", kNow, 7, 1000, V::Accepted},
      {"behind the window", kNow, 7, 800, V::Replayed},
      {"just inside the window", kNow, 7, 1000 - 90, V::Accepted},
      {"another stream (another thread or a restart)", kNow, 8, 0, V::Accepted},
      {"older than max age", kNow - kMaxAge - 1, 9, 0, V::TooOld},
      {"further ahead than max age", kNow + kMaxAge + 1, 9, 0, V::TooNew},
      {"at the edge of max age", kNow - kMaxAge, 9, 0, V::Accepted},
      {"no stream", kNow, 0, 0, V::TooOld},
  };
  for (const auto& s : steps) EXPECT_EQ(check(w, s.time, s.stream, s.counter), s.want) << s.what;
}

TEST(ReplayWindow, ForgottenStreamsCannotComeBackWithOldMessages) {
  ReplayWindow w;
  // Fill every slot, the first stream heard from earliest.
  for (std::uint64_t s = 1; s <= ReplayWindow::kStreams; ++s) ASSERT_EQ(check(w, kNow - 1000 + s, s, 0), V::Accepted);
  // A new stream takes the place of stream 1, whose latest message was at kNow - 999.
  ASSERT_EQ(check(w, kNow, 100, 0), V::Accepted);
  // Stream 1's old message again: its stream is forgotten and it is not later than the floor.
  EXPECT_EQ(check(w, kNow - 999, 1, 0), V::TooOld);
  // Stream 1 sending on (later than what was forgotten) is taken back.
  EXPECT_EQ(check(w, kNow + 10, 1, 1), V::Accepted);
  EXPECT_EQ(check(w, kNow + 10, 1, 1), V::Replayed);
}

// Many threads check messages of many streams at once: every message is accepted exactly once.
TEST(ReplayWindow, ConcurrentChecksAcceptEachMessageOnce) {
  ReplayWindow w;
  constexpr int kThreads = 6;
  constexpr std::uint64_t kStreams = 8;
  constexpr std::uint64_t kPerStream = 2000;
  std::atomic<std::uint64_t> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      // Every thread offers every message: only one offer of each may win.
      for (std::uint64_t c = 0; c < kPerStream; ++c) {
        for (std::uint64_t s = 1; s <= kStreams; ++s) {
          if (check(w, kNow, s, c) == V::Accepted) accepted.fetch_add(1);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(accepted.load(), kStreams * kPerStream);
}

}  // namespace
}  // namespace velarix::p2p
