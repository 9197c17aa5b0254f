#include "util/channel.h"

#include <atomic>
#include <deque>
#include <memory>
#include <thread>
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

TEST(UtilChannel, OffersNeverWait) {
  Runtime rt(2);
  Channel<int> ch(4);
  EXPECT_EQ(ch.capacity(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(ch.try_send(i));
  auto full = ch.try_send(4);  // no consumer at all: must fail at once, not wait
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().kind, ChannelError::Kind::Full);
  EXPECT_EQ(full.error().message(), "sending on a full channel");
  ch.close();
  auto closed = ch.try_send(5);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().kind, ChannelError::Kind::Closed);
  EXPECT_EQ(closed.error().message(), "sending on a closed channel");
}

TEST(UtilChannel, ValuesArriveInOrder) {
  Runtime rt(2);
  Channel<std::vector<int>> ch(8);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(ch.try_send(std::vector<int>(i, i)));
  block_on(rt, [&]() -> awaitable<void> {
    for (int i = 0; i < 8; ++i) {
      auto v = co_await ch.receive();
      EXPECT_TRUE(v);
      if (v) {
        EXPECT_EQ(*v, std::vector<int>(i, i));
      }
    }
  }());
}

TEST(UtilChannel, KeepsOrderAndCapacityWhileItsBufferWrapsAndGrows) {
  Runtime rt(1);
  constexpr std::size_t kCap = 20;  // not a power of two: the last growth stops short
  Channel<int> ch(kCap);
  std::deque<int> model;
  block_on(rt, [&]() -> awaitable<void> {
    int next = 0;
    for (int round = 0; round < 300; ++round) {
      for (int i = 0; i < (round * 7) % 13; ++i, ++next) {
        const bool room = model.size() < kCap;
        EXPECT_EQ(ch.try_send(next).has_value(), room) << "round " << round;
        if (room) model.push_back(next);
      }
      for (int i = 0; i < (round * 5) % 11 && !model.empty(); ++i) {
        auto v = co_await ch.receive();
        EXPECT_TRUE(v && *v == model.front()) << "round " << round;
        model.pop_front();
      }
      EXPECT_EQ(ch.size(), model.size());
    }
  }());
}

TEST(UtilChannel, CapacityZeroIsARendezvous) {
  Runtime rt(4);
  Channel<int> ch(0);
  auto nobody = ch.try_send(1);
  ASSERT_FALSE(nobody);
  EXPECT_EQ(nobody.error().kind, ChannelError::Kind::Full);

  Counter got;
  std::atomic<int> value{0};
  rt.spawn(with_captures([&]() -> awaitable<void> {
    auto v = co_await ch.receive();
    if (v) value = *v;
    got.add();
  }));
  // Offer until the receiver is waiting (the offer itself never waits).
  const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
  bool sent = false;
  while (!sent && std::chrono::steady_clock::now() < deadline) {
    sent = ch.try_send(42).has_value();
    if (!sent) std::this_thread::yield();
  }
  ASSERT_TRUE(sent);
  ASSERT_TRUE(got.wait_for(1));
  EXPECT_EQ(value.load(), 42);
}

// An offer goes to a receiver waiting on the offering thread, even one that began to wait
// after a receiver elsewhere; an offer from anywhere else goes to the longest waiting one.
TEST(UtilChannel, AnOfferGoesToAReceiverOnItsOwnThreadFirst) {
  Runtime rt(1);
  Channel<int> ch(4);
  const auto first_lane = rt.lane();
  const auto second_lane = rt.lane();
  std::atomic<int> on_first{-1}, on_second{-1};
  auto receiver = [&ch](std::atomic<int>* out) -> awaitable<void> {
    auto v = co_await ch.receive();
    out->store(v ? *v : -2);
  };
  auto until = [](auto condition) {
    const auto end = std::chrono::steady_clock::now() + test::kDeadline;
    while (!condition() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return condition();
  };
  spawn_pinned(first_lane, receiver(&on_first));
  ASSERT_TRUE(until([&] { return ch.waiting() == 1; }));
  spawn_pinned(second_lane, receiver(&on_second));
  ASSERT_TRUE(until([&] { return ch.waiting() == 2; }));

  boost::asio::post(second_lane, [&ch] { EXPECT_TRUE(ch.try_send(7)); });
  ASSERT_TRUE(until([&] { return on_second.load() != -1; }));
  EXPECT_EQ(on_second.load(), 7);
  EXPECT_EQ(on_first.load(), -1);
  EXPECT_TRUE(ch.try_send(8));  // from this thread, where nobody waits
  ASSERT_TRUE(until([&] { return on_first.load() != -1; }));
  EXPECT_EQ(on_first.load(), 8);
}

TEST(UtilChannel, CloseWakesWaitingReceivers) {
  Runtime rt(4);
  Channel<int> ch(2);
  Counter waiting, closed;
  for (int i = 0; i < 10; ++i) {
    rt.spawn(with_captures([&]() -> awaitable<void> {
      waiting.add();
      auto v = co_await ch.receive();
      if (!v && v.error().kind == ChannelError::Kind::Closed) {
        EXPECT_EQ(v.error().message(), "receiving on a closed channel");
        closed.add();
      }
    }));
  }
  ASSERT_TRUE(waiting.wait_for(10));
  ch.close();
  EXPECT_TRUE(closed.wait_for(10));
}

TEST(UtilChannel, CloseDeliversWhatIsBufferedThenReportsClosed) {
  Runtime rt(2);
  Channel<int> ch(4);
  ASSERT_TRUE(ch.try_send(1));
  ASSERT_TRUE(ch.try_send(2));
  ch.close();
  ch.close();
  EXPECT_FALSE(ch.is_open());
  block_on(rt, [&]() -> awaitable<void> {
    auto a = co_await ch.receive();
    auto b = co_await ch.receive();
    auto c = co_await ch.receive();
    EXPECT_TRUE(a && *a == 1);
    EXPECT_TRUE(b && *b == 2);
    EXPECT_TRUE(!c && c.error().kind == ChannelError::Kind::Closed);
  }());
}

TEST(UtilChannel, ACancelledReceiveReportsCancelled) {
  Runtime rt(4);
  Channel<int> ch(2);
  auto r = block_on(rt, [&]() -> awaitable<std::size_t> {
    auto r = co_await (ch.receive() || test::sleep_for(1ms));
    co_return r.index();
  }());
  EXPECT_EQ(r, 1u);
  // The cancelled receive took nothing.
  ASSERT_TRUE(ch.try_send(7));
  auto v = block_on(rt, ch.receive());
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, 7);

  TaskSet set(rt.executor());
  std::atomic<bool> saw_cancelled{false};
  Counter receiving;
  set.spawn(with_captures([&]() -> awaitable<void> {
    receiving.add();
    auto v = co_await ch.receive();
    saw_cancelled = !v && v.error().kind == ChannelError::Kind::Cancelled;
  }));
  ASSERT_TRUE(receiving.wait_for(1));
  set.abort_all();
  EXPECT_TRUE(block_on(rt, set.join_next()));
  EXPECT_TRUE(saw_cancelled.load());
}

TEST(UtilChannel, ManyProducersManyConsumersEveryItemExactlyOnce) {
  Runtime rt(8);
  constexpr int kProducers = 4, kPerProducer = 5000, kConsumers = 6;
  constexpr int kItems = kProducers * kPerProducer;
  Channel<int> ch(64);
  std::vector<std::atomic<int>> seen(kItems);
  Counter received;
  std::atomic<long> full_offers{0};
  TaskSet consumers(rt.executor());
  for (int c = 0; c < kConsumers; ++c) {
    consumers.spawn(with_captures([&]() -> awaitable<void> {
      for (;;) {
        auto v = co_await ch.receive();
        if (!v) co_return;  // closed
        seen[*v].fetch_add(1);
        received.add();
      }
    }));
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const int item = p * kPerProducer + i;
        // A full channel refuses at once; the producer offers again.
        for (;;) {
          auto r = ch.try_send(item);
          if (r) break;
          ASSERT_EQ(r.error().kind, ChannelError::Kind::Full);
          ++full_offers;
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& p : producers) p.join();
  ASSERT_TRUE(received.wait_for(kItems));
  ch.close();
  block_on(rt, [&]() -> awaitable<void> {
    while (auto end = co_await consumers.join_next()) EXPECT_TRUE(*end);
  }());
  int wrong = 0;
  for (auto& s : seen) wrong += s.load() != 1;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(received.value(), kItems);
}

}  // namespace
}  // namespace velarix::p2p::util
