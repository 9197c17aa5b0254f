#include "util/until_cancelled.h"

#include <exception>
#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/runtime.h"

namespace velarix::p2p::util {

namespace asio = boost::asio;

namespace {

// Touched only on the caller's strand.
struct Signals {
  asio::cancellation_signal body;   // cancels what `body` waits on
  asio::cancellation_signal watch;  // ends the watch of the token
  bool body_ended = false;
  bool cancelled = false;
};

// Installed in the caller's own slot: an abort of the caller reaches `body`.
struct ForwardCancellation {
  std::weak_ptr<Signals> signals;
  void operator()(asio::cancellation_type_t type) const {
    auto s = signals.lock();
    if (!s || s->body_ended || type == asio::cancellation_type::none) return;
    s->cancelled = true;
    s->body.emit(asio::cancellation_type::terminal);
  }
};

asio::awaitable<void> watch(CancellationToken token, std::shared_ptr<Signals> s) {
  auto [ec] = co_await token.async_wait(asio::bind_cancellation_slot(s->watch.slot(), asio::as_tuple(asio::use_awaitable)));
  if (ec || s->body_ended) co_return;
  s->cancelled = true;
  s->body.emit(asio::cancellation_type::terminal);
}

}  // namespace

asio::awaitable<void> until_cancelled(CancellationToken token, asio::awaitable<void> body) {
  auto executor = co_await asio::this_coro::executor;
  auto signals = std::make_shared<Signals>();
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  asio::cancellation_slot own = state.slot();
  if (own.is_connected()) own.template emplace<ForwardCancellation>(ForwardCancellation{signals});

  asio::co_spawn(make_side_executor(executor), watch(token, signals), asio::detached);
  auto [failure] = co_await asio::co_spawn(
      make_side_executor(executor), std::move(body),
      asio::bind_cancellation_slot(signals->body.slot(), asio::as_tuple(asio::use_awaitable)));

  signals->body_ended = true;
  if (own.is_connected()) own.clear();
  signals->watch.emit(asio::cancellation_type::terminal);
  if (failure && !signals->cancelled && !token.is_cancelled()) std::rethrow_exception(failure);
}

}  // namespace velarix::p2p::util
