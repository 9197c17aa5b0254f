// The ICMP "fragmentation needed" answer, read back with a decoder written
// here from the RFCs, independent of the builder's own checksum code.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "agent/icmp.h"
#include "common/two_agents.h"

using velarix::agent::create_icmp_fragmentation_needed;
using velarix::agent::Ipv4Header;
using velarix::test::Bytes;
using velarix::test::ipv4;

namespace {

// RFC 1071, summed byte pair by byte pair; a correct checksummed range sums to 0xFFFF.
std::uint32_t ones_sum(const Bytes& b, std::size_t from, std::size_t to) {
  std::uint32_t sum = 0;
  for (std::size_t i = from; i < to; i += 2) {
    const std::uint32_t hi = b[i];
    const std::uint32_t lo = i + 1 < to ? b[i + 1] : 0;
    sum += hi * 256 + lo;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum;
}

struct DecodedIcmp {
  bool ip_checksum_ok;
  bool icmp_checksum_ok;
  std::size_t total_length;
  std::uint8_t version, ihl, protocol, ttl, type, code;
  bool dont_fragment;
  std::uint16_t fragment_offset;
  std::string src, dst;
  std::uint16_t unused, next_hop_mtu;
  Bytes quoted;
};

DecodedIcmp decode(const Bytes& r) {
  DecodedIcmp d{};
  const std::size_t ihl = (r[0] & 0x0F) * 4u;
  d.version = r[0] >> 4;
  d.ihl = r[0] & 0x0F;
  d.total_length = r[2] * 256u + r[3];
  d.dont_fragment = (r[6] & 0x40) != 0;
  d.fragment_offset = static_cast<std::uint16_t>(((r[6] & 0x1F) << 8) | r[7]);
  d.ttl = r[8];
  d.protocol = r[9];
  d.src = std::to_string(r[12]) + "." + std::to_string(r[13]) + "." + std::to_string(r[14]) + "." + std::to_string(r[15]);
  d.dst = std::to_string(r[16]) + "." + std::to_string(r[17]) + "." + std::to_string(r[18]) + "." + std::to_string(r[19]);
  d.ip_checksum_ok = ones_sum(r, 0, ihl) == 0xFFFF;
  d.icmp_checksum_ok = ones_sum(r, ihl, r.size()) == 0xFFFF;
  d.type = r[ihl];
  d.code = r[ihl + 1];
  d.unused = static_cast<std::uint16_t>(r[ihl + 4] * 256 + r[ihl + 5]);
  d.next_hop_mtu = static_cast<std::uint16_t>(r[ihl + 6] * 256 + r[ihl + 7]);
  d.quoted.assign(r.begin() + static_cast<std::ptrdiff_t>(ihl + 8), r.end());
  return d;
}

}  // namespace

TEST(IcmpFragmentationNeeded, AnswersWithTheMtuAndQuotesTheHeaderAndEightBytes) {
  auto with_options = [](std::size_t size) {
    // IHL 15: 40 option bytes, then the payload.
    Bytes p = velarix::test::sized_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), size);
    p.insert(p.begin() + 20, 40, 0x01);
    p[0] = 0x4F;
    return p;
  };
  struct Case {
    const char* what;
    Bytes packet;
    std::uint16_t mtu;
    std::size_t reply_size;
    std::size_t quoted;
  } cases[] = {
      {"1200 bytes, 20-byte header", velarix::test::sized_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), 1200, 1, true),
       1073, 56, 28},
      {"60-byte header", with_options(1200), 1073, 96, 68},
      {"exactly header and 8 bytes", velarix::test::sized_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), 28), 20, 56, 28},
      {"24 bytes: quoted whole", velarix::test::ipv4_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), 6, Bytes{1, 2, 3, 4}),
       20, 52, 24},
      {"odd length 25: quoted whole", velarix::test::ipv4_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), 6,
                                                                 Bytes{1, 2, 3, 4, 5}),
       20, 53, 25},
  };
  for (const auto& c : cases) {
    auto header = Ipv4Header::parse(c.packet);
    ASSERT_TRUE(header) << c.what;
    const Bytes reply = create_icmp_fragmentation_needed(c.packet, *header, c.mtu);
    ASSERT_EQ(reply.size(), c.reply_size) << c.what;
    const auto d = decode(reply);
    EXPECT_TRUE(d.ip_checksum_ok) << c.what;
    EXPECT_TRUE(d.icmp_checksum_ok) << c.what;
    EXPECT_EQ(d.version, 4) << c.what;
    EXPECT_EQ(d.ihl, 5) << c.what;
    EXPECT_EQ(d.total_length, reply.size()) << c.what;
    EXPECT_TRUE(d.dont_fragment) << c.what;
    EXPECT_EQ(d.fragment_offset, 0) << c.what;
    EXPECT_EQ(d.ttl, 64) << c.what;
    EXPECT_EQ(d.protocol, 1) << c.what;
    EXPECT_EQ(d.src, "10.2.0.2") << c.what << ": the addresses are exchanged";
    EXPECT_EQ(d.dst, "10.1.0.1") << c.what;
    EXPECT_EQ(d.type, 3) << c.what;
    EXPECT_EQ(d.code, 4) << c.what;
    EXPECT_EQ(d.unused, 0) << c.what;
    EXPECT_EQ(d.next_hop_mtu, c.mtu) << c.what;
    EXPECT_EQ(d.quoted, Bytes(c.packet.begin(), c.packet.begin() + static_cast<std::ptrdiff_t>(c.quoted))) << c.what;
  }
  // The MTU's bytes as they go on the wire.
  const Bytes big = velarix::test::sized_packet(ipv4("10.1.0.1"), ipv4("10.2.0.2"), 1200);
  const Bytes reply = create_icmp_fragmentation_needed(big, *Ipv4Header::parse(big), 1073);
  EXPECT_EQ(reply[26], 0x04);
  EXPECT_EQ(reply[27], 0x31);
}
