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

inline constexpr std::size_t kIpv4UdpHeaderLen = 28;  // 20-byte IPv4 header without options, 8-byte UDP header
// The largest UDP payload an IPv4 packet can carry (total length is 16 bits).
inline constexpr std::size_t kMaxIpv4UdpPayload = 65535 - kIpv4UdpHeaderLen;

// UDP checksum over the IPv4 pseudo-header, the UDP header (its checksum field
// zero) and the payload, given apart so a header can sit in front of a payload
// held elsewhere. A computed zero goes out as 0xFFFF (zero means "none").
constexpr std::uint16_t udp_checksum(network::Ipv4Addr src, network::Ipv4Addr dst,
                                     std::span<const std::uint8_t> udp_header,
                                     std::span<const std::uint8_t> payload) noexcept {
  const std::uint32_t udp_len = static_cast<std::uint32_t>(udp_header.size() + payload.size());
  std::uint32_t sum = (src.to_uint() >> 16) + (src.to_uint() & 0xFFFF) + (dst.to_uint() >> 16) +
                      (dst.to_uint() & 0xFFFF) + kIpProtoUdp + (udp_len >> 16) + (udp_len & 0xFFFF);
  // The header length is even, so the payload's words stay aligned after it.
  sum = checksum_add(payload, checksum_add(udp_header, sum));
  const std::uint16_t c = checksum_finish(sum);
  return c == 0 ? 0xFFFF : c;
}

// Writes the IPv4 and UDP headers of a packet that carries `payload` right
// after them: no IPv4 options, identification 0, Don't Fragment set, both
// checksums computed. The payload must not exceed kMaxIpv4UdpPayload.
constexpr void write_ipv4_udp_header(std::span<std::uint8_t, kIpv4UdpHeaderLen> out, network::Ipv4Addr src,
                                     std::uint16_t src_port, network::Ipv4Addr dst, std::uint16_t dst_port,
                                     std::uint8_t ttl, std::span<const std::uint8_t> payload) noexcept {
  const auto put16 = [&](std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v >> 8);
    out[at + 1] = static_cast<std::uint8_t>(v);
  };
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, v >> 16);
    put16(at + 2, v & 0xFFFF);
  };
  const auto total = static_cast<std::uint32_t>(kIpv4UdpHeaderLen + payload.size());
  out[0] = 0x45;  // version 4, 5 words of header
  out[1] = 0;     // DSCP, ECN
  put16(2, total);
  put16(4, 0);       // identification
  put16(6, 0x4000);  // Don't Fragment, offset 0
  out[8] = ttl;
  out[9] = kIpProtoUdp;
  put16(10, 0);
  put32(12, src.to_uint());
  put32(16, dst.to_uint());
  put16(10, internet_checksum(out.first(20)));

  put16(20, src_port);
  put16(22, dst_port);
  put16(24, total - 20);
  put16(26, 0);
  put16(26, udp_checksum(src, dst, out.subspan(20, 8), payload));
}

}  // namespace velarix::agent
