// until_cancelled: a token (or an abort of the caller) stops a loop wherever it
// waits, also inside nested coroutines, without an exception per wait.

#include "util/until_cancelled.h"

#include <atomic>
#include <memory>
#include <stdexcept>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "p2p/util_test_support.h"
#include "util/channel.h"
#include "util/runtime.h"
#include "util/task_set.h"

namespace velarix::p2p::util {
namespace {

using boost::asio::awaitable;
namespace asio = boost::asio;
using test::Counter;

// Waits on a timer an hour away inside a nested coroutine; reports how the wait ended.
// `entered` is raised on the task's strand just before the wait, so a cancellation
// requested after it reaches the wait itself.
awaitable<void> nested_wait(std::atomic<int>* aborted_waits, Counter* entered) {
  asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(1));
  entered->add();
  auto [ec] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  if (ec == asio::error::operation_aborted) ++*aborted_waits;
}

TEST(UtilUntilCancelled, TheTokenEndsTheWaitOfTheBodyWhereverItIs) {
  Runtime rt(2);
  struct Case {
    const char* what;
    bool cancel_before;
  } cases[] = {{"cancelled while waiting", false}, {"cancelled before the start", true}};
  for (const auto& c : cases) {
    CancellationToken token;
    auto channel = std::make_shared<Channel<int>>(4);
    std::atomic<int> cancelled_receives{0}, aborted_waits{0}, received{0};
    Counter entered;
    auto body = [](std::shared_ptr<Channel<int>> ch, std::atomic<int>* cancelled, std::atomic<int>* aborted,
                   std::atomic<int>* received, Counter* entered) -> awaitable<void> {
      for (;;) {
        auto v = co_await ch->receive();
        if (!v) {
          if (v.error().kind == ChannelError::Kind::Cancelled) ++*cancelled;
          break;
        }
        ++*received;
        if (*v == 1) co_await nested_wait(aborted, entered);
      }
    };
    if (c.cancel_before) token.cancel();
    std::thread canceller;
    if (!c.cancel_before) {
      ASSERT_TRUE(channel->try_send(0));
      ASSERT_TRUE(channel->try_send(1));  // the body then waits in the nested timer
      canceller = std::thread([&] {
        entered.wait_for(1);
        token.cancel();
      });
    }
    const bool ended = block_on(
        rt, test::ends_within(until_cancelled(
                token, body(channel, &cancelled_receives, &aborted_waits, &received, &entered))));
    if (canceller.joinable()) canceller.join();
    EXPECT_TRUE(ended) << c.what;
    EXPECT_EQ(token.pending_waits(), 0u) << c.what << ": the watch of the token is gone";
    if (!c.cancel_before) {
      EXPECT_EQ(received.load(), 2) << c.what;
      EXPECT_EQ(aborted_waits.load(), 1) << c.what << ": the nested wait ended aborted, without a throw";
    } else {
      EXPECT_EQ(cancelled_receives.load(), 1) << c.what;
    }
  }
}

TEST(UtilUntilCancelled, ABodyThatEndsByItselfLeavesTheTokenAlone) {
  Runtime rt(2);
  CancellationToken token;
  block_on(rt, until_cancelled(token, []() -> awaitable<void> { co_return; }()));
  EXPECT_FALSE(token.is_cancelled());
  // The watch ends with the body: no wait is left on the token.
  const auto end = std::chrono::steady_clock::now() + test::kDeadline;
  while (token.pending_waits() != 0 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  EXPECT_EQ(token.pending_waits(), 0u);
}

TEST(UtilUntilCancelled, AFailureOfTheBodyWhileTheTokenLivesIsRethrown) {
  Runtime rt(2);
  CancellationToken token;
  auto result = try_block_on(rt, until_cancelled(token, []() -> awaitable<void> {
                               throw std::runtime_error("broken loop");
                               co_return;
                             }()));
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().find("broken loop"), std::string::npos);
}

TEST(UtilUntilCancelled, AnAbortOfTheCallerReachesTheBody) {
  Runtime rt(2);
  CancellationToken token;
  std::atomic<int> aborted_waits{0};
  Counter entered;
  TaskSet tasks(rt.executor());
  tasks.spawn(until_cancelled(token, nested_wait(&aborted_waits, &entered)));
  ASSERT_TRUE(entered.wait_for(1));
  tasks.abort_all();
  auto end = block_on(rt, test::within(tasks.join_next()));
  ASSERT_TRUE(end) << "the task ended";
  EXPECT_EQ(aborted_waits.load(), 1);
  EXPECT_FALSE(token.is_cancelled());
}

}  // namespace
}  // namespace velarix::p2p::util
