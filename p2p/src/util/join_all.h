#pragma once
// join_all: runs coroutines side by side and returns their results, in the order given, once
// every one has ended.
//
// - They start on the caller's executor. On a task's strand (every task of the Runtime has one)
//   they interleave at their waits but never run in parallel with each other or the caller, so
//   they may share what the caller's task may touch. Each has a span context of its own, inside
//   the caller's spans.
// - An exception that escapes one of them is rethrown once all have ended.
// - Cancelling the caller (asio per-operation cancellation) cancels every one of them.

#include <exception>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/runtime.h"

namespace velarix::p2p::util {

template <class T>
boost::asio::awaitable<std::vector<T>> join_all(std::vector<boost::asio::awaitable<T>> tasks) {
  if (tasks.empty()) co_return std::vector<T>{};
  auto executor = co_await boost::asio::this_coro::executor;
  using Op = decltype(boost::asio::co_spawn(executor, std::declval<boost::asio::awaitable<T>>(),
                                            boost::asio::deferred));
  std::vector<Op> ops;
  ops.reserve(tasks.size());
  for (auto& task : tasks) {
    ops.push_back(boost::asio::co_spawn(make_side_executor(executor), std::move(task), boost::asio::deferred));
  }
  auto [order, exceptions, values] =
      co_await boost::asio::experimental::make_parallel_group(std::move(ops))
          .async_wait(boost::asio::experimental::wait_for_all(), boost::asio::use_awaitable);
  (void)order;
  for (const auto& e : exceptions) {
    if (e) std::rethrow_exception(e);
  }
  co_return std::move(values);
}

}  // namespace velarix::p2p::util
