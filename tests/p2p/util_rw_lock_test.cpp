#include "util/rw_lock.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "p2p/util_test_support.h"
#include "util/cancellation_token.h"
#include "util/runtime.h"
#include "util/task_set.h"

namespace velarix::p2p::util {
namespace {

using boost::asio::awaitable;
using namespace boost::asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
using test::Counter;

awaitable<void> hop() { co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable); }

// True once `n` waits are queued on `lock` (false after the deadline).
awaitable<bool> queued_reaches(RwLock& lock, std::size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
  while (lock.waiting() < n) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await hop();
  }
  co_return true;
}

// Records the order in which tasks got the lock.
struct Log {
  std::mutex mutex;
  std::vector<std::string> entries;
  void add(std::string e) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(e));
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex);
    return entries;
  }
};

TEST(UtilRwLock, TryLockRules) {
  RwLock lock;
  auto r1 = lock.try_read();
  auto r2 = lock.try_read();
  EXPECT_TRUE(r1 && r2);
  EXPECT_FALSE(lock.try_write());
  r1.unlock();
  r2 = {};
  auto w = lock.try_write();
  EXPECT_TRUE(w);
  EXPECT_FALSE(lock.try_read());
  EXPECT_FALSE(lock.try_write());
  w.unlock();
  EXPECT_TRUE(lock.try_write());
}

TEST(UtilRwLock, MutualExclusionUnderLoad) {
  Runtime rt(8);
  RwLock lock;
  // Guarded by `lock`, deliberately plain: ThreadSanitizer sees any unguarded access.
  long a = 0, b = 0;
  std::atomic<int> readers_in{0}, writers_in{0};
  std::atomic<int> violations{0};
  constexpr int kWriters = 16, kReaders = 32, kRounds = 100;
  TaskSet set(rt.executor());
  for (int w = 0; w < kWriters; ++w) {
    set.spawn(with_captures([&]() -> awaitable<void> {
      for (int i = 0; i < kRounds; ++i) {
        auto guard = co_await lock.write();
        if (writers_in.fetch_add(1) != 0 || readers_in.load() != 0) ++violations;
        ++a;
        co_await hop();  // held across a suspension
        ++b;
        writers_in.fetch_sub(1);
      }
    }));
  }
  for (int r = 0; r < kReaders; ++r) {
    set.spawn(with_captures([&]() -> awaitable<void> {
      for (int i = 0; i < kRounds; ++i) {
        auto guard = co_await lock.read();
        readers_in.fetch_add(1);
        if (writers_in.load() != 0) ++violations;
        const long seen_a = a;
        co_await hop();
        if (seen_a != b || a != b) ++violations;
        readers_in.fetch_sub(1);
      }
    }));
  }
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await set.join_next()) EXPECT_TRUE(*end);
  }());
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(a, kWriters * kRounds);
  EXPECT_EQ(b, kWriters * kRounds);
}

TEST(UtilRwLock, AWaitingWriterMakesLaterReadersWait) {
  Runtime rt(4);
  RwLock lock;
  Log log;
  Counter writer_queued, reader_queued;
  auto first = lock.try_read();
  ASSERT_TRUE(first);
  TaskSet set(rt.executor());
  set.spawn(with_captures([&]() -> awaitable<void> {
    writer_queued.add();
    auto g = co_await lock.write();
    log.add("writer");
    co_await hop();
    log.add("writer done");
  }));
  ASSERT_TRUE(writer_queued.wait_for(1));
  ASSERT_TRUE(block_on(rt, queued_reaches(lock, 1)));
  // The writer waits behind `first`; a new reader may not overtake it.
  EXPECT_FALSE(lock.try_read());
  set.spawn(with_captures([&]() -> awaitable<void> {
    reader_queued.add();
    auto g = co_await lock.read();
    log.add("reader");
  }));
  ASSERT_TRUE(block_on(rt, queued_reaches(lock, 2)));
  EXPECT_TRUE(log.get().empty());
  first.unlock();
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await set.join_next()) EXPECT_TRUE(*end);
  }());
  EXPECT_EQ(log.get(), (std::vector<std::string>{"writer", "writer done", "reader"}));
}

TEST(UtilRwLock, ReadersQueuedTogetherEnterTogether) {
  Runtime rt(4);
  RwLock lock;
  auto w = lock.try_write();
  ASSERT_TRUE(w);
  constexpr int kReaders = 10;
  Counter queued, inside;
  CancellationToken leave;
  TaskSet set(rt.executor());
  for (int i = 0; i < kReaders; ++i) {
    set.spawn(with_captures([&]() -> awaitable<void> {
      queued.add();
      auto g = co_await lock.read();
      inside.add();
      co_await leave.cancelled();  // all hold the read lock at once
    }));
  }
  ASSERT_TRUE(queued.wait_for(kReaders));
  w.unlock();
  EXPECT_TRUE(inside.wait_for(kReaders));
  leave.cancel();
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await set.join_next()) EXPECT_TRUE(*end);
  }());
}

TEST(UtilRwLock, ACancelledWaitingWriterLetsTheReadersBehindItIn) {
  Runtime rt(4);
  RwLock lock;
  auto first = lock.try_read();
  Counter writer_queued, reader_in;
  TaskSet set(rt.executor());
  std::atomic<bool> writer_timed_out{false};
  CancellationToken writer_gives_up;
  set.spawn(with_captures([&]() -> awaitable<void> {
    writer_queued.add();
    auto r = co_await (lock.write() || writer_gives_up.cancelled());
    writer_timed_out = r.index() == 1;
  }));
  ASSERT_TRUE(writer_queued.wait_for(1));
  ASSERT_TRUE(block_on(rt, queued_reaches(lock, 1)));
  set.spawn(with_captures([&]() -> awaitable<void> {
    auto g = co_await lock.read();
    reader_in.add();
  }));
  ASSERT_TRUE(block_on(rt, queued_reaches(lock, 2)));  // the reader waits behind the writer
  EXPECT_EQ(reader_in.value(), 0);
  writer_gives_up.cancel();
  // `first` is still held: the reader gets in beside it once the writer has left the queue.
  EXPECT_TRUE(reader_in.wait_for(1));
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await set.join_next()) EXPECT_TRUE(*end);
  }());
  EXPECT_TRUE(writer_timed_out.load());
  first.unlock();
  EXPECT_TRUE(lock.try_write());
}

TEST(UtilRwLock, AbortedWaitersDoNotBlockOthers) {
  Runtime rt(8);
  RwLock lock;
  Counter queued;
  auto held = lock.try_write();
  {
    TaskSet waiting(rt.executor());
    for (int i = 0; i < 50; ++i) {
      waiting.spawn(with_captures([&, exclusive = i % 2 == 0]() -> awaitable<void> {
        queued.add();
        if (exclusive) {
          auto g = co_await lock.write();
        } else {
          auto g = co_await lock.read();
        }
      }));
    }
    ASSERT_TRUE(queued.wait_for(50));
    waiting.abort_all();
    block_on(rt, [&]() -> awaitable<void> {
      while (auto end = co_await waiting.join_next()) EXPECT_FALSE(*end);
    }());
  }
  held.unlock();
  EXPECT_TRUE(lock.try_write());
}

TEST(UtilRwLock, AGuardIsReleasedWhenItsCoroutineIsDestroyed) {
  RwLock lock;
  Counter holding;
  {
    Runtime rt(2);
    rt.spawn(with_captures([&]() -> awaitable<void> {
      auto g = co_await lock.write();
      holding.add();
      co_await test::sleep_for(1h);
    }));
    ASSERT_TRUE(holding.wait_for(1));
    EXPECT_FALSE(lock.try_read());
  }
  EXPECT_TRUE(lock.try_write());
}

TEST(UtilRwLock, GrantsInFlightAtShutdownAreReleased) {
  // Waiters granted or pending when the runtime goes away leave the lock free.
  RwLock lock;
  {
    Runtime rt(4);
    auto held = lock.try_write();
    Counter queued;
    for (int i = 0; i < 20; ++i) {
      rt.spawn(with_captures([&, exclusive = i % 3 == 0]() -> awaitable<void> {
        queued.add();
        if (exclusive) {
          auto g = co_await lock.write();
          co_await test::sleep_for(1h);
        } else {
          auto g = co_await lock.read();
          co_await test::sleep_for(1h);
        }
      }));
    }
    ASSERT_TRUE(queued.wait_for(20));
    held.unlock();
  }
  EXPECT_TRUE(lock.try_write());
}

TEST(UtilRwLock, RwLockedValue) {
  Runtime rt(2);
  RwLocked<std::vector<int>> values(3, 1);
  block_on(rt, [&]() -> awaitable<void> {
    {
      auto w = co_await values.write();
      w->push_back(2);
    }
    auto r = co_await values.read();
    EXPECT_EQ(r->size(), 4u);
    EXPECT_EQ((*r)[3], 2);
  }());
}

}  // namespace
}  // namespace velarix::p2p::util
