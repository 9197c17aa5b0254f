#include "util/runtime.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

#include <pthread.h>

#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/strand.hpp>
#include <fmt/format.h>

#include "util/log.h"
#include "util/task_executor.h"

namespace velarix::p2p::util {

namespace {

// The runtime whose thread this is (pool or lane), for running_in_this_thread.
thread_local const Runtime* t_runtime = nullptr;

// Registered in every context of a runtime, so that an executor leads back to its runtime.
class RuntimeService : public boost::asio::execution_context::service {
 public:
  static boost::asio::execution_context::id id;
  explicit RuntimeService(boost::asio::execution_context& ctx) : service(ctx) {}
  RuntimeService(boost::asio::execution_context& ctx, Runtime* rt, bool is_lane)
      : service(ctx), runtime(rt), lane(is_lane) {}
  void shutdown() override {}
  Runtime* runtime = nullptr;
  bool lane = false;
};
boost::asio::execution_context::id RuntimeService::id;

// Runs `context` on the calling thread until it is stopped.
void run_worker(const Runtime* rt, boost::asio::io_context& context, const std::string& name) {
  pthread_setname_np(pthread_self(), name.c_str());
  t_runtime = rt;
  // A handler that throws must not take the worker down with it.
  for (;;) {
    try {
      context.run();
      return;
    } catch (...) {
      log::error("Runtime worker caught an exception: {}", detail::describe(std::current_exception()));
    }
  }
}

}  // namespace

struct Runtime::Lane {
  explicit Lane(Runtime* rt) : context(1), work(context.get_executor()) {
    boost::asio::make_service<RuntimeService>(context, rt, true);
  }
  Context context;
  boost::asio::executor_work_guard<executor_type> work;
  std::thread thread;
};

Runtime::Runtime(std::size_t threads, std::size_t lane_limit)
    : work_(context_.get_executor()),
      lane_limit_(lane_limit != 0 ? lane_limit : std::max(1u, std::thread::hardware_concurrency())) {
  boost::asio::make_service<RuntimeService>(context_, this, false);
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this, i] { run_worker(this, context_, fmt::format("velarix-rt-{}", i)); });
  }
}

Runtime::~Runtime() {
  if (running_in_this_thread()) detail::fatal("a Runtime destroyed from one of its own threads", "");
  {
    // No lane is made from here on: it would never be joined.
    std::lock_guard lock(lanes_mutex_);
    stopping_ = true;
  }
  auto& lanes = lanes_;
  work_.reset();
  context_.stop();
  for (auto& lane : lanes) {
    lane->work.reset();
    lane->context.stop();
  }
  for (auto& t : threads_) t.join();
  for (auto& lane : lanes) lane->thread.join();
  // Work still queued in one context (a suspended reader on a lane, say) may hold I/O objects of
  // another: every context destroys its queued work before any context's services go.
  context_.shutdown_services();
  for (auto& lane : lanes) lane->context.shutdown_services();
  for (auto& lane : lanes) lane->context.destroy_services();
  context_.destroy_services();
}

bool Runtime::running_in_this_thread() const noexcept { return t_runtime == this; }

Runtime::executor_type Runtime::lane() {
  std::lock_guard lock(lanes_mutex_);
  if (stopping_ && lanes_.empty()) return context_.get_executor();
  if (lanes_.size() < lane_limit_ && !stopping_) {
    auto lane = std::make_unique<Lane>(this);
    auto* l = lane.get();
    l->thread = std::thread([this, l, i = lanes_.size()] { run_worker(this, l->context, fmt::format("velarix-lane-{}", i)); });
    lanes_.push_back(std::move(lane));
    return l->context.get_executor();
  }
  auto& l = *lanes_[next_lane_++ % lanes_.size()];
  return l.context.get_executor();
}

std::size_t Runtime::lane_count() const {
  std::lock_guard lock(lanes_mutex_);
  return lanes_.size();
}

boost::asio::any_io_executor Runtime::lane_for(const boost::asio::any_io_executor& executor) {
  auto& ctx = boost::asio::query(executor, boost::asio::execution::context);
  if (!boost::asio::has_service<RuntimeService>(ctx)) return executor;
  return boost::asio::use_service<RuntimeService>(ctx).runtime->lane();
}

void Runtime::spawn(boost::asio::awaitable<void> task) { spawn_detached(executor(), std::move(task)); }

namespace {

using IoExecutor = boost::asio::io_context::executor_type;
using IoTaskExecutor = TaskExecutor<IoExecutor>;

// The io_context executor under `executor`, when there is one.
std::optional<IoExecutor> io_executor_of(const boost::asio::any_io_executor& executor) {
  if (const auto* io = executor.target<IoExecutor>()) return *io;
  if (const auto* task = executor.target<IoTaskExecutor>()) return task->inner_executor();
  if (const auto* strand = executor.target<boost::asio::strand<IoExecutor>>()) return strand->get_inner_executor();
  return std::nullopt;
}

// A task's state, inside the spans of the calling task when `spans` says so.
detail::TaskState* new_task_state(TaskSpans spans) {
  auto* state = new detail::TaskState;
  if (spans == TaskSpans::caller) {
    // Only a task's handlers set it: it is a TaskState.
    if (auto* caller = static_cast<detail::TaskState*>(log::detail::t_task)) {
      detail::retain(caller);
      state->parent = caller;
    }
  }
  return state;
}

}  // namespace

boost::asio::any_io_executor make_task_strand(const boost::asio::any_io_executor& executor, TaskSpans spans) {
  const auto io = io_executor_of(executor);
  if (!io) return boost::asio::make_strand(executor);
  auto* state = new_task_state(spans);
  state->strand = boost::asio::use_service<boost::asio::detail::strand_executor_service>(
                      boost::asio::query(*io, boost::asio::execution::context))
                      .create_implementation();
  return IoTaskExecutor(*io, state);
}

boost::asio::any_io_executor make_task_executor(const boost::asio::any_io_executor& lane, TaskSpans spans) {
  const auto io = io_executor_of(lane);
  if (!io) return lane;
  return IoTaskExecutor(*io, new_task_state(spans));
}

boost::asio::any_io_executor make_side_executor(const boost::asio::any_io_executor& executor) {
  const auto* task = executor.target<IoTaskExecutor>();
  if (task == nullptr) return executor;
  auto* state = new_task_state(TaskSpans::caller);
  state->strand = task->state()->strand;
  return IoTaskExecutor(task->inner_executor(), state);
}

boost::asio::any_io_executor context_executor(const boost::asio::any_io_executor& executor) {
  if (const auto io = io_executor_of(executor)) return *io;
  return executor;
}

void spawn_detached(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task) {
  boost::asio::co_spawn(make_task_strand(executor), std::move(task), [](std::exception_ptr e) {
    if (e) log::error("Detached task failed: {}", detail::describe(e));
  });
}

bool Runtime::is_lane(const boost::asio::any_io_executor& executor) {
  auto& ctx = boost::asio::query(executor, boost::asio::execution::context);
  return boost::asio::has_service<RuntimeService>(ctx) && boost::asio::use_service<RuntimeService>(ctx).lane;
}

void spawn_pinned(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task) {
  if (!Runtime::is_lane(executor)) {
    spawn_detached(executor, std::move(task));
    return;
  }
  // A lane runs one thread: the task's completions are serialised without a strand.
  boost::asio::co_spawn(make_task_executor(executor), std::move(task), [](std::exception_ptr e) {
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
