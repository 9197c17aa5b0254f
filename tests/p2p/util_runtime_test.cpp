#include "util/runtime.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "p2p/util_test_support.h"
#include "util/cancellation_token.h"

namespace velarix::p2p::util {
namespace {

using boost::asio::awaitable;
using test::Counter;

awaitable<int> add_after_hops(int a, int b) {
  // Hop through the pool a few times so the value crosses threads.
  for (int i = 0; i < 3; ++i) co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
  co_return a + b;
}

TEST(UtilRuntime, StartsTheRequestedThreads) {
  Runtime rt(3);
  EXPECT_EQ(rt.thread_count(), 3u);
  Runtime def;
  EXPECT_GE(def.thread_count(), 1u);
}

TEST(UtilRuntime, BlockOnReturnsTheValue) {
  Runtime rt(4);
  EXPECT_EQ(block_on(rt, add_after_hops(2, 3)), 5);
  EXPECT_FALSE(rt.running_in_this_thread());
}

TEST(UtilRuntime, BlockOnRunsOnTheRuntime) {
  Runtime rt(2);
  const bool inside = block_on(rt, [&]() -> awaitable<bool> { co_return rt.running_in_this_thread(); }());
  EXPECT_TRUE(inside);
}

TEST(UtilRuntime, BlockOnVoidAndExpected) {
  Runtime rt(2);
  int touched = 0;
  block_on(rt, [&]() -> awaitable<void> {
    touched = 7;
    co_return;
  }());
  EXPECT_EQ(touched, 7);
  auto failed = block_on(rt, []() -> awaitable<std::expected<int, std::string>> { co_return std::unexpected("no"); }());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "no");
}

TEST(UtilRuntime, TryBlockOnReportsAnEscapingException) {
  Runtime rt(2);
  auto r = try_block_on(rt, []() -> awaitable<int> {
    throw std::runtime_error("boom");
    co_return 1;
  }());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "boom");
  // The runtime is still fine.
  EXPECT_EQ(block_on(rt, add_after_hops(1, 1)), 2);
}

TEST(UtilRuntime, BlockOnFromManyHostThreadsAtOnce) {
  Runtime rt(4);
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        if (block_on(rt, add_after_hops(t * 1000, i)) != t * 1000 + i) ++wrong;
      }
    });
  }
  for (auto& h : hosts) h.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(UtilRuntime, SpawnRunsDetachedWork) {
  Runtime rt(4);
  Counter done;
  for (int i = 0; i < 100; ++i) {
    rt.spawn(with_captures([&]() -> awaitable<void> {
      co_await add_after_hops(1, 2);
      done.add();
    }));
  }
  EXPECT_TRUE(done.wait_for(100));
}

TEST(UtilRuntime, AThrowingDetachedTaskDoesNotStopTheRuntime) {
  Runtime rt(2);
  rt.spawn([]() -> awaitable<void> {
    throw std::runtime_error("detached failure");
    co_return;
  }());
  EXPECT_EQ(block_on(rt, add_after_hops(20, 22)), 42);
}

TEST(UtilRuntime, DestroyingTheRuntimeDestroysSuspendedTasks) {
  Counter started;
  Counter dropped;
  CancellationToken never;  // outlives the runtime and is never cancelled
  {
    Runtime rt(4);
    for (int i = 0; i < 50; ++i) {
      rt.spawn([](Counter& s, Counter& d, CancellationToken token) -> awaitable<void> {
        test::DropProbe probe(d);
        s.add();
        co_await token.cancelled();
      }(started, dropped, never));
      rt.spawn([](Counter& s, Counter& d) -> awaitable<void> {
        test::DropProbe probe(d);
        s.add();
        co_await test::sleep_for(std::chrono::hours(1));
      }(started, dropped));
    }
    for (int i = 0; i < 10; ++i) {
      // The frame holds the only handle of the token it waits on.
      rt.spawn([](Counter& s, Counter& d) -> awaitable<void> {
        test::DropProbe probe(d);
        CancellationToken own;
        auto child = own.child_token();
        s.add();
        co_await child.cancelled();
      }(started, dropped));
    }
    ASSERT_TRUE(started.wait_for(110));
    EXPECT_EQ(dropped.value(), 0);
  }
  EXPECT_EQ(dropped.value(), 110);
  // Cancelling afterwards touches nothing of the dead runtime.
  never.cancel();
}

}  // namespace
}  // namespace velarix::p2p::util
