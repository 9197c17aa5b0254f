#pragma once
// The ICMP "fragmentation needed" answer to a packet that is too large for the
// agent's MTU and may not be fragmented, so that its sender's path-MTU
// discovery learns the MTU (RFC 792, RFC 1191).

#include <cstdint>
#include <span>
#include <vector>

#include "agent/ip_packet.h"

namespace velarix::agent {

// The answer to `packet` (whose checked header is `header`): an IPv4 packet from
// the packet's destination to its source, TTL 64, Don't Fragment set, holding an
// ICMP destination-unreachable message with code 4 and `mtu` as the next-hop
// MTU, quoting the packet's header and the first 8 bytes of its payload (or the
// whole packet when it is shorter). At most 96 bytes; both checksums are set.
std::vector<std::uint8_t> create_icmp_fragmentation_needed(std::span<const std::uint8_t> packet,
                                                           const Ipv4Header& header, std::uint16_t mtu);

}  // namespace velarix::agent
