#include <gtest/gtest.h>

#include <vector>

#include "agent/agent.h"

using velarix::agent::is_velarix_control_packet;

namespace {

// An IPv4/UDP packet with header length `ihl` words whose payload starts with `payload`.
std::vector<std::uint8_t> udp_packet(int ihl, std::vector<std::uint8_t> payload, std::uint8_t protocol = 17) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(ihl) * 4 + 8, 0);
  p[0] = static_cast<std::uint8_t>(0x40 | ihl);
  p[9] = protocol;
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

const std::vector<std::uint8_t> kMarker = {0x1E, 0x3F, 0x50, 0x01};

}  // namespace

TEST(ControlPacket, Cases) {
  auto ipv6 = udp_packet(5, kMarker);
  ipv6[0] = 0x65;
  auto short_packet = udp_packet(5, kMarker);
  short_packet.resize(31);
  auto ihl4 = udp_packet(5, kMarker);
  ihl4[0] = 0x44;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> packet;
    bool expected;
  } cases[] = {
      {"marker with IHL 5 (32 bytes)", udp_packet(5, kMarker), true},
      {"marker with IHL 6", udp_packet(6, kMarker), true},
      {"marker followed by more payload", udp_packet(5, {0x1E, 0x3F, 0x50, 0x01, 9, 9, 9}), true},
      {"31 bytes", short_packet, false},
      {"TCP", udp_packet(5, kMarker, 6), false},
      {"IPv6", ipv6, false},
      {"IHL 4", ihl4, false},
      {"other payload", udp_packet(5, {0x1E, 0x3F, 0x50, 0x02}), false},
      {"empty", {}, false},
      {"19 bytes", std::vector<std::uint8_t>(19, 0x45), false},
      {"IHL 15 but short", [] {
         auto p = udp_packet(5, kMarker);
         p[0] = 0x4F;
         return p;
       }(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_velarix_control_packet(c.packet), c.expected) << c.name;
}
