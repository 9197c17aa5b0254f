#pragma once
// Channel<T>: a bounded multi-producer multi-consumer channel between tasks.
//
// - `try_send` never waits: it fails with ChannelError Full ("sending on a full channel") or
//   Closed ("sending on a closed channel"). A value goes straight to a waiting receiver when
//   there is one, else into the buffer. With capacity 0 the channel is a rendezvous: an offer
//   succeeds only while a receiver waits.
// - `receive()` returns the next value, at once when one is buffered; otherwise it waits. Each
//   value goes to exactly one receiver; waiting receivers are served first come first served.
//   It returns Closed once the channel is closed and drained, and Cancelled when the wait
//   itself is cancelled (asio per-operation cancellation: `||`, a TaskSet abort). Errors are
//   returned, not thrown; a coroutine whose cancellation was requested before it called
//   receive() gets operation_aborted thrown by co_await, as with every asio operation.
//   `try_receive` takes a buffered value without waiting.
// - An offer made on a thread where a receiver waits goes to that receiver (it runs once the
//   producer suspends, without waking another thread); otherwise to the longest waiting one.
//   Tasks that share a thread (a lane) thus hand values to each other without a wake-up.
// - `close()` is idempotent: later offers fail with Closed; receivers still get the values
//   buffered before the close, then Closed.
// - All members are thread-safe; share the channel (e.g. through a shared_ptr) between its
//   producers and consumers. A receive still waiting when the Runtime is destroyed is destroyed
//   with it.
//
// Why not boost::asio::experimental::concurrent_channel, as the design note suggests: in Boost
// 1.81 cancelling the last waiting receiver of an empty buffered channel leaves it refusing
// every try_send (its cancel_by_key sets the send state to "block" instead of "buffer") until a
// receiver waits again, so a `receive() || timer` loop would make offers fail as "full" at
// random. Its close() also drops buffered values. This small channel is built on the same
// waiters as the token and the lock instead.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/channel_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "util/detail/waiter.h"

namespace velarix::p2p::util {

struct ChannelError {
  enum class Kind : std::uint8_t {
    Full,       // try_send: no room and no waiting receiver
    Closed,     // the channel is closed (and, for receive, drained)
    Cancelled,  // receive: the wait was cancelled
  };
  Kind kind;
  // Closed reads "sending on a closed channel" from try_send, "receiving on a closed channel"
  // from receive.
  bool on_send = true;

  std::string_view message() const noexcept {
    switch (kind) {
      case Kind::Full:
        return "sending on a full channel";
      case Kind::Closed:
        return on_send ? "sending on a closed channel" : "receiving on a closed channel";
      case Kind::Cancelled:
        return "receiving was cancelled";
    }
    return "channel error";
  }
  friend bool operator==(const ChannelError& a, const ChannelError& b) { return a.kind == b.kind; }
};

namespace detail {

// The buffer of a channel: a ring that grows by doubling up to the channel's capacity and
// never shrinks, so that a channel in steady use queues values without allocating.
template <class T>
class Ring {
 public:
  explicit Ring(std::size_t limit) : limit_(limit) {}

  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }
  T& front() noexcept { return *slots_[head_]; }

  // The caller checks size() against the channel's capacity first.
  void push_back(T&& value) {
    if (count_ == slots_.size()) grow();
    slots_[(head_ + count_) % slots_.size()].emplace(std::move(value));
    ++count_;
  }
  void pop_front() noexcept {
    slots_[head_].reset();
    head_ = (head_ + 1) % slots_.size();
    --count_;
  }

 private:
  void grow() {
    std::size_t size = slots_.empty() ? 8 : slots_.size() * 2;
    if (size > limit_) size = limit_;
    std::vector<std::optional<T>> bigger(size);
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(bigger);
    head_ = 0;
  }

  std::size_t limit_;
  std::vector<std::optional<T>> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace detail

template <class T>
class Channel {
 public:
  using Item = T;

  explicit Channel(std::size_t capacity) : state_(std::make_shared<State>(capacity)) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  std::expected<void, ChannelError> try_send(T value) { return state_->try_send(std::move(value)); }

  // The next buffered value, never waiting: nothing when the buffer is empty.
  std::optional<T> try_receive() { return state_->try_receive(); }

  boost::asio::awaitable<std::expected<T, ChannelError>> receive() {
    if (auto now = state_->try_receive()) co_return std::move(*now);
    auto [ec, value] = co_await async_receive(boost::asio::as_tuple(boost::asio::use_awaitable));
    if (!ec) co_return std::move(*value);
    if (ec == boost::asio::error::operation_aborted) co_return std::unexpected(ChannelError{ChannelError::Kind::Cancelled, false});
    co_return std::unexpected(ChannelError{ChannelError::Kind::Closed, false});
  }

  // The asio form of receive: signature void(error_code, std::optional<T>); the error is
  // operation_aborted when cancelled, experimental::error::channel_closed when closed and drained.
  template <class CompletionToken>
  auto async_receive(CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(boost::system::error_code, std::optional<T>)>(
        [state = state_](auto handler) {
          state->start_receive(
              detail::make_cancellable_waiter<boost::system::error_code, std::optional<T>>(std::move(handler), state));
        },
        token);
  }

  void close() { state_->close(); }
  bool is_open() const {
    std::lock_guard lock(state_->mutex);
    return !state_->closed;
  }
  std::size_t capacity() const noexcept { return state_->capacity; }
  // Receivers waiting now.
  std::size_t waiting() const {
    std::lock_guard lock(state_->mutex);
    return state_->receivers.live();
  }
  // Values buffered now.
  std::size_t size() const {
    std::lock_guard lock(state_->mutex);
    return state_->buffer.size();
  }

  struct State {
    using ReceiveWaiter = detail::Waiter<boost::system::error_code, std::optional<T>>;

    explicit State(std::size_t cap) : capacity(cap), buffer(cap) {}

    std::expected<void, ChannelError> try_send(T&& value) {
      std::shared_ptr<detail::WaiterBase> receiver;
      {
        std::lock_guard lock(mutex);
        if (closed) return std::unexpected(ChannelError{ChannelError::Kind::Closed});
        // Waiting receivers mean an empty buffer: hand the value to one that waits on this
        // thread (it runs once the producer suspends, and no other thread is woken), else to
        // the first live one.
        while (auto w = receivers.take_live_on_this_thread()) {
          if (w->claim()) {
            receiver = std::move(w);
            break;
          }
        }
        while (!receiver && receivers.front() != nullptr) {
          auto w = receivers.pop_front();
          if (w->claim()) {
            receiver = std::move(w);
            break;
          }
        }
        if (!receiver) {
          if (buffer.size() >= capacity) return std::unexpected(ChannelError{ChannelError::Kind::Full});
          buffer.push_back(std::move(value));
          return {};
        }
      }
      // The producer goes on with its next item or waits: the receiver may run
      // after it on this thread rather than wake another one.
      static_cast<ReceiveWaiter&>(*receiver).defer({}, std::optional<T>(std::move(value)));
      return {};
    }

    std::optional<T> try_receive() {
      std::lock_guard lock(mutex);
      if (buffer.empty()) return std::nullopt;
      T value = std::move(buffer.front());
      buffer.pop_front();
      return value;
    }

    void start_receive(std::shared_ptr<ReceiveWaiter> waiter) {
      std::optional<T> value;
      boost::system::error_code ec;
      {
        std::lock_guard lock(mutex);
        if (buffer.empty() && !closed) {
          if (!waiter->claimed()) receivers.push(std::move(waiter));
          return;
        }
        if (!waiter->claim()) return;
        if (buffer.empty()) {
          ec = boost::asio::experimental::error::channel_closed;
        } else {
          value.emplace(std::move(buffer.front()));
          buffer.pop_front();
        }
      }
      waiter->post(ec, std::move(value));
    }

    void close() {
      detail::WaitList::List woken;
      {
        std::lock_guard lock(mutex);
        if (closed) return;
        closed = true;
        woken = receivers.take_all();  // waiting receivers mean an empty buffer
      }
      for (auto& w : woken) {
        if (w->claim()) static_cast<ReceiveWaiter&>(*w).post(boost::asio::experimental::error::channel_closed, std::nullopt);
      }
    }

    void abort(const std::shared_ptr<detail::WaiterBase>& waiter) { detail::abort_waiter(mutex, receivers, waiter); }

    const std::size_t capacity;
    mutable std::mutex mutex;
    detail::Ring<T> buffer;      // guarded by mutex
    bool closed = false;         // guarded by mutex
    detail::WaitList receivers;  // guarded by mutex
  };

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velarix::p2p::util
