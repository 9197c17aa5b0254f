#pragma once
// Names and small helpers that every file of the super peer uses.

#include <chrono>
#include <cstdint>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/strand.hpp>
#include <fmt/format.h>

#include "message/endpoints.h"

namespace velarix::p2p::superpeer {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;
using IoStrand = asio::strand<asio::io_context::executor_type>;

inline std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

// An IPv4 address seen through a dual-stack IPv6 socket is handed on in its IPv4 form.
inline Endpoint plain_endpoint(const Endpoint& ep) {
  if (ep.address().is_v6() && ep.address().to_v6().is_v4_mapped()) {
    return Endpoint(asio::ip::make_address_v4(asio::ip::v4_mapped, ep.address().to_v6()), ep.port());
  }
  return ep;
}

inline bool usable(const Endpoint& ep) { return ep.port() != 0 && !ep.address().is_unspecified(); }

inline bool is_aborted(const boost::system::error_code& ec) { return ec == asio::error::operation_aborted; }

// "ADDR:PORT", with an IPv6 address in brackets.
template <class Ep>
std::string text(const Ep& ep) {
  const auto a = ep.address();
  return a.is_v6() ? fmt::format("[{}]:{}", a.to_string(), ep.port()) : fmt::format("{}:{}", a.to_string(), ep.port());
}

}  // namespace velarix::p2p::superpeer
