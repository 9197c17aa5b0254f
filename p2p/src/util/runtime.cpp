#include "util/runtime.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include <pthread.h>

#include <boost/asio/strand.hpp>
#include <fmt/format.h>

#include "util/log.h"

namespace velarix::p2p::util {

Runtime::Runtime(std::size_t threads) : work_(context_.get_executor()) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this, i] {
      const auto name = fmt::format("velarix-rt-{}", i);
      pthread_setname_np(pthread_self(), name.c_str());
      // A handler that throws must not take the worker down with it.
      for (;;) {
        try {
          context_.run();
          return;
        } catch (...) {
          log::error("Runtime worker caught an exception: {}", detail::describe(std::current_exception()));
        }
      }
    });
  }
}

Runtime::~Runtime() {
  if (running_in_this_thread()) detail::fatal("a Runtime destroyed from one of its own threads", "");
  work_.reset();
  context_.stop();
  for (auto& t : threads_) t.join();
  // `context_` is destroyed next: its services destroy what is still pending.
}

void Runtime::spawn(boost::asio::awaitable<void> task) { spawn_detached(executor(), std::move(task)); }

boost::asio::any_io_executor make_task_strand(const boost::asio::any_io_executor& executor) {
  using IoExecutor = boost::asio::io_context::executor_type;
  if (const auto* io = executor.target<IoExecutor>()) return boost::asio::make_strand(*io);
  if (const auto* strand = executor.target<boost::asio::strand<IoExecutor>>()) {
    return boost::asio::make_strand(strand->get_inner_executor());
  }
  return boost::asio::make_strand(executor);
}

void spawn_detached(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task) {
  boost::asio::co_spawn(make_task_strand(executor), std::move(task), [](std::exception_ptr e) {
    if (e) log::error("Detached task failed: {}", detail::describe(e));
  });
}

namespace detail {

void fatal(const char* what, const std::string& detail) {
  log::error("{}{}", what, detail);
  std::fprintf(stderr, "velarix: fatal: %s%s\n", what, detail.c_str());
  std::terminate();
}

std::string describe(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace detail
}  // namespace velarix::p2p::util
