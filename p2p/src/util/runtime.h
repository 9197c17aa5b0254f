#pragma once
// Runtime: the io_context every task of the library and the agent runs on.
//
// - It owns a boost::asio::io_context, a work guard and N worker threads (default: one per
//   hardware thread). All its members are thread-safe.
// - Destroying it stops the context (pending work is not drained), joins the threads and then
//   destroys what is still pending there, including suspended coroutine frames. Destroy it from
//   a host thread, never from one of its own threads, and only once nothing else uses it: no
//   `block_on` in progress, and every asio I/O object (socket, timer) made on it gone. The
//   spine's own objects (tokens, locks, channels, task sets) may outlive it; waits still
//   pending on them are destroyed with the runtime.
// - `block_on` runs a coroutine on the runtime and blocks the calling host thread until it
//   returns. Any number of host threads may block on one runtime at once. Calling it from a
//   runtime thread would deadlock the pool; it terminates the process instead.
//   Failures travel in the coroutine's own result (make T a std::expected). An exception that
//   escapes the coroutine is a bug: `block_on` logs it and terminates the process, so nothing
//   is thrown across the C interface. `try_block_on` returns it as text instead.
// - `spawn` starts a detached task; an exception escaping it is logged at ERROR and dropped.
// - Every task started here (block_on, spawn, TaskSet) runs on a strand of its own: its
//   completions never run in parallel with each other, which keeps asio's per-operation
//   cancellation (`||` of awaitable_operators, aborts) free of races on a multi-threaded pool.
//   Tasks still run in parallel with one another. Each also has a span context of its own
//   (util/task_executor.h): the spans it is in follow it across co_await and threads.
// - Lanes: beside the pool, single-threaded io_contexts, each run by a thread of its own, for
//   tasks that should stay on one thread with their socket (a UDP reader resumes where its
//   socket's readiness was seen, without a hand-off between pool threads or a strand). Made on
//   first use, at most `lane_limit` of them, handed out in turn. A lane's task makes its
//   sockets on the lane's executor. Blocking on a lane thread stalls the lane: lanes are for
//   tasks that never block.
// - Beware of coroutine lambdas with captures: see `with_captures` below.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

namespace velarix::p2p::util {

class Runtime {
 public:
  using executor_type = boost::asio::io_context::executor_type;

  // `threads` worker threads; 0 means std::thread::hardware_concurrency() (at least 1).
  // `lane_limit` lanes at most; 0 means as many as hardware threads.
  explicit Runtime(std::size_t threads = 0, std::size_t lane_limit = 0);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  executor_type executor() noexcept { return context_.get_executor(); }
  boost::asio::io_context& context() noexcept { return context_; }
  std::size_t thread_count() const noexcept { return threads_.size(); }
  // True on the runtime's worker and lane threads.
  bool running_in_this_thread() const noexcept;

  // The next lane, in turn (made when fewer than `lane_limit` exist).
  executor_type lane();
  std::size_t lane_count() const;
  // A lane of the runtime that `executor` belongs to (its pool, a strand of it, or a lane);
  // `executor` itself when it belongs to no Runtime (an io_context of a test's own).
  static boost::asio::any_io_executor lane_for(const boost::asio::any_io_executor& executor);
  // Whether `executor` runs on a lane.
  static bool is_lane(const boost::asio::any_io_executor& executor);

  // Starts `task` detached.
  void spawn(boost::asio::awaitable<void> task);

  // An io_context whose shut-down (which destroys the work still queued) and destruction of
  // services the runtime can call apart: queued work of one context may hold I/O objects of
  // another, so every context is shut down before any is destroyed.
  class Context : public boost::asio::io_context {
   public:
    using boost::asio::io_context::io_context;
    void shutdown_services() { shutdown(); }
    void destroy_services() { destroy(); }
  };

 private:
  struct Lane;

  Context context_;
  boost::asio::executor_work_guard<executor_type> work_;
  std::vector<std::thread> threads_;
  const std::size_t lane_limit_;
  mutable std::mutex lanes_mutex_;
  std::vector<std::unique_ptr<Lane>> lanes_;  // guarded by lanes_mutex_; only grows
  std::size_t next_lane_ = 0;                 // guarded by lanes_mutex_
  bool stopping_ = false;                     // guarded by lanes_mutex_
};

// Runs the coroutine lambda `f` with the closure moved into the coroutine frame, so that its
// captures live as long as the coroutine. A coroutine lambda keeps its captures in the closure
// object, not in its frame: `spawn([x] () -> awaitable<void> {...}())` reads a dead closure
// once the statement ends. Write `spawn(with_captures([x] () -> awaitable<void> {...}))`.
template <class F>
auto with_captures(F f) -> decltype(f()) {
  return [](F closure) -> decltype(closure()) { co_return co_await closure(); }(std::move(f));
}

// Whose spans (util/span.h) the lines of a new task carry before its own.
enum class TaskSpans : std::uint8_t {
  own,     // none: a task that may outlive the one that starts it (spawned, in a task set)
  caller,  // the calling task's, as they are while it waits: a task the caller awaits
};

// A new strand for one task on `executor`'s io_context, with a span context of its own
// (util/task_executor.h). When the io_context's own executor can be reached (`executor` is it,
// a strand of it or a task's executor), the strand is made over it, not nested in `executor`:
// tasks spawned from inside a task are siblings, and the executor fits in an any_io_executor
// without a shared allocation.
boost::asio::any_io_executor make_task_strand(const boost::asio::any_io_executor& executor,
                                              TaskSpans spans = TaskSpans::own);
// The same without a strand, for a task on a lane (whose one thread serialises it).
boost::asio::any_io_executor make_task_executor(const boost::asio::any_io_executor& lane,
                                                TaskSpans spans = TaskSpans::own);
// For a task that runs beside the calling task, on the same strand (or lane), and that the
// caller awaits (join_all, until_cancelled): a span context of its own inside the caller's
// spans. `executor` is the caller's; one that is no task's executor is returned as it is.
boost::asio::any_io_executor make_side_executor(const boost::asio::any_io_executor& executor);
// The io_context's own executor under `executor` (it, a strand of it or a task's executor);
// `executor` itself when there is none.
boost::asio::any_io_executor context_executor(const boost::asio::any_io_executor& executor);

// Starts `task` detached on `executor`; an escaping exception is logged at ERROR.
void spawn_detached(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task);
// The same for a task that should stay on `executor`'s thread: on a lane, directly (no strand);
// elsewhere as spawn_detached.
void spawn_pinned(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task);

namespace detail {

[[noreturn]] void fatal(const char* what, const std::string& detail);
std::string describe(const std::exception_ptr& e);

template <class T>
struct BlockOnState {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  std::optional<std::conditional_t<std::is_void_v<T>, std::monostate, T>> value;
  std::string failure;
};

// Marks the wait done when the coroutine frame goes away, whatever way it does.
template <class T>
struct BlockOnDone {
  std::shared_ptr<BlockOnState<T>> state;
  ~BlockOnDone() {
    {
      std::lock_guard lock(state->mutex);
      state->done = true;
    }
    state->done_cv.notify_all();
  }
};

template <class T>
boost::asio::awaitable<void> block_on_body(std::shared_ptr<BlockOnState<T>> state, boost::asio::awaitable<T> task) {
  BlockOnDone<T> done{state};
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      std::lock_guard lock(state->mutex);
      state->value.emplace();
    } else {
      T value = co_await std::move(task);
      std::lock_guard lock(state->mutex);
      state->value.emplace(std::move(value));
    }
  } catch (...) {
    std::lock_guard lock(state->mutex);
    state->failure = describe(std::current_exception());
  }
}

}  // namespace detail

// Runs `task` on `runtime`, blocks until it ends and returns its value, or the text of an
// exception that escaped it (also when the runtime was destroyed under it).
template <class T>
std::expected<T, std::string> try_block_on(Runtime& runtime, boost::asio::awaitable<T> task) {
  if (runtime.running_in_this_thread()) detail::fatal("block_on called from a runtime thread", "");
  auto state = std::make_shared<detail::BlockOnState<T>>();
  boost::asio::co_spawn(make_task_strand(runtime.executor()), detail::block_on_body<T>(state, std::move(task)),
                        [](std::exception_ptr) {});
  std::unique_lock lock(state->mutex);
  state->done_cv.wait(lock, [&] { return state->done; });
  if (state->value) {
    if constexpr (std::is_void_v<T>) {
      return {};
    } else {
      return std::move(*state->value);
    }
  }
  return std::unexpected(state->failure.empty() ? std::string("the runtime ended before the task") : state->failure);
}

// Runs `task` on `runtime`, blocks until it ends and returns its value. Terminates the process
// (after logging) when an exception escapes the task.
template <class T>
T block_on(Runtime& runtime, boost::asio::awaitable<T> task) {
  auto result = try_block_on(runtime, std::move(task));
  if (!result) detail::fatal("block_on: the task failed: ", result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace velarix::p2p::util
