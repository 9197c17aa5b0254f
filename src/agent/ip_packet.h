#pragma once
// IPv4 header reading and the Internet checksum, on raw packet bytes. Both
// packet roads and the packets the agent builds itself (ICMP, DNS answers) use
// these; nothing here allocates.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "network/config/ipv4_net.h"

namespace velarix::agent {

inline constexpr std::uint8_t kIpProtoIcmp = 1;
inline constexpr std::uint8_t kIpProtoUdp = 17;

// A checked view of an IPv4 header over packet bytes; the bytes must outlive it.
class Ipv4Header {
 public:
  // Requires, in this order: at least 20 bytes, version 4, IHL at least 5, and
  // at least IHL times 4 bytes. No other field (total length, checksum) is
  // looked at. The error is a fixed text naming the first test that failed.
  static constexpr std::expected<Ipv4Header, std::string_view> parse(std::span<const std::uint8_t> packet) noexcept {
    if (packet.size() < 20) return std::unexpected(std::string_view("packet shorter than an IPv4 header"));
    if ((packet[0] >> 4) != 4) return std::unexpected(std::string_view("not an IPv4 packet"));
    if ((packet[0] & 0x0F) < 5) return std::unexpected(std::string_view("IPv4 header length below 20 bytes"));
    if (packet.size() < std::size_t{packet[0] & 0x0Fu} * 4) {
      return std::unexpected(std::string_view("packet shorter than its IPv4 header length"));
    }
    return Ipv4Header(packet);
  }

  // Header length in bytes (IHL times 4), options included.
  constexpr std::size_t header_len() const noexcept { return std::size_t{bytes_[0] & 0x0Fu} * 4; }
  constexpr std::uint8_t protocol() const noexcept { return bytes_[9]; }
  constexpr bool dont_fragment() const noexcept { return (bytes_[6] & 0x40) != 0; }
  constexpr network::Ipv4Addr src() const noexcept { return addr_at(12); }
  constexpr network::Ipv4Addr dst() const noexcept { return addr_at(16); }
  // The whole packet the header was read from.
  constexpr std::span<const std::uint8_t> packet() const noexcept { return bytes_; }
  // What follows the header, up to the end of the bytes (not the total-length field).
  constexpr std::span<const std::uint8_t> payload() const noexcept { return bytes_.subspan(header_len()); }

 private:
  constexpr explicit Ipv4Header(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  constexpr network::Ipv4Addr addr_at(std::size_t i) const noexcept {
    return network::Ipv4Addr(bytes_[i], bytes_[i + 1], bytes_[i + 2], bytes_[i + 3]);
  }
  std::span<const std::uint8_t> bytes_;
};

// Ones'-complement sum of 16-bit big-endian words (an odd last byte is padded
// with zero), not yet folded or complemented; chain calls to sum several parts.
constexpr std::uint32_t checksum_add(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0) noexcept {
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += (std::uint32_t{bytes[i]} << 8) | bytes[i + 1];
  if (i < bytes.size()) sum += std::uint32_t{bytes[i]} << 8;
  return sum;
}

// Folds a running sum into the final Internet checksum (RFC 1071).
constexpr std::uint16_t checksum_finish(std::uint32_t sum) noexcept {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

constexpr std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes) noexcept {
  return checksum_finish(checksum_add(bytes));
}

}  // namespace velarix::agent
