#include "util/cancellation_token.h"

#include <atomic>
#include <thread>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <gtest/gtest.h>

#include "p2p/util_test_support.h"
#include "util/runtime.h"
#include "util/task_set.h"

namespace velarix::p2p::util {
namespace {

using boost::asio::awaitable;
using namespace boost::asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
using test::Counter;

TEST(UtilCancellationToken, CancelIsIdempotentAndSharedByCopies) {
  CancellationToken a;
  CancellationToken b = a;
  EXPECT_FALSE(a.is_cancelled());
  b.cancel();
  b.cancel();
  EXPECT_TRUE(a.is_cancelled());
  EXPECT_TRUE(b.is_cancelled());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, CancellationToken());
}

TEST(UtilCancellationToken, ParentCancelsChildrenNotTheReverse) {
  CancellationToken root;
  auto child = root.child_token();
  auto grandchild = child.child_token();
  auto sibling = root.child_token();

  grandchild.cancel();
  EXPECT_TRUE(grandchild.is_cancelled());
  EXPECT_FALSE(child.is_cancelled());
  EXPECT_FALSE(root.is_cancelled());

  child.cancel();
  EXPECT_FALSE(root.is_cancelled());
  EXPECT_FALSE(sibling.is_cancelled());

  root.cancel();
  EXPECT_TRUE(sibling.is_cancelled());
}

TEST(UtilCancellationToken, ParentReachesEveryDescendant) {
  CancellationToken root;
  std::vector<CancellationToken> level{root};
  std::vector<CancellationToken> all;
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<CancellationToken> next;
    for (auto& t : level) {
      for (int i = 0; i < 4; ++i) next.push_back(t.child_token());
    }
    all.insert(all.end(), next.begin(), next.end());
    level = std::move(next);
  }
  root.cancel();
  for (auto& t : all) EXPECT_TRUE(t.is_cancelled());
}

TEST(UtilCancellationToken, ChildOfACancelledParentStartsCancelled) {
  CancellationToken root;
  root.cancel();
  auto child = root.child_token();
  EXPECT_TRUE(child.is_cancelled());
  EXPECT_TRUE(child.child_token().is_cancelled());
}

TEST(UtilCancellationToken, DroppedChildrenLeaveTheParent) {
  CancellationToken root;
  for (int i = 0; i < 100000; ++i) {
    auto child = root.child_token();
    auto grandchild = child.child_token();
  }
  EXPECT_EQ(root.live_children(), 0u);
  auto kept = root.child_token();
  EXPECT_EQ(root.live_children(), 1u);
}

TEST(UtilCancellationToken, ConcurrentChildrenAndCancel) {
  // Threads create and drop children while the root is cancelled: every child alive after the
  // cancel, whenever it was made, is cancelled.
  for (int round = 0; round < 20; ++round) {
    CancellationToken root;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        std::vector<CancellationToken> kept;
        for (int i = 0; i < 2000; ++i) {
          auto child = root.child_token();
          if (i % 3 == 0) kept.push_back(child.child_token());
        }
        // The root is cancelled by now or later; wait for it, then check.
        while (!root.is_cancelled()) std::this_thread::yield();
        for (auto& k : kept) {
          if (!k.is_cancelled()) ++wrong;
        }
      });
    }
    go = true;
    root.cancel();
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
  }
}

TEST(UtilCancellationToken, CancelledWakesEveryWaiterAcrossThreads) {
  Runtime rt(4);
  CancellationToken root;
  Counter waiting;
  Counter woken;
  constexpr int kTasks = 200;
  for (int i = 0; i < kTasks; ++i) {
    auto token = (i % 2 == 0) ? root : root.child_token().child_token();
    rt.spawn([](CancellationToken token, Counter& waiting, Counter& woken) -> awaitable<void> {
      waiting.add();
      co_await token.cancelled();
      if (token.is_cancelled()) woken.add();
    }(token, waiting, woken));
  }
  ASSERT_TRUE(waiting.wait_for(kTasks));
  EXPECT_EQ(woken.value(), 0);
  root.cancel();  // from a host thread
  EXPECT_TRUE(woken.wait_for(kTasks));
}

TEST(UtilCancellationToken, CancelledCompletesAtOnceWhenAlreadyCancelled) {
  Runtime rt(2);
  CancellationToken token;
  token.cancel();
  EXPECT_TRUE(block_on(rt, test::ends_within(token.cancelled(), 5s)));
}

TEST(UtilCancellationToken, RacedAgainstATimerTheTimerWins) {
  Runtime rt(4);
  CancellationToken token;
  const auto winner = block_on(rt, [&]() -> awaitable<std::size_t> {
    auto r = co_await (token.cancelled() || test::sleep_for(1ms));
    co_return r.index();
  }());
  EXPECT_EQ(winner, 1u);
  EXPECT_EQ(token.pending_waits(), 0u);
  EXPECT_FALSE(token.is_cancelled());
}

TEST(UtilCancellationToken, RacedAgainstATimerTheTokenWins) {
  Runtime rt(4);
  CancellationToken root;
  auto child = root.child_token();
  Counter racing;
  std::thread canceller([&] {
    racing.wait_for(1);
    root.cancel();
  });
  const auto winner = block_on(rt, [&]() -> awaitable<std::size_t> {
    racing.add();
    auto r = co_await (child.cancelled() || test::sleep_for(1h));
    co_return r.index();
  }());
  canceller.join();
  EXPECT_EQ(winner, 0u);
}

TEST(UtilCancellationToken, RepeatedRacesLeaveNoWaitBehind) {
  Runtime rt(4);
  CancellationToken token;
  constexpr int kTasks = 16;
  Counter done;
  for (int t = 0; t < kTasks; ++t) {
    rt.spawn([](CancellationToken token, Counter& done) -> awaitable<void> {
      auto ex = co_await boost::asio::this_coro::executor;
      for (int i = 0; i < 200; ++i) {
        // The other side completes at once: the token's wait loses every time.
        co_await (token.cancelled() || boost::asio::post(ex, boost::asio::use_awaitable));
      }
      done.add();
    }(token, done));
  }
  ASSERT_TRUE(done.wait_for(kTasks));
  EXPECT_EQ(token.pending_waits(), 0u);
}

TEST(UtilCancellationToken, ManyRacersOneCancelFromAnotherThread) {
  Runtime rt(8);
  CancellationToken root;
  constexpr int kTasks = 64;
  Counter started;
  Counter by_token;
  TaskSet tasks(rt.executor());
  for (int i = 0; i < kTasks; ++i) {
    tasks.spawn([](CancellationToken token, Counter& started, Counter& by_token) -> awaitable<void> {
      started.add();
      for (;;) {
        auto r = co_await (token.cancelled() || test::sleep_for(50us));
        if (r.index() == 0) break;
      }
      by_token.add();
    }(root.child_token(), started, by_token));
  }
  ASSERT_TRUE(started.wait_for(kTasks));
  root.cancel();
  EXPECT_TRUE(by_token.wait_for(kTasks));
}

}  // namespace
}  // namespace velarix::p2p::util
