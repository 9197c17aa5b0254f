#pragma once
// RwLock: an asynchronous read-write lock, for state that is held across co_await.
//
// - `co_await lock.read()` / `co_await lock.write()` return RAII guards; the lock is released
//   when the guard is destroyed or `unlock()`ed, also when the coroutine holding it is destroyed.
// - Fair, first come first served, which gives writer preference: while a writer waits, readers
//   that arrive after it wait too. Readers queued together behind a writer enter together.
// - Waits honour asio per-operation cancellation (e.g. `||`, TaskSet aborts); a cancelled wait
//   throws operation_aborted and leaves the queue, so it blocks no one. A grant that never
//   reaches its coroutine (the frame is destroyed first) is released by the guard it carried.
// - All members are thread-safe; guards may be released on any thread. Not re-entrant: a
//   coroutine that holds the lock and waits for it again waits for ever.
// - `RwLocked<T>` is a value reachable only through the lock's guards.

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "util/detail/waiter.h"

namespace velarix::p2p::util {

class RwLock {
 public:
  struct State;

  // Holds the lock shared (Guard<false>) or exclusive (Guard<true>) until destroyed.
  template <bool Exclusive>
  class Guard {
   public:
    Guard() = default;
    Guard(Guard&& other) noexcept : state_(std::move(other.state_)) {}
    Guard& operator=(Guard&& other) noexcept {
      if (this != &other) {
        unlock();
        state_ = std::move(other.state_);
      }
      return *this;
    }
    ~Guard() { unlock(); }

    bool owns_lock() const noexcept { return state_ != nullptr; }
    explicit operator bool() const noexcept { return owns_lock(); }
    void unlock() noexcept {
      if (auto s = std::move(state_)) s->release(Exclusive);
    }

   private:
    friend class RwLock;
    friend struct State;
    explicit Guard(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };
  using ReadGuard = Guard<false>;
  using WriteGuard = Guard<true>;

  RwLock();
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  boost::asio::awaitable<ReadGuard> read();
  boost::asio::awaitable<WriteGuard> write();

  // Without waiting: a guard when the lock can be had at once (a read also not while a writer
  // waits), else an empty guard.
  ReadGuard try_read();
  WriteGuard try_write();

  // Diagnostics: waits queued (including ones cancelled but not yet swept out).
  std::size_t waiting() const;

  template <class CompletionToken>
  auto async_read(CompletionToken&& token) {
    return async_lock<ReadGuard>(std::forward<CompletionToken>(token));
  }
  template <class CompletionToken>
  auto async_write(CompletionToken&& token) {
    return async_lock<WriteGuard>(std::forward<CompletionToken>(token));
  }

  struct State : std::enable_shared_from_this<State> {
    using Grants = std::vector<std::pair<std::shared_ptr<detail::WaiterBase>, bool>>;
    void enqueue(std::shared_ptr<detail::WaiterBase> waiter, bool exclusive);
    void abort(const std::shared_ptr<detail::WaiterBase>& waiter);
    void release(bool exclusive) noexcept;
    // Holding `mutex`: claims the waiters the queue's front lets in, for `post_grants`.
    void grant_locked(Grants& grants);
    void post_grants(Grants& grants);

    std::mutex mutex;
    std::size_t readers = 0;  // guarded by mutex
    bool writer = false;      // guarded by mutex
    detail::WaitList queue;   // guarded by mutex; WaiterBase::tag is 1 for a writer
  };

 private:
  template <class G, class CompletionToken>
  auto async_lock(CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(boost::system::error_code, G)>(
        [state = state_](auto handler) {
          auto waiter = detail::make_cancellable_waiter<boost::system::error_code, G>(std::move(handler), state);
          state->enqueue(std::move(waiter), std::is_same_v<G, WriteGuard>);
        },
        token);
  }

  std::shared_ptr<State> state_;
};

inline boost::asio::awaitable<RwLock::ReadGuard> RwLock::read() { return async_read(boost::asio::use_awaitable); }
inline boost::asio::awaitable<RwLock::WriteGuard> RwLock::write() { return async_write(boost::asio::use_awaitable); }

// A value of type T behind an RwLock.
template <class T>
class RwLocked {
 public:
  template <class Guard, class Ref>
  class Access {
   public:
    Ref& operator*() const noexcept { return *value_; }
    Ref* operator->() const noexcept { return value_; }
    void unlock() noexcept { guard_.unlock(); }

   private:
    friend class RwLocked;
    Access(Guard guard, Ref* value) : guard_(std::move(guard)), value_(value) {}
    Guard guard_;
    Ref* value_;
  };
  using ReadAccess = Access<RwLock::ReadGuard, const T>;
  using WriteAccess = Access<RwLock::WriteGuard, T>;

  template <class... Args>
  explicit RwLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  boost::asio::awaitable<ReadAccess> read() { co_return ReadAccess(co_await lock_.read(), &value_); }
  boost::asio::awaitable<WriteAccess> write() { co_return WriteAccess(co_await lock_.write(), &value_); }

 private:
  RwLock lock_;
  T value_;
};

}  // namespace velarix::p2p::util
