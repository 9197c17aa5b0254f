#include "agent/icmp.h"

#include <algorithm>

namespace velarix::agent {

namespace {

constexpr std::size_t kIpHeaderLen = 20;
constexpr std::size_t kIcmpHeaderLen = 8;
constexpr std::uint8_t kIcmpDestinationUnreachable = 3;
constexpr std::uint8_t kIcmpFragmentationNeeded = 4;
constexpr std::uint8_t kTtl = 64;

void put_u16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}

void put_addr(std::uint8_t* at, network::Ipv4Addr a) {
  for (int i = 0; i < 4; ++i) at[i] = a.octet(i);
}

}  // namespace

std::vector<std::uint8_t> create_icmp_fragmentation_needed(std::span<const std::uint8_t> packet,
                                                           const Ipv4Header& header, std::uint16_t mtu) {
  const std::size_t quoted = std::min(packet.size(), header.header_len() + 8);
  const std::size_t total = kIpHeaderLen + kIcmpHeaderLen + quoted;  // at most 96
  std::vector<std::uint8_t> out(total, 0);
  std::uint8_t* ip = out.data();
  ip[0] = 0x45;
  put_u16(ip + 2, static_cast<std::uint16_t>(total));
  ip[6] = 0x40;  // Don't Fragment
  ip[8] = kTtl;
  ip[9] = kIpProtoIcmp;
  put_addr(ip + 12, header.dst());
  put_addr(ip + 16, header.src());
  put_u16(ip + 10, internet_checksum(std::span<const std::uint8_t>(ip, kIpHeaderLen)));

  std::uint8_t* icmp = ip + kIpHeaderLen;
  icmp[0] = kIcmpDestinationUnreachable;
  icmp[1] = kIcmpFragmentationNeeded;
  put_u16(icmp + 6, mtu);
  std::copy_n(packet.begin(), quoted, icmp + kIcmpHeaderLen);
  put_u16(icmp + 2, internet_checksum(std::span<const std::uint8_t>(icmp, kIcmpHeaderLen + quoted)));
  return out;
}

}  // namespace velarix::agent
