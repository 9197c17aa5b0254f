#include "util/task_set.h"

#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "node/node.h"
#include "p2p/util_test_support.h"
#include "util/cancellation_token.h"
#include "util/runtime.h"

namespace velarix::p2p::util {
namespace {

using boost::asio::awaitable;
using namespace boost::asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
using test::Counter;
using test::DropProbe;

struct CodedError {
  int code;
  std::string message() const { return "coded error " + std::to_string(code); }
};

awaitable<void> hop() { co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable); }

TEST(UtilTaskSet, EmptySetJoinsNothing) {
  Runtime rt(2);
  TaskSet set(rt.executor());
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(block_on(rt, set.join_next()), std::nullopt);
}

TEST(UtilTaskSet, ReportsANormalEnd) {
  Runtime rt(4);
  TaskSet set(rt.executor());
  set.spawn(hop());
  EXPECT_EQ(set.size(), 1u);
  auto end = block_on(rt, set.join_next());
  ASSERT_TRUE(end);
  EXPECT_TRUE(*end);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(block_on(rt, set.join_next()), std::nullopt);
}

TEST(UtilTaskSet, ReportsFailuresWithTheirText) {
  Runtime rt(4);
  TaskSet set(rt.executor());
  set.spawn([]() -> awaitable<std::expected<void, std::string>> {
    co_await hop();
    co_return std::unexpected("plain failure");
  }());
  set.spawn([]() -> awaitable<std::expected<void, CodedError>> {
    co_await hop();
    co_return std::unexpected(CodedError{7});
  }());
  set.spawn([]() -> awaitable<void> {
    co_await hop();
    throw std::runtime_error("thrown failure");
  }());
  set.spawn([]() -> awaitable<std::expected<void, std::string>> { co_return std::expected<void, std::string>{}; }());
  std::multiset<std::string> failures;
  int normal = 0;
  while (auto end = block_on(rt, set.join_next())) {
    if (*end) {
      ++normal;
    } else {
      EXPECT_FALSE(end->error().aborted);
      failures.insert(end->error().text);
    }
  }
  EXPECT_EQ(normal, 1);
  EXPECT_EQ(failures, (std::multiset<std::string>{"plain failure", "coded error 7", "thrown failure"}));
}

TEST(UtilTaskSet, ReportsEndsInTheOrderTheyHappen) {
  Runtime rt(4);
  TaskSet set(rt.executor());
  CancellationToken first, second;
  set.spawn([](CancellationToken t) -> awaitable<std::expected<void, std::string>> {
    co_await t.cancelled();
    co_return std::unexpected("first");
  }(first));
  set.spawn([](CancellationToken t) -> awaitable<std::expected<void, std::string>> {
    co_await t.cancelled();
    co_return std::unexpected("second");
  }(second));
  second.cancel();
  auto a = block_on(rt, set.join_next());
  first.cancel();
  auto b = block_on(rt, set.join_next());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->error().text, "second");
  EXPECT_EQ(b->error().text, "first");
}

TEST(UtilTaskSet, ManyTasksOnManyThreads) {
  Runtime rt(8);
  TaskSet set(rt.executor());
  constexpr int kTasks = 2000;
  for (int i = 0; i < kTasks; ++i) {
    if (i % 2 == 0) {
      set.spawn([]() -> awaitable<void> {
        co_await hop();
        co_await hop();
      }());
    } else {
      set.spawn([](int i) -> awaitable<std::expected<void, std::string>> {
        co_await hop();
        co_return std::unexpected(std::to_string(i));
      }(i));
    }
  }
  int normal = 0;
  std::set<std::string> failed;
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await set.join_next()) {
      if (*end) {
        ++normal;
      } else {
        failed.insert(end->error().text);
      }
    }
  }());
  EXPECT_EQ(normal, kTasks / 2);
  EXPECT_EQ(failed.size(), static_cast<std::size_t>(kTasks / 2));
  EXPECT_TRUE(set.empty());
}

TEST(UtilTaskSet, AbortAllStopsTasksAndRunsTheirDestructors) {
  Runtime rt(4);
  TaskSet set(rt.executor());
  Counter started;
  Counter dropped;
  CancellationToken never;
  constexpr int kEach = 20;
  for (int i = 0; i < kEach; ++i) {
    set.spawn([](Counter& s, Counter& d) -> awaitable<void> {
      DropProbe probe(d);
      s.add();
      co_await test::sleep_for(1h);
    }(started, dropped));
    set.spawn([](Counter& s, Counter& d, CancellationToken t) -> awaitable<void> {
      DropProbe probe(d);
      s.add();
      co_await t.cancelled();
    }(started, dropped, never));
    set.spawn([](Counter& s, Counter& d, CancellationToken t) -> awaitable<void> {
      DropProbe probe(d);
      s.add();
      co_await (t.cancelled() || test::sleep_for(1h));
    }(started, dropped, never));
  }
  ASSERT_TRUE(started.wait_for(3 * kEach));
  set.abort_all();
  int aborted = 0;
  while (auto end = block_on(rt, set.join_next())) {
    ASSERT_FALSE(*end);
    EXPECT_TRUE(end->error().aborted);
    EXPECT_EQ(end->error().text, "task was aborted");
    ++aborted;
  }
  EXPECT_EQ(aborted, 3 * kEach);
  EXPECT_EQ(dropped.value(), 3 * kEach);
  EXPECT_EQ(never.pending_waits(), 0u);
}

TEST(UtilTaskSet, AbortReachesATaskBeforeItRuns) {
  Runtime rt(4);
  Counter released;
  Counter ran_past_first_wait;
  for (int round = 0; round < 200; ++round) {
    TaskSet set(rt.executor());
    set.spawn([](std::shared_ptr<void>, Counter& r) -> awaitable<void> {
      co_await test::sleep_for(1h);
      r.add();
    }(test::frame_probe(released), ran_past_first_wait));
    set.abort_all();
    auto end = block_on(rt, set.join_next());
    ASSERT_TRUE(end);
    ASSERT_FALSE(*end);
    EXPECT_TRUE(end->error().aborted);
  }
  EXPECT_TRUE(released.wait_for(200));
  EXPECT_EQ(ran_past_first_wait.value(), 0);
}

TEST(UtilTaskSet, DroppingTheSetAbortsWhatIsLeft) {
  Runtime rt(4);
  Counter started;
  Counter dropped;
  Counter finished;
  {
    TaskSet set(rt.executor());
    for (int i = 0; i < 50; ++i) {
      set.spawn([](Counter& s, Counter& d, Counter& f) -> awaitable<void> {
        DropProbe probe(d);
        s.add();
        co_await test::sleep_for(1h);
        f.add();
      }(started, dropped, finished));
    }
    ASSERT_TRUE(started.wait_for(50));
  }
  EXPECT_TRUE(dropped.wait_for(50));
  EXPECT_EQ(finished.value(), 0);
}

TEST(UtilTaskSet, ASetMayOutliveItsRuntime) {
  Counter started, dropped;
  std::optional<TaskSet> set;
  {
    Runtime rt(4);
    set.emplace(rt.executor());
    for (int i = 0; i < 20; ++i) {
      set->spawn([](Counter& s, Counter& d) -> awaitable<void> {
        DropProbe probe(d);
        s.add();
        co_await test::sleep_for(1h);
      }(started, dropped));
    }
    ASSERT_TRUE(started.wait_for(20));
  }
  EXPECT_EQ(dropped.value(), 20);
  // The tasks the runtime destroyed count as aborted.
  EXPECT_EQ(set->size(), 20u);
  set->abort_all();
  set.reset();
}

TEST(UtilTaskSet, JoinNextCanBeRacedAndCancelled) {
  Runtime rt(4);
  TaskSet set(rt.executor());
  CancellationToken never;
  set.spawn(never.cancelled());
  const auto winner = block_on(rt, [&]() -> awaitable<std::size_t> {
    auto r = co_await (set.join_next() || test::sleep_for(1ms));
    co_return r.index();
  }());
  EXPECT_EQ(winner, 1u);
  EXPECT_EQ(set.size(), 1u);
  never.cancel();
  auto end = block_on(rt, set.join_next());
  ASSERT_TRUE(end);
  EXPECT_TRUE(*end);
}

// The node's own monitor over a task set: a runner that ends while the token is
// live cancels it, the others then end on the token, and the monitor returns
// once the set is empty; a failure cancels the token and stops the monitor at
// once, and the set's end aborts what is left.
TEST(UtilTaskSet, MonitorCancelsTheTokenWhenATaskEndsEarly) {
  Runtime rt(4);
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "a runner fails" : "a runner ends early");
    if (velarix::test::LogCapture::get().installed()) velarix::test::LogCapture::get().clear();
    CancellationToken agent;
    Counter dropped;
    auto set = std::make_shared<TaskSet>(rt.executor());
    for (int i = 0; i < 2; ++i) {
      // The probe is a parameter: an abort can come before the body has started, and the frame
      // then goes without running it.
      set->spawn([](CancellationToken t, std::shared_ptr<void>, bool fail) -> awaitable<void> {
        // After a failure nothing cancels these two: only the abort ends them.
        if (fail) co_await boost::asio::steady_timer(co_await boost::asio::this_coro::executor, 1h)
            .async_wait(boost::asio::use_awaitable);
        co_await t.cancelled();
      }(agent.child_token(), test::frame_probe(dropped), fail));
    }
    if (fail) {
      set->spawn([]() -> awaitable<std::expected<void, std::string>> {
        co_await hop();
        co_return std::unexpected(std::string("boom"));
      }());
    } else {
      set->spawn(hop());
    }
    Counter monitor_done;
    rt.spawn([](std::shared_ptr<TaskSet> tasks, CancellationToken token, Counter& done) -> awaitable<void> {
      co_await p2p::monitor(std::move(tasks), std::move(token));
      done.add();
    }(set, agent, monitor_done));
    const bool returned = monitor_done.wait_for(1);
    EXPECT_TRUE(returned) << "the monitor still waits";
    EXPECT_TRUE(agent.is_cancelled());
    if (!returned) {
      agent.cancel();  // let it end before the test does
      ASSERT_TRUE(monitor_done.wait_for(1));
    }
    EXPECT_EQ(set->size(), fail ? 2u : 0u);
    if (fail) {
      EXPECT_EQ(dropped.value(), 0);
    }
    set.reset();
    EXPECT_TRUE(dropped.wait_for(2));
    if (!velarix::test::LogCapture::get().installed()) continue;
    EXPECT_EQ(velarix::test::LogCapture::get().count("Task prematurely finished. Cancel token."), fail ? 0u : 1u);
    EXPECT_EQ(velarix::test::LogCapture::get().count("Task failed. Cancel token: boom"), fail ? 1u : 0u);
    EXPECT_EQ(velarix::test::LogCapture::get().count("Monitoring task cancelled."), 1u);
  }
}

TEST(UtilTaskSet, SpawnAndAbortFromManyThreads) {
  Runtime rt(8);
  Counter dropped;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  {
    TaskSet set(rt.executor());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kPerThread; ++i) {
          set.spawn([](std::shared_ptr<void>) -> awaitable<void> { co_await test::sleep_for(1h); }(
              test::frame_probe(dropped)));
          if (i % 10 == 0) set.abort_all();
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  EXPECT_TRUE(dropped.wait_for(kThreads * kPerThread));
}

}  // namespace
}  // namespace velarix::p2p::util
