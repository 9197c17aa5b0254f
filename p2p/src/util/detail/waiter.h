#pragma once
// Internal to the asynchronous spine: a pending wait of a token, a task set or a lock.
//
// A waiter holds one type-erased completion handler. Exactly one party gets to act on it,
// the one whose `claim()` succeeds: the primitive completing it, a cancellation request
// (`abort`), or the shut-down of its execution context. Completion is always posted to the
// handler's associated executor, never run inline in the caller.
//
// Every live waiter is also registered with a service of its handler's execution context. When
// the context is destroyed (the Runtime ends), the service destroys the handlers still
// waiting, and with them the suspended coroutine frames, instead of leaking them or later
// completing them on a dead context.
//
// `WaitList` is the FIFO a primitive keeps its waiters in; it is guarded by the primitive's
// own mutex and erases a given waiter in constant time.

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/query.hpp>
#include <boost/system/error_code.hpp>

namespace velarix::p2p::util::detail {

class WaitService;
class WaitList;

class WaiterBase {
 public:
  WaiterBase() = default;
  WaiterBase(const WaiterBase&) = delete;
  WaiterBase& operator=(const WaiterBase&) = delete;
  virtual ~WaiterBase() = default;

  // True exactly once, for the party that completes or drops this waiter.
  bool claim() noexcept { return !claimed_.exchange(true, std::memory_order_acq_rel); }
  bool claimed() const noexcept { return claimed_.load(std::memory_order_acquire); }

  // After a successful claim: posts the handler with `operation_aborted` (and default values).
  virtual void post_aborted() = 0;

  // Free for the owning primitive (e.g. reader or writer).
  int tag = 0;
  // The thread that began the wait: where its task runs (for a task on a lane, always).
  const std::thread::id thread = std::this_thread::get_id();

 protected:
  // After a successful claim: leaves the service's registry. The caller holds a reference.
  void unregister() noexcept;
  // After a successful claim: destroys the handler without calling it.
  virtual void drop_handler() noexcept = 0;

 private:
  friend class WaitService;
  friend class WaitList;
  std::atomic<bool> claimed_{false};
  WaitService* service_ = nullptr;
  std::list<std::shared_ptr<WaiterBase>>::iterator service_pos_;  // guarded by the service
  bool in_service_ = false;                                       // guarded by the service
  std::list<std::shared_ptr<WaiterBase>>::iterator owner_pos_;    // guarded by the owner
  WaitList* owner_ = nullptr;                                     // guarded by the owner
};

// One per execution context: destroys the handlers still waiting when the context shuts down.
class WaitService final : public boost::asio::execution_context::service {
 public:
  using key_type = WaitService;
  static inline boost::asio::execution_context::id id;

  explicit WaitService(boost::asio::execution_context& context);
  ~WaitService() override;

  // Registers `waiter`; when the context has already shut down, drops its handler at once.
  void add(const std::shared_ptr<WaiterBase>& waiter);
  void remove(WaiterBase& waiter) noexcept;

 private:
  void shutdown() override;

  std::mutex mutex_;
  std::list<std::shared_ptr<WaiterBase>> waiters_;
  bool shut_down_ = false;
};

inline void WaiterBase::unregister() noexcept {
  if (service_ != nullptr) service_->remove(*this);
}

template <class... Args>
class Waiter final : public WaiterBase {
 public:
  using Handler = boost::asio::any_completion_handler<void(Args...)>;

  Waiter(Handler handler, boost::asio::any_io_executor executor)
      : handler_(std::move(handler)), executor_(std::move(executor)) {}

  // After a successful claim: posts the handler with `args` to its associated executor.
  void post(Args... args) {
    unregister();
    auto executor = std::exchange(executor_, boost::asio::any_io_executor());
    boost::asio::post(executor, [h = std::move(handler_), ... a = std::move(args)]() mutable { std::move(h)(std::move(a)...); });
  }

  // As post, as a continuation of the caller: on a thread of the handler's
  // execution context the handler runs on that same thread once the caller's
  // handler returns, instead of waking another thread. For hand-offs where the
  // caller is about to wait itself (a channel's producer between two items).
  void defer(Args... args) {
    unregister();
    auto executor = std::exchange(executor_, boost::asio::any_io_executor());
    boost::asio::defer(executor, [h = std::move(handler_), ... a = std::move(args)]() mutable { std::move(h)(std::move(a)...); });
  }

  // Claims and posts; false when someone else claimed first.
  bool complete(Args... args) {
    if (!claim()) return false;
    post(std::move(args)...);
    return true;
  }

  void post_aborted() override { post_aborted_impl(std::index_sequence_for<Args...>{}); }

 private:
  template <std::size_t... I>
  void post_aborted_impl(std::index_sequence<I...>) {
    post(aborted_arg<Args, I>()...);
  }
  template <class A, std::size_t I>
  static A aborted_arg() {
    if constexpr (I == 0) {
      return boost::asio::error::operation_aborted;
    } else {
      return A{};
    }
  }

  // The executor goes too: the waiter may outlive its execution context (it stays in the list of
  // a token or lock), and a strand must not be released after its context is gone.
  void drop_handler() noexcept override {
    Handler dropped = std::move(handler_);
    auto executor = std::exchange(executor_, boost::asio::any_io_executor());
  }

  Handler handler_;
  // The handler's associated executor, kept apart: any_completion_executor cannot be posted to
  // directly in Boost 1.81.
  boost::asio::any_io_executor executor_;
};

// Creates a waiter for `handler` and registers it with its execution context's service.
template <class... Args, class Handler>
std::shared_ptr<Waiter<Args...>> make_waiter(Handler&& handler) {
  boost::asio::any_io_executor executor = boost::asio::get_associated_executor(handler);
  auto& context = boost::asio::query(executor, boost::asio::execution::context);
  auto waiter = std::make_shared<Waiter<Args...>>(
      typename Waiter<Args...>::Handler(std::forward<Handler>(handler)), executor);
  boost::asio::use_service<WaitService>(context).add(waiter);
  return waiter;
}

// FIFO of waiters; every call must hold the owning primitive's mutex.
class WaitList {
 public:
  using List = std::list<std::shared_ptr<WaiterBase>>;

  WaitList() = default;
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;
  ~WaitList() { detach(list_); }

  void push(std::shared_ptr<WaiterBase> waiter) {
    auto* raw = waiter.get();
    list_.push_back(std::move(waiter));
    raw->owner_pos_ = std::prev(list_.end());
    raw->owner_ = this;
  }
  // Removes `waiter` when it is in this list.
  bool erase(WaiterBase& waiter) noexcept {
    if (waiter.owner_ != this) return false;
    waiter.owner_ = nullptr;
    list_.erase(waiter.owner_pos_);
    return true;
  }
  // Drops claimed (dead) waiters from the front; then the first live one, or null.
  WaiterBase* front() noexcept {
    while (!list_.empty() && list_.front()->claimed()) pop_front();
    return list_.empty() ? nullptr : list_.front().get();
  }
  // Takes out the first live waiter that began on the calling thread, or gives null.
  std::shared_ptr<WaiterBase> take_live_on_this_thread() noexcept {
    const auto self = std::this_thread::get_id();
    for (auto it = list_.begin(); it != list_.end(); ++it) {
      if ((*it)->thread != self || (*it)->claimed()) continue;
      auto waiter = std::move(*it);
      list_.erase(it);
      waiter->owner_ = nullptr;
      return waiter;
    }
    return nullptr;
  }
  std::shared_ptr<WaiterBase> pop_front() noexcept {
    auto waiter = std::move(list_.front());
    list_.pop_front();
    waiter->owner_ = nullptr;
    return waiter;
  }
  // Takes every waiter out, for completion after the owner's mutex is released.
  List take_all() noexcept {
    List taken;
    taken.swap(list_);
    detach(taken);
    return taken;
  }
  bool empty() const noexcept { return list_.empty(); }
  // Waiters not yet claimed.
  std::size_t live() const noexcept {
    std::size_t n = 0;
    for (const auto& w : list_) n += w->claimed() ? 0 : 1;
    return n;
  }
  std::size_t size() const noexcept { return list_.size(); }

 private:
  static void detach(List& list) noexcept {
    for (auto& w : list) w->owner_ = nullptr;
  }
  List list_;
};

// Cancellation-slot handler of a waiter: `Owner::abort(waiter)` removes it from the owner's
// list and completes it with `operation_aborted`. Holds weak references only, so a stale
// handler left in a slot after completion is harmless.
template <class Owner>
struct AbortWaiter {
  std::weak_ptr<Owner> owner;
  std::weak_ptr<WaiterBase> waiter;

  void operator()(boost::asio::cancellation_type_t type) const {
    if (type == boost::asio::cancellation_type::none) return;
    auto w = waiter.lock();
    if (!w) return;
    if (auto o = owner.lock()) {
      o->abort(w);
    } else if (w->claim()) {
      w->post_aborted();
    }
  }
};

// Creates a registered waiter for `handler` whose cancellation slot, when it has one, aborts
// it through `owner`.
template <class... Args, class Owner, class Handler>
std::shared_ptr<Waiter<Args...>> make_cancellable_waiter(Handler&& handler,
                                                         const std::shared_ptr<Owner>& owner) {
  auto slot = boost::asio::get_associated_cancellation_slot(handler);
  auto waiter = make_waiter<Args...>(std::forward<Handler>(handler));
  if (slot.is_connected()) slot.template emplace<AbortWaiter<Owner>>(AbortWaiter<Owner>{owner, waiter});
  return waiter;
}

// The usual `abort` of an owner whose waiters are guarded by `mutex` and kept in `list`.
inline void abort_waiter(std::mutex& mutex, WaitList& list, const std::shared_ptr<WaiterBase>& waiter) {
  bool mine;
  {
    std::lock_guard lock(mutex);
    list.erase(*waiter);
    mine = waiter->claim();
  }
  if (mine) waiter->post_aborted();
}

}  // namespace velarix::p2p::util::detail
