#include "util/task_set.h"

#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "util/detail/waiter.h"
#include "util/runtime.h"

namespace velarix::p2p::util {

namespace {

// One running task: its strand and the signal that aborts it. The signal is touched only on
// the strand: by co_spawn when the task starts, and by an abort.
struct Entry {
  explicit Entry(const boost::asio::any_io_executor& executor) : strand(make_task_strand(executor)) {}
  boost::asio::any_io_executor strand;
  boost::asio::cancellation_signal signal;
  std::atomic<bool> aborted{false};
};

using Signature = boost::system::error_code;

}  // namespace

struct TaskSet::State : std::enable_shared_from_this<State> {
  explicit State(boost::asio::any_io_executor ex) : executor(std::move(ex)) {}

  void finish(std::uint64_t id, TaskResult result);
  void abort_all();
  void add_waiter(std::shared_ptr<detail::Waiter<Signature>> waiter);
  void abort(const std::shared_ptr<detail::WaiterBase>& waiter) { detail::abort_waiter(mutex, joiners, waiter); }
  // True when join_next has something to report; holds `mutex`.
  bool ready() const { return !ended.empty() || running.empty(); }

  template <class CompletionToken>
  auto async_wait(CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(Signature)>(
        [self = shared_from_this()](auto handler) {
          self->add_waiter(detail::make_cancellable_waiter<Signature>(std::move(handler), self));
        },
        token);
  }

  boost::asio::any_io_executor executor;
  mutable std::mutex mutex;
  std::uint64_t next_id = 0;
  std::unordered_map<std::uint64_t, std::shared_ptr<Entry>> running;  // guarded by mutex
  std::deque<TaskResult> ended;                                       // guarded by mutex
  detail::WaitList joiners;                                           // guarded by mutex
};

void TaskSet::State::finish(std::uint64_t id, TaskResult result) {
  detail::WaitList::List woken;
  {
    std::lock_guard lock(mutex);
    running.erase(id);
    ended.push_back(std::move(result));
    woken = joiners.take_all();
  }
  for (auto& w : woken) {
    if (w->claim()) static_cast<detail::Waiter<Signature>&>(*w).post({});
  }
}

void TaskSet::State::abort_all() {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    std::lock_guard lock(mutex);
    entries.reserve(running.size());
    for (auto& [id, entry] : running) entries.push_back(entry);
  }
  for (auto& entry : entries) {
    if (entry->aborted.exchange(true)) continue;
    boost::asio::post(entry->strand, [entry] { entry->signal.emit(boost::asio::cancellation_type::terminal); });
  }
}

void TaskSet::State::add_waiter(std::shared_ptr<detail::Waiter<Signature>> waiter) {
  {
    std::lock_guard lock(mutex);
    if (!ready()) {
      if (!waiter->claimed()) joiners.push(std::move(waiter));
      return;
    }
  }
  waiter->complete({});
}

// The io_context's own executor when it can be reached: it holds no reference that would have
// to be released while the context still exists.
TaskSet::TaskSet(boost::asio::any_io_executor executor)
    : state_(std::make_shared<State>(context_executor(executor))) {}

TaskSet::~TaskSet() {
  if (state_) state_->abort_all();
}

TaskSet& TaskSet::operator=(TaskSet&& other) noexcept {
  if (this != &other) {
    if (state_) state_->abort_all();
    state_ = std::move(other.state_);
  }
  return *this;
}

void TaskSet::spawn(boost::asio::awaitable<void> task) {
  spawn_result([](boost::asio::awaitable<void> t) -> boost::asio::awaitable<TaskResult> {
    co_await std::move(t);
    co_return TaskResult{};
  }(std::move(task)));
}

namespace {

// Reports one task's end to its set exactly once: with its outcome when it completes, or as
// aborted when it is destroyed without completing (the runtime ended under it). It travels
// with the task: in its start, then in its completion handler.
class Reporter {
 public:
  Reporter(std::shared_ptr<TaskSet::State> state, std::shared_ptr<Entry> entry, std::uint64_t id)
      : state_(std::move(state)), entry_(std::move(entry)), id_(id) {}
  Reporter(Reporter&&) noexcept = default;
  Reporter& operator=(Reporter&&) = delete;
  ~Reporter() {
    if (state_) report(std::unexpected(TaskFailure{"task was aborted", true}));
  }

  void report(TaskResult result) {
    auto state = std::move(state_);
    entry_.reset();
    state->finish(id_, std::move(result));
  }
  const std::shared_ptr<Entry>& entry() const { return entry_; }

 private:
  std::shared_ptr<TaskSet::State> state_;
  std::shared_ptr<Entry> entry_;
  std::uint64_t id_;
};

}  // namespace

void TaskSet::spawn_result(boost::asio::awaitable<TaskResult> task) {
  auto entry = std::make_shared<Entry>(state_->executor);
  std::uint64_t id;
  {
    std::lock_guard lock(state_->mutex);
    id = state_->next_id++;
    state_->running.emplace(id, entry);
  }
  // The task starts on its strand, where an abort also emits its signal. An abort that comes
  // before the start finds the flag set and the task never starts.
  auto start = [reporter = Reporter(state_, entry, id), task = std::move(task)]() mutable {
    auto entry = reporter.entry();
    if (entry->aborted.load()) return;  // the reporter reports it aborted
    boost::asio::co_spawn(
        entry->strand, std::move(task),
        boost::asio::bind_cancellation_slot(
            entry->signal.slot(), [reporter = std::move(reporter)](std::exception_ptr e, TaskResult result) mutable {
              if (e) {
                const bool aborted = reporter.entry()->aborted.load();
                result = std::unexpected(TaskFailure{aborted ? "task was aborted" : detail::describe(e), aborted});
              }
              reporter.report(std::move(result));
            }));
  };
  boost::asio::post(entry->strand, std::move(start));
}

boost::asio::awaitable<std::optional<TaskResult>> TaskSet::join_next() {
  auto state = state_;
  for (;;) {
    {
      std::lock_guard lock(state->mutex);
      if (!state->ended.empty()) {
        auto result = std::move(state->ended.front());
        state->ended.pop_front();
        co_return result;
      }
      if (state->running.empty()) co_return std::nullopt;
    }
    co_await state->async_wait(boost::asio::use_awaitable);
  }
}

std::size_t TaskSet::size() const {
  if (!state_) return 0;
  std::lock_guard lock(state_->mutex);
  return state_->running.size() + state_->ended.size();
}

void TaskSet::abort_all() {
  if (state_) state_->abort_all();
}

}  // namespace velarix::p2p::util
