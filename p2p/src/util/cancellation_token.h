#pragma once
// CancellationToken: a shared stop signal with child tokens.
//
// - A token is a cheap, copyable handle; copies share one state.
// - `cancel()` is idempotent and may be called from any thread, also from outside the runtime.
//   It cancels every child (and their children) and completes every pending `cancelled()`.
// - `child_token()` makes a token that is cancelled with its parent, never the reverse. A child
//   made from a cancelled parent starts cancelled. The parent tracks its live children weakly:
//   a dropped child leaves the parent's list at once, so short-lived children do not pile up.
// - `cancelled()` completes when the token is cancelled (at once if it already is). It honours
//   asio per-operation cancellation, so it can be raced against I/O:
//       auto r = co_await (socket.async_receive(buf, use_awaitable) || token.cancelled());
//   The losing wait is removed from the token, not left behind. A cancelled wait throws
//   `boost::system::system_error` (operation_aborted), like every asio awaitable.
//   A wait still pending when the runtime is destroyed is destroyed with it.

#include <memory>

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "util/detail/waiter.h"

namespace velarix::p2p::util {

class CancellationToken {
 public:
  // A new, live root token.
  CancellationToken();

  // A new token cancelled together with this one (see above).
  CancellationToken child_token() const;

  void cancel() const;
  bool is_cancelled() const noexcept;

  // Completes (without error) when the token is cancelled.
  boost::asio::awaitable<void> cancelled() const;

  // The same as an asio asynchronous operation, signature void(error_code): no error when the
  // token is cancelled, operation_aborted when the wait itself is cancelled.
  template <class CompletionToken>
  auto async_wait(CompletionToken&& token) const;

  // Diagnostics: children still alive and tracked, waits pending on this token.
  std::size_t live_children() const;
  std::size_t pending_waits() const;

  // Two handles are equal when they share one state.
  friend bool operator==(const CancellationToken&, const CancellationToken&) = default;

  struct State;  // internal

 private:
  explicit CancellationToken(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

struct CancellationToken::State {
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State();

  void cancel();
  void add_waiter(std::shared_ptr<detail::Waiter<boost::system::error_code>> waiter);
  void abort(const std::shared_ptr<detail::WaiterBase>& waiter);

  std::mutex mutex;
  std::atomic<bool> cancelled{false};
  // Live children, weakly; guarded by `mutex`. Emptied (for good) when cancelled.
  std::list<std::weak_ptr<State>> children;
  detail::WaitList waiters;  // guarded by `mutex`
  // The parent while this token is in its `children`, and the position there (guarded by the
  // parent's mutex).
  std::shared_ptr<State> parent;
  std::list<std::weak_ptr<State>>::iterator position;
};

template <class CompletionToken>
auto CancellationToken::async_wait(CompletionToken&& token) const {
  return boost::asio::async_initiate<CompletionToken, void(boost::system::error_code)>(
      [state = state_](auto handler) {
        state->add_waiter(detail::make_cancellable_waiter<boost::system::error_code>(std::move(handler), state));
      },
      token);
}

inline boost::asio::awaitable<void> CancellationToken::cancelled() const {
  return async_wait(boost::asio::use_awaitable);
}

}  // namespace velarix::p2p::util
