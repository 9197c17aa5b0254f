#include "network/config/ipv4_net.h"

#include <optional>

#include <fmt/format.h>

namespace velarix::network {
namespace {

// A decimal number of 1..max_digits digits, with no leading zero unless it is
// "0" itself (a leading zero would read as octal elsewhere).
std::optional<unsigned> parse_decimal(std::string_view s, std::size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  if (s.size() > 1 && s[0] == '0') return std::nullopt;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v;
}

}  // namespace

std::expected<Ipv4Addr, std::string> Ipv4Addr::parse(std::string_view text) {
  std::uint32_t value = 0;
  std::string_view rest = text;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = rest.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return std::unexpected("invalid IPv4 address syntax");
    auto part = parse_decimal(rest.substr(0, dot), 3);
    if (!part || *part > 255) return std::unexpected("invalid IPv4 address syntax");
    value = (value << 8) | *part;
    rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
  }
  return Ipv4Addr(value);
}

std::string Ipv4Addr::to_string() const {
  return fmt::format("{}.{}.{}.{}", octet(0), octet(1), octet(2), octet(3));
}

std::expected<Ipv4Net, std::string> Ipv4Net::make(Ipv4Addr addr, std::uint8_t prefix_len) {
  if (prefix_len > kMaxPrefixLen) return std::unexpected("invalid IPv4 network: prefix length must be 0 to 32");
  return Ipv4Net(addr, prefix_len);
}

std::expected<Ipv4Net, std::string> Ipv4Net::parse(std::string_view text) {
  std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::unexpected("invalid IPv4 network: missing prefix length");
  auto addr = Ipv4Addr::parse(text.substr(0, slash));
  if (!addr) return std::unexpected("invalid IPv4 network: " + addr.error());
  auto len = parse_decimal(text.substr(slash + 1), 2);
  if (!len || *len > kMaxPrefixLen) return std::unexpected("invalid IPv4 network: prefix length must be 0 to 32");
  return Ipv4Net(*addr, static_cast<std::uint8_t>(*len));
}

std::string Ipv4Net::to_string() const { return fmt::format("{}/{}", addr_.to_string(), prefix_len_); }

}  // namespace velarix::network
