#include "util/net.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

namespace velarix::p2p::util {

namespace {
std::uint64_t clock_us(clockid_t id) noexcept {
  timespec ts{};
  ::clock_gettime(id, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}
}  // namespace

std::uint64_t now_us() noexcept { return clock_us(CLOCK_REALTIME); }
std::uint64_t coarse_now_us() noexcept { return clock_us(CLOCK_REALTIME_COARSE); }

namespace net {

std::expected<std::vector<InterfaceAddr>, std::error_code> get_addrs() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::unexpected(std::error_code(errno, std::system_category()));
  std::vector<InterfaceAddr> out;
  for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || (it->ifa_flags & IFF_UP) == 0) continue;
    const char* name = it->ifa_name != nullptr ? it->ifa_name : "";
    if (it->ifa_addr->sa_family == AF_INET) {
      sockaddr_in sin{};
      std::memcpy(&sin, it->ifa_addr, sizeof sin);
      out.emplace_back(name, boost::asio::ip::address_v4(ntohl(sin.sin_addr.s_addr)));
    } else if (it->ifa_addr->sa_family == AF_INET6) {
      sockaddr_in6 sin6{};
      std::memcpy(&sin6, it->ifa_addr, sizeof sin6);
      boost::asio::ip::address_v6::bytes_type bytes{};
      std::memcpy(bytes.data(), sin6.sin6_addr.s6_addr, bytes.size());
      out.emplace_back(name, boost::asio::ip::address_v6(bytes, sin6.sin6_scope_id));
    }
  }
  ::freeifaddrs(list);
  return out;
}

bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  const std::string_view digits = std::string_view(text).substr(colon + 1);
  if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  unsigned value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (value > 65535) return false;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // a bare IPv6 address needs brackets
  }
  if (host.empty()) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

namespace {
// The first `bits` bits of two address byte strings of one length.
template <std::size_t N>
bool same_leading_bits(const std::array<unsigned char, N>& a, const std::array<unsigned char, N>& b,
                       unsigned bits) noexcept {
  if (bits > N * 8) bits = N * 8;
  const std::size_t whole = bits / 8;
  if (std::memcmp(a.data(), b.data(), whole) != 0) return false;
  if (bits % 8 == 0) return true;
  const auto mask = static_cast<unsigned char>(0xff << (8 - bits % 8));
  return (a[whole] & mask) == (b[whole] & mask);
}
}  // namespace

bool IpNetwork::contains(const boost::asio::ip::address& ip) const noexcept {
  if (ip.is_v4() && addr.is_v4()) return same_leading_bits(ip.to_v4().to_bytes(), addr.to_v4().to_bytes(), prefix_len);
  if (ip.is_v6() && addr.is_v6()) return same_leading_bits(ip.to_v6().to_bytes(), addr.to_v6().to_bytes(), prefix_len);
  return false;
}

std::vector<boost::asio::ip::address> outside_of(const std::vector<boost::asio::ip::address>& ips,
                                                 const std::vector<IpNetwork>& networks) {
  std::vector<boost::asio::ip::address> out;
  out.reserve(ips.size());
  for (const auto& ip : ips) {
    if (std::none_of(networks.begin(), networks.end(), [&](const IpNetwork& n) { return n.contains(ip); })) {
      out.push_back(ip);
    }
  }
  return out;
}

bool same_socket_addr(const boost::asio::ip::udp::endpoint& a, const boost::asio::ip::udp::endpoint& b) noexcept {
  if (a.protocol() != b.protocol() || a.port() != b.port()) return false;
  if (a.address().is_v4()) return a.address().to_v4() == b.address().to_v4();
  const auto* sa = reinterpret_cast<const sockaddr_in6*>(a.data());
  const auto* sb = reinterpret_cast<const sockaddr_in6*>(b.data());
  return std::memcmp(&sa->sin6_addr, &sb->sin6_addr, sizeof sa->sin6_addr) == 0 &&
         sa->sin6_flowinfo == sb->sin6_flowinfo && sa->sin6_scope_id == sb->sin6_scope_id;
}

namespace {
template <class Ep>
std::string endpoint_text(const Ep& ep) {
  if (ep.address().is_v6()) return fmt::format("[{}]:{}", ep.address().to_string(), ep.port());
  return fmt::format("{}:{}", ep.address().to_string(), ep.port());
}
}  // namespace

std::string to_string(const boost::asio::ip::udp::endpoint& ep) { return endpoint_text(ep); }
std::string to_string(const boost::asio::ip::tcp::endpoint& ep) { return endpoint_text(ep); }

}  // namespace net
}  // namespace velarix::p2p::util
