#pragma once
// TaskSet: a group of spawned tasks whose ends are collected one by one.
//
// - `spawn` starts a coroutine on the set's executor, each task on its own strand (so that an
//   abort can reach it safely from any thread) and outside the spawner's log spans. A task ends normally, or fails: it returns a
//   std::expected whose error becomes the failure text, or an exception escapes it (text: its
//   what()), or it is aborted.
// - `join_next()` waits for the next task to end and reports how it ended, in the order the
//   tasks ended; it yields std::nullopt when the set holds no task. It is itself cancellable
//   (asio per-operation cancellation, e.g. `||`; it then throws operation_aborted).
// - `abort_all()` requests asio cancellation (terminal) of every task in the set: the
//   operation each task awaits completes with operation_aborted, the exception unwinds the
//   coroutine (running its destructors) and the task ends as aborted. A task that catches the
//   cancellation and returns normally counts as ended normally; a task that never suspends
//   cannot be stopped.
// - Destroying the set aborts the tasks still in it; their results are dropped.
// - Tasks destroyed by the end of their Runtime count as aborted; a set may outlive its runtime.
// - All members are thread-safe; a set is movable, not copyable.
//
// A monitor in this style:
//     while (auto end = co_await tasks.join_next()) {
//       if (!*end) { token.cancel(); break; }          // failed or aborted: (*end).error().text
//       if (!token.is_cancelled()) token.cancel();      // ended early
//     }

#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

namespace velarix::p2p::util {

struct TaskFailure {
  std::string text;      // the failure's text; "task was aborted" for an aborted task
  bool aborted = false;  // ended by abort_all() or the end of the set
};

// How one task ended.
using TaskResult = std::expected<void, TaskFailure>;

namespace detail {
template <class E>
std::string failure_text(const E& e) {
  if constexpr (std::is_convertible_v<const E&, std::string_view>) {
    return std::string(std::string_view(e));
  } else if constexpr (requires { { e.message() } -> std::convertible_to<std::string_view>; }) {
    return std::string(std::string_view(e.message()));
  } else {
    return fmt::format("{}", e);
  }
}
}  // namespace detail

class TaskSet {
 public:
  explicit TaskSet(boost::asio::any_io_executor executor);
  ~TaskSet();
  TaskSet(TaskSet&&) noexcept = default;
  TaskSet& operator=(TaskSet&& other) noexcept;
  TaskSet(const TaskSet&) = delete;
  TaskSet& operator=(const TaskSet&) = delete;

  void spawn(boost::asio::awaitable<void> task);

  // A task whose error value is its failure: the error's text is taken from a string, from
  // its message(), or from its fmt formatting, in that order.
  template <class E>
  void spawn(boost::asio::awaitable<std::expected<void, E>> task) {
    spawn_result(convert(std::move(task)));
  }

  // Waits for the next task to end; std::nullopt when the set holds no task.
  boost::asio::awaitable<std::optional<TaskResult>> join_next();

  // Tasks spawned and not yet collected by join_next().
  std::size_t size() const;
  bool empty() const { return size() == 0; }

  void abort_all();

  struct State;  // internal

 private:
  template <class E>
  static boost::asio::awaitable<TaskResult> convert(boost::asio::awaitable<std::expected<void, E>> task) {
    auto r = co_await std::move(task);
    if (r) co_return TaskResult{};
    co_return std::unexpected(TaskFailure{detail::failure_text(r.error()), false});
  }
  void spawn_result(boost::asio::awaitable<TaskResult> task);

  std::shared_ptr<State> state_;
};

}  // namespace velarix::p2p::util
