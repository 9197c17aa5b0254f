// A query written into a running agent's TUN device comes back as an answer
// from the overlay DNS server address; it never leaves for the overlay.

#include <gtest/gtest.h>

#include "agent/dns/message.h"
#include "common/log_capture.h"
#include "common/two_agents.h"

namespace velarix::test {
namespace {

using network::Ipv4Addr;

// Independent of the builder in the agent: a plain word sum.
std::uint16_t fold_sum(std::span<const std::uint8_t> b, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i < b.size(); i += 2) sum += (b[i] << 8) | (i + 1 < b.size() ? b[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}
std::uint16_t be16(const Bytes& p, std::size_t at) { return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]); }

Bytes query(const char* name, std::uint16_t id) {
  ldns_pkt* raw = nullptr;
  EXPECT_EQ(ldns_pkt_query_new_frm_str(&raw, name, LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, LDNS_RD), LDNS_STATUS_OK);
  agent::dns::Message pkt(raw);
  ldns_pkt_set_id(raw, id);
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&data, raw, &size), LDNS_STATUS_OK);
  Bytes out(data, data + size);
  std::free(data);
  return out;
}

TEST(DnsThroughAgent, MemberNamesAreAnsweredFromTheServerAddress) {
  TwoAgents agents;
  agents.apply_network();
  auto& a = agents.a();
  const Ipv4Addr server(10, 77, 0, 254);  // broadcast of 10.77.0.0/24 minus one
  ASSERT_TRUE(eventually([&] { return a.inner().dns->server_ip() == server; }));

  struct Case {
    const char* name;
    std::uint8_t rcode;
    std::size_t answers;
  } cases[] = {
      {"b.velarix.internal.", LDNS_RCODE_NOERROR, 1},
      {"B.Velarix.Internal.", LDNS_RCODE_NOERROR, 1},
      {"nobody.velarix.internal.", LDNS_RCODE_NXDOMAIN, 0},
  };
  std::uint16_t id = 7;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++id;
    ASSERT_TRUE(a.tun.write(udp_packet(a.ip, 40123, server, 53, query(c.name, id))));
    auto answer = a.tun.read();
    ASSERT_TRUE(answer);
    const Bytes& p = *answer;
    ASSERT_GE(p.size(), 40u);
    EXPECT_EQ(p[0], 0x45);
    EXPECT_EQ(be16(p, 2), p.size()) << "total length";
    EXPECT_EQ(be16(p, 6), 0x4000) << "Don't Fragment";
    EXPECT_EQ(p[8], 64) << "TTL";
    EXPECT_EQ(p[9], 17);
    EXPECT_EQ(fold_sum(std::span(p).first(20)), 0xFFFF) << "IPv4 header checksum";
    EXPECT_EQ(Ipv4Addr(p[12], p[13], p[14], p[15]), server);
    EXPECT_EQ(Ipv4Addr(p[16], p[17], p[18], p[19]), a.ip);
    EXPECT_EQ(be16(p, 20), 53);
    EXPECT_EQ(be16(p, 22), 40123);
    EXPECT_EQ(be16(p, 24), p.size() - 20) << "UDP length";
    const std::uint32_t pseudo = fold_sum(std::span(p).subspan(12, 8)) + 17 + (p.size() - 20);
    EXPECT_EQ(fold_sum(std::span(p).subspan(20), pseudo), 0xFFFF) << "UDP checksum";

    ldns_pkt* raw = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&raw, p.data() + 28, p.size() - 28), LDNS_STATUS_OK);
    agent::dns::Message msg(raw);
    EXPECT_EQ(ldns_pkt_id(raw), id);
    EXPECT_TRUE(ldns_pkt_qr(raw));
    EXPECT_FALSE(ldns_pkt_aa(raw));
    EXPECT_TRUE(ldns_pkt_ra(raw));
    EXPECT_EQ(ldns_pkt_get_rcode(raw), c.rcode);
    ASSERT_EQ(ldns_pkt_ancount(raw), c.answers);
    if (c.answers == 1) {
      const ldns_rr* rr = ldns_rr_list_rr(ldns_pkt_answer(raw), 0);
      EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
      EXPECT_EQ(ldns_rr_ttl(rr), 10u);
      const ldns_rdf* rdf = ldns_rr_rdf(rr, 0);
      ASSERT_EQ(ldns_rdf_size(rdf), 4u);
      const std::uint8_t* d = ldns_rdf_data(rdf);
      EXPECT_EQ(Ipv4Addr(d[0], d[1], d[2], d[3]), agents.b().ip);
    }
  }
  // Answered at home: nothing of it reached the other agent.
  EXPECT_FALSE(agents.b().tun.read(std::chrono::milliseconds(200)));
}

// Only a query without a route is the responder's: one that a route covers
// goes to the peer like any packet, and without DNS it has no route at all.
TEST(DnsThroughAgent, OnlyQueriesWithoutARouteAreAnswered) {
  const Ipv4Addr server(10, 77, 0, 254);
  {
    TwoAgents agents;
    // B is the gateway of every address, the server address among them.
    agents.apply_network("[[route]]\ndest = \"0.0.0.0/0\"\ngw = \"" + agents.b().pk().to_string() + "\"\n");
    auto& a = agents.a();
    ASSERT_TRUE(eventually([&] { return a.inner().dns->server_ip() == server; }));
    const Bytes q = udp_packet(a.ip, 40123, server, 53, query("b.velarix.internal.", 9));
    EXPECT_TRUE(deliver(a.tun, agents.b().tun, q)) << "forwarded to the gateway";
    EXPECT_FALSE(a.tun.read(std::chrono::milliseconds(200))) << "and never answered here";
  }
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  TwoAgents agents({.config_a = "[dns]\ndisabled = true"});
  agents.apply_network();
  auto& a = agents.a();
  LogCapture::get().clear();
  ASSERT_TRUE(a.tun.write(udp_packet(a.ip, 40123, server, 53, query("b.velarix.internal.", 10))));
  EXPECT_TRUE(eventually([] {
    return LogCapture::get().count("No outbound route found for destination: 10.77.0.1 -> 10.77.0.254 (missing "
                                   "destination route in routing table)") == 1;
  }));
  EXPECT_FALSE(a.tun.read(std::chrono::milliseconds(200)));
  EXPECT_FALSE(agents.b().tun.read(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace velarix::test
