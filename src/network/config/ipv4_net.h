#pragma once
// IPv4 addresses and networks as the network configuration writes them.
// A network keeps its address exactly as written, host bits included, so that
// 10.0.0.7/24 reads back and prints as 10.0.0.7/24.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/keyed_hash.h"

namespace velarix::network {

// Four octets, held as one number in network order of significance
// (10.0.0.1 is 0x0A000001).
class Ipv4Addr {
 public:
  constexpr Ipv4Addr() = default;
  constexpr explicit Ipv4Addr(std::uint32_t value) : value_(value) {}
  constexpr Ipv4Addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
      : value_((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d) {}

  // Dotted decimal: four numbers 0..255 without leading zeros, nothing else.
  // The error is a short description of what is wrong.
  static std::expected<Ipv4Addr, std::string> parse(std::string_view text);

  constexpr std::uint32_t to_uint() const noexcept { return value_; }
  constexpr std::uint8_t octet(int i) const noexcept {
    return static_cast<std::uint8_t>(value_ >> (24 - 8 * i));
  }
  // Dotted decimal.
  std::string to_string() const;

  friend constexpr auto operator<=>(Ipv4Addr, Ipv4Addr) = default;
  friend constexpr bool operator==(Ipv4Addr, Ipv4Addr) = default;

 private:
  std::uint32_t value_ = 0;
};

// An address and a prefix length 0..32. Equality and order compare the address
// as written (as a number), then the prefix length.
class Ipv4Net {
 public:
  static constexpr std::uint8_t kMaxPrefixLen = 32;

  constexpr Ipv4Net() = default;
  // Prefix lengths above 32 are clamped to 32; use `parse` or `make` to refuse them.
  constexpr Ipv4Net(Ipv4Addr addr, std::uint8_t prefix_len)
      : addr_(addr), prefix_len_(prefix_len > kMaxPrefixLen ? kMaxPrefixLen : prefix_len) {}
  static std::expected<Ipv4Net, std::string> make(Ipv4Addr addr, std::uint8_t prefix_len);

  // "address/prefix-length"; the address as `Ipv4Addr::parse` reads it and a
  // decimal prefix length 0..32 without leading zeros.
  static std::expected<Ipv4Net, std::string> parse(std::string_view text);

  // The address exactly as written (host bits kept).
  constexpr Ipv4Addr addr() const noexcept { return addr_; }
  constexpr std::uint8_t prefix_len() const noexcept { return prefix_len_; }

  constexpr Ipv4Addr netmask() const noexcept { return Ipv4Addr(mask_bits()); }
  constexpr Ipv4Addr hostmask() const noexcept { return Ipv4Addr(~mask_bits()); }
  // Host bits cleared.
  constexpr Ipv4Addr network() const noexcept { return Ipv4Addr(addr_.to_uint() & mask_bits()); }
  // Host bits set.
  constexpr Ipv4Addr broadcast() const noexcept { return Ipv4Addr(addr_.to_uint() | ~mask_bits()); }
  // The same network with the host bits cleared.
  constexpr Ipv4Net trunc() const noexcept { return Ipv4Net(network(), prefix_len_); }
  // network() <= a <= broadcast(): both ends count as inside.
  constexpr bool contains(Ipv4Addr a) const noexcept {
    return (a.to_uint() & mask_bits()) == (addr_.to_uint() & mask_bits());
  }

  // "a.b.c.d/len", host bits as held. Also the debug form.
  std::string to_string() const;

  friend constexpr auto operator<=>(const Ipv4Net&, const Ipv4Net&) = default;
  friend constexpr bool operator==(const Ipv4Net&, const Ipv4Net&) = default;

 private:
  constexpr std::uint32_t mask_bits() const noexcept {
    return prefix_len_ == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix_len_);
  }

  Ipv4Addr addr_{};
  std::uint8_t prefix_len_ = 0;
};

}  // namespace velarix::network

// Keyed: the addresses and networks of a network document are its author's
// to choose, and must not be able to make the maps collide.
template <>
struct std::hash<velarix::network::Ipv4Addr> {
  std::size_t operator()(velarix::network::Ipv4Addr a) const noexcept {
    return static_cast<std::size_t>(velarix::p2p::util::keyed_hash(a.to_uint()));
  }
};

template <>
struct std::hash<velarix::network::Ipv4Net> {
  std::size_t operator()(const velarix::network::Ipv4Net& n) const noexcept {
    return static_cast<std::size_t>(
        velarix::p2p::util::keyed_hash((std::uint64_t{n.addr().to_uint()} << 8) | n.prefix_len()));
  }
};

template <>
struct fmt::formatter<velarix::network::Ipv4Addr> : fmt::formatter<std::string_view> {
  auto format(velarix::network::Ipv4Addr a, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(a.to_string(), ctx);
  }
};

template <>
struct fmt::formatter<velarix::network::Ipv4Net> : fmt::formatter<std::string_view> {
  auto format(const velarix::network::Ipv4Net& n, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(n.to_string(), ctx);
  }
};
