// Spans: the prefix a line logged inside them carries, what they cost, and whose lines carry
// them when tasks interleave on one thread, move between threads or wait for one another.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/alloc_counter.h"
#include "common/log_capture.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/join_all.h"
#include "util/log_limiter.h"
#include "util/runtime.h"
#include "util/span.h"
#include "util/task_set.h"
#include "util/until_cancelled.h"
#include "util/yield.h"
#include "util_test_support.h"

namespace {
// A field value that counts how often it is formatted.
struct Counted {
  int* formatted;
};
}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  auto format(const Counted& c, format_context& ctx) const {
    ++*c.formatted;
    return fmt::formatter<std::string_view>::format("counted", ctx);
  }
};

namespace velarix::test {
namespace {

namespace asio = boost::asio;
using p2p::util::block_on;
using p2p::util::Channel;
using p2p::util::Runtime;
using spdlog::level::level_enum;

// Sets the capturing logger's level for a scope.
struct LevelFor {
  explicit LevelFor(level_enum level) { log::logger().set_level(level); }
  ~LevelFor() { log::logger().set_level(was); }
  level_enum was = log::logger().level();
};

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(LogSpans, ALineCarriesItsSpansOutermostFirst) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  struct Case {
    const char* what;
    std::function<void()> run;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"no span", [] { log::info("message"); }, {"info message"}},
      {"a span without fields",
       [] {
         log::Span span(level_enum::info, "bind");
         log::info("message");
       },
       {"info bind: message"}},
      {"fields in their order; structured fields of the message stay as they are",
       [] {
         log::Span span(level_enum::info, "x", log::field("a", 1), log::field("b", std::string("two")));
         log::warn("message key={}", 3);
       },
       {"warning x{a=1,b=two}: message key=3"}},
      {"nested, outermost first; the outer one alone once the inner one ends",
       [] {
         log::Span outer(level_enum::info, "outer");
         {
           log::Span inner(level_enum::info, "inner", log::field("n", 2));
           log::info("in both");
         }
         log::info("in outer");
       },
       {"info outer: inner{n=2}: in both", "info outer: in outer"}},
      {"lines of every level, and those of a run-time level or a limiter",
       [] {
         log::Span span(level_enum::info, "s");
         log::trace("t");
         log::error("e");
         log::at(level_enum::debug, "at {}", "run time");
         p2p::util::LogLimiter limiter(1);
         p2p::util::limited_log(limiter, level_enum::warn, "things", "limited");
       },
       {"trace s: t", "error s: e", "debug s: at run time", "warning s: limited"}},
      {"a field held by reference shows its value when the line is written",
       [] {
         int n = 1;
         log::Span span(level_enum::info, "s", log::field("n", n));
         n = 2;
         log::info("message");
       },
       {"info s{n=2}: message"}},
      {"a span whose level is hidden is left out",
       [] {
         LevelFor info(level_enum::info);
         log::Span hidden(level_enum::trace, "hidden");
         log::Span shown(level_enum::info, "shown");
         log::info("message");
       },
       {"info shown: message"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    logs.clear();
    c.run();
    log::info("after");
    auto expected = c.lines;
    expected.push_back("info after");
    EXPECT_EQ(logs.lines(), expected);
  }
}

TEST(LogSpans, AShownSpanFormatsNothingUntilALineAndAHiddenOneIsNotLinked) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  int formatted = 0;
  {
    AllocCounter allocations;
    bool entered = true;
    for (int i = 0; i < 100; ++i) {
      log::Span span(level_enum::info, "s", log::field("c", Counted{&formatted}), log::field("n", i));
      entered = entered && span.entered();
    }
    EXPECT_TRUE(entered);
    EXPECT_EQ(allocations.count(), 0u) << "entering and leaving a shown span";
  }
  EXPECT_EQ(formatted, 0);
  {
    log::Span span(level_enum::info, "s", log::field("c", Counted{&formatted}));
    log::info("one");
    log::info("two");
  }
  EXPECT_EQ(formatted, 2) << "once per line logged inside";

  LevelFor info(level_enum::info);
  logs.clear();
  {
    log::Span hidden(level_enum::debug, "hidden", log::field("c", Counted{&formatted}));
    EXPECT_FALSE(hidden.entered());
    log::info("inside");
  }
  EXPECT_EQ(formatted, 2);
  EXPECT_EQ(logs.lines(), std::vector<std::string>{"info inside"});
}

// Two tasks on one thread, each in a span of its own, each suspending inside it while the other
// runs: A enters its span and waits; B enters its own, wakes A and waits; A logs and ends; B logs.
asio::awaitable<void> task_a(Channel<int>& to_a, Channel<int>& to_b, std::vector<std::thread::id>& threads,
                             Counter& done) {
  {
    log::Span span(level_enum::info, "a", log::field("task", 1));
    log::info("A entered");
    (void)to_b.try_send(1);
    (void)co_await to_a.receive();
    threads.push_back(std::this_thread::get_id());
    log::info("A resumed");
    (void)to_b.try_send(2);
  }
  log::info("A left");
  done.add();
}

asio::awaitable<void> task_b(Channel<int>& to_a, Channel<int>& to_b, std::vector<std::thread::id>& threads,
                             Counter& done) {
  (void)co_await to_b.receive();
  {
    log::Span span(level_enum::info, "b", log::field("task", 2));
    threads.push_back(std::this_thread::get_id());
    log::info("B entered");
    (void)to_a.try_send(1);
    (void)co_await to_b.receive();
    threads.push_back(std::this_thread::get_id());
    log::info("B resumed");
  }
  log::info("B left");
  done.add();
}

TEST(LogSpans, TwoTasksInterleavingOnOneThreadEachCarryOnlyTheirOwn) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  struct Case {
    const char* what;
    std::function<void(Runtime&, asio::awaitable<void>)> spawn;
  };
  const std::vector<Case> cases = {
      {"tasks of a pool with one thread",
       [](Runtime& rt, asio::awaitable<void> t) { rt.spawn(std::move(t)); }},
      {"tasks of one lane",
       [](Runtime& rt, asio::awaitable<void> t) { p2p::util::spawn_pinned(rt.lane(), std::move(t)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Channel<int> to_a(1), to_b(1);
    std::vector<std::thread::id> threads;
    Counter done;
    Runtime rt(1, 1);
    logs.clear();
    c.spawn(rt, task_a(to_a, to_b, threads, done));
    c.spawn(rt, task_b(to_a, to_b, threads, done));
    ASSERT_TRUE(done.wait_for(2));
    ASSERT_EQ(threads.size(), 3u);
    EXPECT_TRUE(threads[0] == threads[1] && threads[1] == threads[2]) << "the two tasks shared one thread";
    EXPECT_EQ(sorted(logs.lines()), sorted({"info a{task=1}: A entered", "info b{task=2}: B entered",
                                            "info a{task=1}: A resumed", "info b{task=2}: B resumed", "info A left",
                                            "info B left"}));
  }
}

TEST(LogSpans, ASpanFollowsItsTaskAcrossThreadsAndNoOtherTaskSeesIt) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  p2p::util::CancellationToken stop;
  Counter other_done;
  Runtime rt(4);
  logs.clear();
  // Another task yields and logs meanwhile, on the pool's other threads.
  rt.spawn([](p2p::util::CancellationToken token, Counter& done) -> asio::awaitable<void> {
    while (!token.is_cancelled()) {
      log::info("other");
      co_await p2p::util::yield_now();
    }
    done.add();
  }(stop, other_done));

  const auto threads = block_on(rt, []() -> asio::awaitable<std::size_t> {
    log::Span span(level_enum::info, "mover", log::field("n", 7));
    std::set<std::thread::id> seen{std::this_thread::get_id()};
    for (int i = 0; i < 5000 && seen.size() < 3; ++i) {
      co_await p2p::util::yield_now();
      seen.insert(std::this_thread::get_id());
      log::info("step");
    }
    co_return seen.size();
  }());
  stop.cancel();
  ASSERT_TRUE(other_done.wait_for(1));
  ASSERT_GE(threads, 2u) << "the task never changed threads";
  std::size_t steps = 0, others = 0;
  for (const auto& line : logs.lines()) {
    if (line.ends_with("step")) {
      ++steps;
      EXPECT_EQ(line, "info mover{n=7}: step");
    } else {
      ++others;
      EXPECT_EQ(line, "info other");
    }
  }
  EXPECT_GT(steps, 0u);
  EXPECT_GT(others, 0u);
}

// Work a task awaits (join_all, until_cancelled, a task on a strand of its own) is inside the
// task's spans, each piece with spans of its own; work it starts and leaves (spawned, in a
// task set) is not, since it may outlive them.
TEST(LogSpans, AwaitedWorkIsInsideTheCallersSpansStartedWorkIsNot) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  Counter started;
  Runtime rt(4);
  logs.clear();
  block_on(rt, [](Counter& started) -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    log::Span span(level_enum::info, "outer");
    // Two side by side, each suspending inside its own span while the other runs.
    auto child = [](int n) -> asio::awaitable<int> {
      log::Span own(level_enum::info, "child", log::field("n", n));
      co_await p2p::util::yield_now();
      log::info("child resumed");
      co_return n;
    };
    std::vector<asio::awaitable<int>> children;
    children.push_back(child(1));
    children.push_back(child(2));
    (void)co_await p2p::util::join_all(std::move(children));
    co_await p2p::util::until_cancelled(p2p::util::CancellationToken{}, []() -> asio::awaitable<void> {
      co_await p2p::util::yield_now();
      log::info("body");
    }());
    co_await asio::co_spawn(p2p::util::make_task_strand(executor, p2p::util::TaskSpans::caller),
                            []() -> asio::awaitable<void> {
                              co_await p2p::util::yield_now();
                              log::info("awaited");
                            }(),
                            asio::use_awaitable);
    p2p::util::spawn_detached(executor, [](Counter& c) -> asio::awaitable<void> {
      co_await p2p::util::yield_now();
      log::info("spawned");
      c.add();
    }(started));
    p2p::util::TaskSet set(executor);
    set.spawn([](Counter& c) -> asio::awaitable<void> {
      co_await p2p::util::yield_now();
      log::info("in a set");
      c.add();
    }(started));
    (void)co_await set.join_next();
    log::info("done");
  }(started));
  ASSERT_TRUE(started.wait_for(2));
  EXPECT_EQ(sorted(logs.lines()),
            sorted({"info outer: child{n=1}: child resumed", "info outer: child{n=2}: child resumed", "info outer: body",
                    "info outer: awaited", "info spawned", "info in a set", "info outer: done"}));
}

}  // namespace
}  // namespace velarix::test
