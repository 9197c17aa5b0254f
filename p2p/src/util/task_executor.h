#pragma once
// TaskExecutor: the executor of one task of the runtime. It runs the task's handlers on the
// task's strand (or, for a task that has a lane's thread to itself, on the lane directly) and
// makes the task's span context (util/span.h) the current one of the thread around every
// handler it runs, restoring the one before afterwards. A coroutine resumes only through its
// executor, so its spans follow it across co_await and threads, and two tasks whose handlers
// interleave on one thread each see only their own.
//
// - The executors of one task share a TaskState: its span context, its strand and a reference
//   count. Copying one costs an increment; it fits an any_io_executor without a heap block.
// - A handler costs two thread-local writes and a reference held while it waits; no lock, no
//   allocation beyond what the strand or io_context makes for it anyway.
// - Made by the runtime (make_task_strand, make_task_executor, make_side_executor in
//   util/runtime.h); only io_context executors are wrapped.

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include <boost/asio/detail/strand_executor_service.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>

#include "util/log.h"

namespace velarix::p2p::util {

namespace detail {

// What the executors of one task share. `parent`, when set, is the TaskState of the task that
// awaits this one (held by a reference), whose spans enclose this task's lines.
struct TaskState : log::SpanContext {
  // The strand the task's handlers run on; empty for a task with a thread to itself (a lane).
  boost::asio::detail::strand_executor_service::implementation_type strand;
  std::atomic<std::uint32_t> refs{1};

  ~TaskState();
};

inline void retain(TaskState* state) noexcept { state->refs.fetch_add(1, std::memory_order_relaxed); }
inline void release(TaskState* state) noexcept {
  if (state->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete state;
}

inline TaskState::~TaskState() {
  if (parent != nullptr) release(static_cast<TaskState*>(parent));
}

// One handler of the task: run with the task's spans current.
template <class F>
class Resume {
 public:
  template <class G>
  Resume(TaskState* state, G&& f) : state_(state), f_(std::forward<G>(f)) {
    retain(state_);
  }
  Resume(Resume&& other) noexcept(std::is_nothrow_move_constructible_v<F>)
      : state_(std::exchange(other.state_, nullptr)), f_(std::move(other.f_)) {}
  Resume(const Resume&) = delete;
  Resume& operator=(const Resume&) = delete;
  Resume& operator=(Resume&&) = delete;
  ~Resume() {
    if (state_ != nullptr) release(state_);
  }

  void operator()() {
    struct Restore {
      log::SpanContext* was;
      ~Restore() { log::detail::t_task = was; }
    } restore{log::detail::t_task};
    log::detail::t_task = state_;
    std::move(f_)();
  }

 private:
  TaskState* state_;
  F f_;
};

}  // namespace detail

template <class Inner>
class TaskExecutor {
 public:
  // Takes over one reference to `state`.
  TaskExecutor(Inner inner, detail::TaskState* state) noexcept : inner_(std::move(inner)), state_(state) {}
  TaskExecutor(const TaskExecutor& other) noexcept : inner_(other.inner_), state_(other.state_) {
    if (state_ != nullptr) detail::retain(state_);
  }
  TaskExecutor(TaskExecutor&& other) noexcept
      : inner_(std::move(other.inner_)), state_(std::exchange(other.state_, nullptr)) {}
  TaskExecutor& operator=(const TaskExecutor& other) noexcept {
    TaskExecutor copy(other);
    swap(copy);
    return *this;
  }
  TaskExecutor& operator=(TaskExecutor&& other) noexcept {
    TaskExecutor moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~TaskExecutor() {
    if (state_ != nullptr) detail::release(state_);
  }

  const Inner& inner_executor() const noexcept { return inner_; }
  detail::TaskState* state() const noexcept { return state_; }

  template <class Property>
    requires boost::asio::can_query<const Inner&, Property>::value
  auto query(const Property& p) const noexcept(boost::asio::is_nothrow_query<const Inner&, Property>::value)
      -> typename boost::asio::query_result<const Inner&, Property>::type {
    return boost::asio::query(inner_, p);
  }

  // As a strand: never blocking.always.
  template <class Property>
    requires(boost::asio::can_require<const Inner&, Property>::value &&
             !std::is_convertible_v<Property, boost::asio::execution::blocking_t::always_t>)
  auto require(const Property& p) const
      -> TaskExecutor<std::decay_t<typename boost::asio::require_result<const Inner&, Property>::type>> {
    detail::retain(state_);
    return {boost::asio::require(inner_, p), state_};
  }

  template <class Property>
    requires(boost::asio::can_prefer<const Inner&, Property>::value &&
             !std::is_convertible_v<Property, boost::asio::execution::blocking_t::always_t>)
  auto prefer(const Property& p) const
      -> TaskExecutor<std::decay_t<typename boost::asio::prefer_result<const Inner&, Property>::type>> {
    detail::retain(state_);
    return {boost::asio::prefer(inner_, p), state_};
  }

  template <class F>
  void execute(F&& f) const {
    detail::Resume<std::decay_t<F>> resume(state_, std::forward<F>(f));
    if (state_->strand) {
      // What strand<Inner>::execute does, with the strand kept in the task's state.
      boost::asio::detail::strand_executor_service::execute(state_->strand, const_cast<Inner&>(inner_),
                                                            std::move(resume));
    } else {
      inner_.execute(std::move(resume));
    }
  }

  friend bool operator==(const TaskExecutor& a, const TaskExecutor& b) noexcept {
    return a.state_ == b.state_ && a.inner_ == b.inner_;
  }
  friend bool operator!=(const TaskExecutor& a, const TaskExecutor& b) noexcept { return !(a == b); }

 private:
  template <class>
  friend class TaskExecutor;

  void swap(TaskExecutor& other) noexcept {
    std::swap(inner_, other.inner_);
    std::swap(state_, other.state_);
  }

  Inner inner_;
  detail::TaskState* state_;
};

}  // namespace velarix::p2p::util
