// The housekeeping cadence on a clock the test moves forward: a tick at
// once, overdue ticks back to back without shifting the schedule, and the
// token seen only between ticks.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <boost/asio/steady_timer.hpp>

#include "agent/housekeeping_schedule.h"
#include "common/agent_harness.h"
#include "common/log_capture.h"
#include "util/runtime.h"

using velarix::agent::run_on_schedule;
using velarix::p2p::util::block_on;
using velarix::p2p::util::CancellationToken;
using velarix::p2p::util::Runtime;
using velarix::test::LogCapture;

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

// The steady clock plus a jump the test adds: a tick that "lasts 25 s" moves
// the clock instead of waiting.
struct FakeClock {
  using duration = std::chrono::steady_clock::duration;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<FakeClock>;
  static constexpr bool is_steady = true;

  static inline std::atomic<rep> jump{0};
  static time_point now() { return time_point(std::chrono::steady_clock::now().time_since_epoch() + duration(jump)); }
  static void advance(duration d) { jump += d.count(); }
};

double seconds_since(FakeClock::time_point t0) {
  return std::chrono::duration<double>(FakeClock::now() - t0).count();
}

}  // namespace

TEST(HousekeepingSchedule, CatchesUpAfterALongTickWithoutShifting) {
  Runtime rt(2);
  CancellationToken token;
  std::vector<double> starts;
  bool last_tick_finished = false;
  const auto t0 = FakeClock::now();
  auto tick = [&]() -> asio::awaitable<void> {
    starts.push_back(seconds_since(t0));
    switch (starts.size()) {
      case 1:
        FakeClock::advance(25s);  // a tick of 25 seconds
        break;
      case 3:
        FakeClock::advance(4900ms);  // the next tick is due 0.1 s from here
        break;
      case 4: {
        // Cancelled during a tick: the tick still runs to its end.
        token.cancel();
        asio::steady_timer t(co_await asio::this_coro::executor, 50ms);
        co_await t.async_wait(asio::use_awaitable);
        last_tick_finished = true;
        break;
      }
      default:
        break;
    }
  };
  LogCapture::get().clear();
  block_on(rt, run_on_schedule<FakeClock>(token, 10s, tick));

  ASSERT_EQ(starts.size(), 4u);
  EXPECT_LT(starts[0], 0.5) << "the first tick is due at once";
  EXPECT_NEAR(starts[1], 25.0, 0.5) << "overdue (due at 10 s): at once";
  EXPECT_NEAR(starts[2], 25.0, 0.5) << "overdue (due at 20 s): back to back";
  EXPECT_GE(starts[3], 30.0) << "due at 30 s, not 35 s: the schedule is not shifted";
  EXPECT_LT(starts[3], 30.9);
  EXPECT_TRUE(last_tick_finished);
  if (LogCapture::get().installed()) {
    auto lines = LogCapture::get().lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "trace Housekeeping runner cancelled");
    EXPECT_EQ(lines.back(), "trace Housekeeping runner finished");
  }
}

TEST(HousekeepingSchedule, CancellationEndsTheWaitAndWinsOverADueTick) {
  Runtime rt(2);
  {
    // Cancelled while waiting for the next tick, 10 s away: it ends at once.
    CancellationToken token;
    std::atomic<int> ticks{0};
    auto tick = [&]() -> asio::awaitable<void> {
      ++ticks;
      co_return;
    };
    std::thread canceller([&] {
      EXPECT_TRUE(velarix::test::eventually([&] { return ticks.load() == 1; }));
      token.cancel();
    });
    const auto began = std::chrono::steady_clock::now();
    block_on(rt, run_on_schedule<FakeClock>(token, 10s, tick));
    canceller.join();
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  }
  {
    // A token cancelled before the first tick: no tick, although one is due.
    CancellationToken token;
    token.cancel();
    int ticks = 0;
    auto tick = [&]() -> asio::awaitable<void> {
      ++ticks;
      co_return;
    };
    block_on(rt, run_on_schedule<FakeClock>(token, 10s, tick));
    EXPECT_EQ(ticks, 0);
  }
}
