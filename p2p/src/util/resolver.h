#pragma once
// Host-name lookups that never wait for one another.
//
// - `resolve_host` looks a host name up (its IPv4 and IPv6 addresses, in the system's order of
//   preference) on the caller's io_context with c-ares. Every lookup has a channel of its own:
//   it reads the system's configuration when it starts (resolv.conf: servers, search list,
//   options; the hosts file; the order of the two) and sends its queries from sockets of its
//   own. No thread is involved, so a name that is never answered holds nothing but its own
//   sockets, and those only until its deadline; other lookups go on meanwhile.
// - A literal address (IPv4, or IPv6 with an optional zone) is returned at once, without a query.
// - At `deadline` the lookup ends with asio::error::timed_out; when the awaiting operation is
//   cancelled (asio per-operation cancellation, e.g. `||`) it ends with operation_aborted.
//   Either way its queries are dropped and its sockets closed at once, so a late answer is
//   never seen. A lookup still pending when its runtime is destroyed goes with the runtime.
// - A name that is there without an address (an answer without records) gives an empty list.
// - Other failures: host_not_found (no such name), host_not_found_try_again
//   (the servers failed or gave up), invalid_argument (not a host name), no_memory, and
//   no_recovery for anything else.
// - Safe to call from any number of tasks at once.

#include <chrono>
#include <expected>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/error_code.hpp>

namespace velarix::p2p::util {

using ResolveResult = std::expected<std::vector<boost::asio::ip::address>, boost::system::error_code>;

boost::asio::awaitable<ResolveResult> resolve_host(std::string host, std::chrono::steady_clock::time_point deadline);

}  // namespace velarix::p2p::util
