#pragma once
// Host addresses, socket-address helpers, clocks and log formatting of network
// values for the node runtime.

#include <cstdint>
#include <expected>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <fmt/format.h>

#include "identity/identity.h"
#include "node/short_id.h"

namespace velarix::p2p::util {

// Wall-clock microseconds since the Unix epoch.
std::uint64_t now_us() noexcept;
// The same from the kernel's coarse clock: a few milliseconds behind at most,
// but far cheaper; used for traffic marks on the packet roads.
std::uint64_t coarse_now_us() noexcept;

namespace net {

using InterfaceAddr = std::pair<std::string, boost::asio::ip::address>;

// Every address of every interface that is up (getifaddrs), as (interface
// name, address), IPv6 link-local ones with their scope id.
std::expected<std::vector<InterfaceAddr>, std::error_code> get_addrs();

// Splits "HOST:PORT" (an IPv6 HOST in brackets, which go); false when the port is missing, is
// not a number up to 65535, or a bare IPv6 address leaves it unclear.
bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port);

// An IP network: the addresses whose first `prefix_len` bits are those of `addr`.
struct IpNetwork {
  boost::asio::ip::address addr;
  std::uint8_t prefix_len = 0;

  // Same family and the same leading bits; a prefix longer than the address counts as all of it.
  bool contains(const boost::asio::ip::address& ip) const noexcept;
  friend bool operator==(const IpNetwork&, const IpNetwork&) = default;
};

// `ips` without the addresses that lie inside one of `networks`, in order.
std::vector<boost::asio::ip::address> outside_of(const std::vector<boost::asio::ip::address>& ips,
                                                 const std::vector<IpNetwork>& networks);

// Family, address and port; IPv6 also flow information and scope id.
bool same_socket_addr(const boost::asio::ip::udp::endpoint& a, const boost::asio::ip::udp::endpoint& b) noexcept;

std::string to_string(const boost::asio::ip::udp::endpoint& ep);
std::string to_string(const boost::asio::ip::tcp::endpoint& ep);

}  // namespace net
}  // namespace velarix::p2p::util

// Log formatting, evaluated only when the event's level is enabled.
template <>
struct fmt::formatter<boost::asio::ip::udp::endpoint> : fmt::formatter<std::string_view> {
  auto format(const boost::asio::ip::udp::endpoint& ep, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(velarix::p2p::util::net::to_string(ep), ctx);
  }
};
template <>
struct fmt::formatter<boost::asio::ip::tcp::endpoint> : fmt::formatter<std::string_view> {
  auto format(const boost::asio::ip::tcp::endpoint& ep, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(velarix::p2p::util::net::to_string(ep), ctx);
  }
};
template <>
struct fmt::formatter<boost::asio::ip::address> : fmt::formatter<std::string_view> {
  auto format(const boost::asio::ip::address& a, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(a.to_string(), ctx);
  }
};
template <>
struct fmt::formatter<velarix::p2p::PubKey> : fmt::formatter<std::string_view> {
  auto format(const velarix::p2p::PubKey& k, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(k.to_string(), ctx);
  }
};
template <>
struct fmt::formatter<velarix::p2p::ShortId> : fmt::formatter<std::string_view> {
  auto format(const velarix::p2p::ShortId& id, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(id.to_string(), ctx);
  }
};
