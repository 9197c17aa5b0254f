// IPv4 header checks and the Internet checksum against known values.

#include <gtest/gtest.h>

#include <vector>

#include "agent/ip_packet.h"

using velarix::agent::internet_checksum;
using velarix::agent::Ipv4Header;

TEST(Ipv4Header, AcceptsOnlyWhatTheRoadsMayRead) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool ok;
  } cases[] = {
      {"19 bytes", std::vector<std::uint8_t>(19, 0x45), false},
      {"IPv6", [] { std::vector<std::uint8_t> p(40, 0); p[0] = 0x60; return p; }(), false},
      {"IHL 4", [] { std::vector<std::uint8_t> p(20, 0); p[0] = 0x44; return p; }(), false},
      {"IHL 15 in 40 bytes", [] { std::vector<std::uint8_t> p(40, 0); p[0] = 0x4F; return p; }(), false},
      {"IHL 15 in 60 bytes", [] { std::vector<std::uint8_t> p(60, 0); p[0] = 0x4F; return p; }(), true},
      {"plain 20 bytes", [] { std::vector<std::uint8_t> p(20, 0); p[0] = 0x45; return p; }(), true},
  };
  for (const auto& c : cases) {
    auto h = Ipv4Header::parse(c.bytes);
    EXPECT_EQ(h.has_value(), c.ok) << c.name;
    if (!h) {
      EXPECT_FALSE(h.error().empty()) << c.name;
    }
  }
}

TEST(Ipv4Header, ReadsFieldsFromTheRawBytes) {
  // 192.168.0.1 -> 192.168.0.199, UDP, Don't Fragment, 4 option bytes.
  std::vector<std::uint8_t> p = {0x46, 0, 0, 28, 0, 0, 0x40, 0, 64, 17, 0, 0, 192, 168, 0, 1, 192, 168, 0, 199,
                                 1,    1, 1, 0,  9, 9, 9,    9};
  auto h = Ipv4Header::parse(p);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->header_len(), 24u);
  EXPECT_EQ(h->protocol(), 17);
  EXPECT_TRUE(h->dont_fragment());
  EXPECT_EQ(h->src().to_string(), "192.168.0.1");
  EXPECT_EQ(h->dst().to_string(), "192.168.0.199");
  EXPECT_EQ(h->payload().size(), 4u);
}

TEST(InternetChecksum, KnownHeaderAndOddLength) {
  // A header whose checksum field (bytes 10-11) is 0xB861 when computed by hand.
  std::vector<std::uint8_t> hdr = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                   0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  EXPECT_EQ(internet_checksum(hdr), 0xB861);
  hdr[10] = 0xB8;
  hdr[11] = 0x61;
  EXPECT_EQ(internet_checksum(hdr), 0) << "a correct header sums to zero";
  const std::vector<std::uint8_t> odd = {0x01, 0x02, 0x03};  // 0x0102 + 0x0300 = 0x0402
  EXPECT_EQ(internet_checksum(odd), static_cast<std::uint16_t>(~0x0402));
}
