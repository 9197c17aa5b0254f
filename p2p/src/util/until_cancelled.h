#pragma once
// until_cancelled: runs a long-lived loop (a packet road) so that a token stops it wherever
// it waits, without racing every wait against the token.
//
// `body` runs as its own coroutine on the caller's executor (the caller's strand), with a
// cancellation slot of its own, inside the caller's spans. When `token` is cancelled, or the caller itself is cancelled
// (a TaskSet abort), that slot is emitted (terminal) on the strand: the operation `body` waits
// on ends with operation_aborted (returned, not thrown, when awaited with as_tuple), and every
// later co_await in `body` throws it, so `body` ends at its next wait at the latest. The
// watch of the token ends with `body`.
//
// Returns when `body` has ended. An exception that escapes `body` while the token is live and
// the caller was not cancelled is rethrown (a fault of `body`); once the token is cancelled it
// is the expected end and is dropped.

#include <boost/asio/awaitable.hpp>

#include "util/cancellation_token.h"

namespace velarix::p2p::util {

boost::asio::awaitable<void> until_cancelled(CancellationToken token, boost::asio::awaitable<void> body);

}  // namespace velarix::p2p::util
