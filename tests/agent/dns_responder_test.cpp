// The embedded DNS responder end to end: query bytes in, an IPv4/UDP answer out
// of a packet-descriptor stand-in for the TUN device, decoded with ldns and
// checked field by field (checksums recomputed here, not with the builder's helpers).

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "agent/dns/dns.h"
#include "agent/dns/message.h"
#include "common/alloc_counter.h"
#include "common/log_capture.h"
#include "util/log_limiter.h"

using namespace velarix::agent;
using velarix::agent::dns::Message;
using velarix::network::HostnameList;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;

namespace {

namespace asio = boost::asio;

const Ipv4Addr kServer(10, 20, 255, 254);
const Ipv4Addr kClient(10, 20, 0, 5);
constexpr std::uint16_t kClientPort = 40123;

// ---- an Internet checksum of our own, to check the builder's ----------------

std::uint32_t sum_words(std::span<const std::uint8_t> b, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i < b.size(); i += 2) sum += (b[i] << 8) | (i + 1 < b.size() ? b[i + 1] : 0);
  return sum;
}
std::uint16_t fold(std::uint32_t s) {
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<std::uint16_t>(s);
}
std::uint16_t be16(const std::vector<std::uint8_t>& p, std::size_t at) { return (p[at] << 8) | p[at + 1]; }

// ---- queries -------------------------------------------------------------------

struct Query {
  std::string name = "db.velarix.internal.";
  ldns_rr_type type = LDNS_RR_TYPE_A;
  ldns_rr_class cls = LDNS_RR_CLASS_IN;
  bool rd = true;
  std::optional<std::uint16_t> edns = std::nullopt;  // payload size
  std::uint8_t edns_version = 0;
  bool dnssec_ok = false;
  ldns_pkt_opcode opcode = LDNS_PACKET_QUERY;
  std::uint16_t id = 0x4242;
};

std::vector<std::uint8_t> wire(const ldns_pkt& pkt) {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&data, &pkt, &size), LDNS_STATUS_OK);
  std::vector<std::uint8_t> out(data, data + size);
  std::free(data);
  return out;
}

std::vector<std::uint8_t> encode(const Query& q) {
  ldns_pkt* raw = nullptr;
  EXPECT_EQ(ldns_pkt_query_new_frm_str(&raw, q.name.c_str(), q.type, q.cls, q.rd ? LDNS_RD : 0), LDNS_STATUS_OK);
  Message pkt(raw);
  ldns_pkt_set_id(raw, q.id);
  ldns_pkt_set_opcode(raw, q.opcode);
  if (q.edns) {
    ldns_pkt_set_edns_udp_size(raw, *q.edns);
    ldns_pkt_set_edns_version(raw, q.edns_version);
    ldns_pkt_set_edns_do(raw, q.dnssec_ok);
  }
  return wire(*pkt);
}

// A query as the TUN reader sees it: 10.20.0.5:40123 -> 10.20.255.254:53, with
// 4 bytes of IPv4 options so the UDP header does not sit at a fixed offset.
std::vector<std::uint8_t> query_packet(const std::vector<std::uint8_t>& dns_query) {
  std::vector<std::uint8_t> packet(24 + 8);
  packet.insert(packet.end(), dns_query.begin(), dns_query.end());
  packet[0] = 0x46;
  packet[9] = 17;
  packet[8] = 64;
  for (int i = 0; i < 4; ++i) {
    packet[12 + i] = kClient.octet(i);
    packet[16 + i] = kServer.octet(i);
  }
  packet[24] = kClientPort >> 8;
  packet[25] = kClientPort & 0xFF;
  packet[27] = 53;
  return packet;
}

// ---- the fixture: a responder with a catalog, a device stand-in ----------------

Network member_network() {
  Network n;
  n.current_state.ip.applied = *Ipv4Net::parse("10.20.0.1/16");
  HostnameList list;
  list.hostnames.emplace(Ipv4Addr(10, 20, 0, 7), "db");
  list.hostnames.emplace(Ipv4Addr(10, 20, 0, 8), "Web");
  list.hostnames.emplace(Ipv4Addr(10, 20, 0, 9), "a.team");
  // Names with many addresses, for answers beyond 512 and 4096 bytes.
  for (std::uint32_t i = 0; i < 40; ++i) list.hostnames.emplace(Ipv4Addr(0x0A140100 + i), "big");
  for (std::uint32_t i = 0; i < 300; ++i) list.hostnames.emplace(Ipv4Addr(0x0A150000 + i), "huge");
  for (std::uint32_t i = 0; i < 5000; ++i) list.hostnames.emplace(Ipv4Addr(0x0A160000 + i), "giant");
  n.desired_state.hostnames.applied = list;
  return n;
}

class DnsResponder : public ::testing::Test {
 protected:
  DnsResponder() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
    device_ = *TunDevice::from_fd(io_.get_executor(), fds[0]);
    peer_ = fds[1];
    NetworkMap networks;
    networks.emplace(*Url::parse("https://a.example/"), member_network());
    dns_.apply_desired_state(networks);
  }
  ~DnsResponder() override { ::close(peer_); }

  void run(asio::awaitable<void> task) {
    asio::co_spawn(io_, std::move(task), asio::detached);
    io_.restart();
    io_.run();
  }
  void hand_over(std::span<const std::uint8_t> payload) {
    run(dns_.on_packet(payload, *device_, kClient, kServer, kClientPort, kDnsPort));
  }
  // The packet the responder wrote, if any.
  std::optional<std::vector<std::uint8_t>> written() {
    std::vector<std::uint8_t> buf(70000);
    const ssize_t n = ::recv(peer_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  std::optional<std::vector<std::uint8_t>> ask(std::span<const std::uint8_t> payload) {
    hand_over(payload);
    return written();
  }

  asio::io_context io_;
  std::shared_ptr<TunDevice> device_;
  int peer_ = -1;
  AgentDns dns_;
};

// Checks the IPv4 and UDP layers of an answer to kClient:kClientPort and
// decodes its DNS message; null (with a failure recorded) when it is not one.
Message check_answer_packet(const std::vector<std::uint8_t>& p) {
  if (p.size() < 28 + 12) {
    ADD_FAILURE() << "answer of " << p.size() << " bytes";
    return nullptr;
  }
  EXPECT_EQ(p[0], 0x45) << "IPv4, 20-byte header";
  EXPECT_EQ(p[1], 0) << "DSCP, ECN";
  EXPECT_EQ(be16(p, 2), p.size()) << "total length";
  EXPECT_EQ(be16(p, 4), 0) << "identification";
  EXPECT_EQ(be16(p, 6), 0x4000) << "Don't Fragment, offset 0";
  EXPECT_EQ(p[8], 64) << "TTL";
  EXPECT_EQ(p[9], 17) << "UDP";
  EXPECT_EQ(fold(sum_words(std::span(p).first(20))), 0xFFFF) << "IPv4 header checksum";
  EXPECT_EQ(Ipv4Addr(p[12], p[13], p[14], p[15]), kServer);
  EXPECT_EQ(Ipv4Addr(p[16], p[17], p[18], p[19]), kClient);

  EXPECT_EQ(be16(p, 20), 53) << "UDP source port";
  EXPECT_EQ(be16(p, 22), kClientPort) << "UDP destination port";
  EXPECT_EQ(be16(p, 24), p.size() - 20) << "UDP length";
  EXPECT_NE(be16(p, 26), 0) << "UDP checksum present";
  const std::uint32_t pseudo = sum_words(std::span(p).subspan(12, 8)) + 17 + (p.size() - 20);
  EXPECT_EQ(fold(sum_words(std::span(p).subspan(20), pseudo)), 0xFFFF) << "UDP checksum";

  ldns_pkt* raw = nullptr;
  const ldns_status status = ldns_wire2pkt(&raw, p.data() + 28, p.size() - 28);
  EXPECT_EQ(status, LDNS_STATUS_OK) << ldns_get_errorstr_by_id(status);
  return Message(raw);
}

unsigned rcode_of(const ldns_pkt& m) {
  return ldns_pkt_get_rcode(&m) | (ldns_pkt_edns(&m) ? unsigned{ldns_pkt_edns_extended_rcode(&m)} << 4 : 0u);
}

// ---- tests -------------------------------------------------------------------------

TEST_F(DnsResponder, QueryPacketFromTheTunComesBackAsAnIpv4UdpAnswer) {
  const auto packet = query_packet(encode({.name = "db.velarix.internal."}));
  const auto ip = Ipv4Header::parse(packet);
  ASSERT_TRUE(ip);
  ASSERT_TRUE(dns_.is_dns_query(*ip));
  run(dns_.divert(*ip, *device_));

  const auto answer = written();
  ASSERT_TRUE(answer);
  auto msg = check_answer_packet(*answer);
  ASSERT_TRUE(msg);
  EXPECT_EQ(ldns_pkt_id(msg.get()), 0x4242);
  EXPECT_EQ(rcode_of(*msg), LDNS_RCODE_NOERROR);
  ASSERT_EQ(ldns_pkt_ancount(msg.get()), 1);
  const ldns_rr* rr = ldns_rr_list_rr(ldns_pkt_answer(msg.get()), 0);
  EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
  EXPECT_EQ(ldns_rr_ttl(rr), 10u);
  const std::uint8_t* a = ldns_rdf_data(ldns_rr_rdf(rr, 0));
  EXPECT_EQ(Ipv4Addr(a[0], a[1], a[2], a[3]), Ipv4Addr(10, 20, 0, 7));
  EXPECT_FALSE(written()) << "one packet per answer";
}

TEST_F(DnsResponder, DiversionTakesOnlyUdpToPort53OfTheServer) {
  struct Case {
    const char* name;
    std::uint8_t ihl;
    std::uint8_t protocol;
    Ipv4Addr dst;
    std::size_t udp_bytes;  // after the IPv4 header
    std::uint16_t port;
    bool taken;
  } cases[] = {
      {"UDP to port 53 of the server", 5, 17, kServer, 8, 53, true},
      {"with IPv4 options", 7, 17, kServer, 20, 53, true},
      {"TCP to port 53", 5, 6, kServer, 20, 53, false},
      {"another address", 5, 17, Ipv4Addr(10, 20, 255, 253), 20, 53, false},
      {"port 54", 5, 17, kServer, 20, 54, false},
      {"7 bytes of UDP", 5, 17, kServer, 7, 53, false},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> p(c.ihl * 4u + c.udp_bytes, 0);
    p[0] = 0x40 | c.ihl;
    p[9] = c.protocol;
    for (int i = 0; i < 4; ++i) p[16 + i] = c.dst.octet(i);
    if (c.udp_bytes >= 4) {
      p[c.ihl * 4u + 2] = c.port >> 8;
      p[c.ihl * 4u + 3] = c.port & 0xFF;
    }
    const auto ip = Ipv4Header::parse(p);
    ASSERT_TRUE(ip) << c.name;
    EXPECT_EQ(dns_.is_dns_query(*ip), c.taken) << c.name;
  }

  AgentDns unset;  // no network has given it a server address
  std::vector<std::uint8_t> p(28, 0);
  p[0] = 0x45;
  p[9] = 17;
  p[27] = 53;
  EXPECT_FALSE(unset.is_dns_query(*Ipv4Header::parse(p))) << "0.0.0.0 is never the server";
}

TEST_F(DnsResponder, AnswersTable) {
  constexpr unsigned kBadVers = 16;
  struct Case {
    const char* what;
    Query query;
    unsigned rcode;
    std::size_t answers;  // SIZE_MAX: as many as fit, with TC set
    std::size_t limit = 4096;
  } cases[] = {
      {"member name", {.name = "db.velarix.internal."}, LDNS_RCODE_NOERROR, 1},
      {"member name, other letter case", {.name = "wEB.VELARIX.Internal."}, LDNS_RCODE_NOERROR, 1},
      {"member name with a dot", {.name = "a.team.velarix.internal."}, LDNS_RCODE_NOERROR, 1},
      {"name between a member and the zone", {.name = "team.velarix.internal."}, LDNS_RCODE_NOERROR, 0},
      {"the zone itself", {.name = "velarix.internal."}, LDNS_RCODE_NOERROR, 0},
      {"unknown name in the zone", {.name = "nope.velarix.internal."}, LDNS_RCODE_NXDOMAIN, 0},
      {"name outside the zone", {.name = "db.example.com."}, LDNS_RCODE_REFUSED, 0},
      {"zone name as a label, not a suffix", {.name = "velarix.internal.example."}, LDNS_RCODE_REFUSED, 0},
      {"AAAA for a member", {.type = LDNS_RR_TYPE_AAAA}, LDNS_RCODE_NOERROR, 0},
      {"ANY for a member", {.type = LDNS_RR_TYPE_ANY}, LDNS_RCODE_NOERROR, 1},
      {"zone transfer", {.name = "velarix.internal.", .type = LDNS_RR_TYPE_AXFR}, LDNS_RCODE_REFUSED, 0},
      {"class CH", {.cls = LDNS_RR_CLASS_CH}, LDNS_RCODE_REFUSED, 0},
      {"no recursion desired", {.rd = false}, LDNS_RCODE_REFUSED, 0},
      {"NOTIFY", {.opcode = LDNS_PACKET_NOTIFY}, LDNS_RCODE_NOTIMPL, 0},
      {"STATUS", {.opcode = LDNS_PACKET_STATUS}, LDNS_RCODE_NOTIMPL, 0},
      {"EDNS version 1", {.edns = 1232, .edns_version = 1}, kBadVers, 0, 1232},
      {"EDNS with DO", {.edns = 1232, .dnssec_ok = true}, LDNS_RCODE_NOERROR, 1, 1232},
      {"over 512 bytes without EDNS: whole", {.name = "big.velarix.internal."}, LDNS_RCODE_NOERROR, 40},
      {"over 4096 bytes without EDNS: cut", {.name = "huge.velarix.internal."}, LDNS_RCODE_NOERROR, SIZE_MAX},
      {"EDNS 512", {.name = "big.velarix.internal.", .edns = 512}, LDNS_RCODE_NOERROR, SIZE_MAX, 512},
      {"EDNS below 512 counts as 512", {.name = "big.velarix.internal.", .edns = 100}, LDNS_RCODE_NOERROR, SIZE_MAX,
       512},
      {"EDNS 1232", {.name = "big.velarix.internal.", .edns = 1232}, LDNS_RCODE_NOERROR, 40, 1232},
      {"EDNS 65535", {.name = "huge.velarix.internal.", .edns = 65535}, LDNS_RCODE_NOERROR, 300, 65507},
      {"beyond what one packet holds", {.name = "giant.velarix.internal.", .edns = 65535}, LDNS_RCODE_NOERROR,
       SIZE_MAX, 65507},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto q = encode(c.query);
    const auto packet = ask(q);
    ASSERT_TRUE(packet);
    auto msg = check_answer_packet(*packet);
    ASSERT_TRUE(msg);
    const ldns_pkt* m = msg.get();
    const std::size_t size = packet->size() - 28;

    EXPECT_EQ(ldns_pkt_id(m), c.query.id);
    EXPECT_TRUE(ldns_pkt_qr(m));
    EXPECT_EQ(ldns_pkt_get_opcode(m), c.query.opcode);
    EXPECT_FALSE(ldns_pkt_aa(m)) << "never authoritative";
    EXPECT_TRUE(ldns_pkt_ra(m)) << "recursion available";
    EXPECT_EQ(ldns_pkt_rd(m), c.query.rd);
    EXPECT_EQ(rcode_of(*m), c.rcode);
    EXPECT_EQ(ldns_pkt_qdcount(m), 1) << "the question comes back";
    EXPECT_EQ(ldns_pkt_nscount(m) + ldns_pkt_arcount(m), 0);
    EXPECT_EQ(ldns_pkt_edns(m), c.query.edns.has_value()) << "OPT back only for OPT";
    if (c.query.edns) {
      EXPECT_EQ(ldns_pkt_edns_version(m), 0);
      EXPECT_EQ(ldns_pkt_edns_do(m), c.query.dnssec_ok);
      EXPECT_EQ(ldns_pkt_edns_udp_size(m), c.limit);
    }
    EXPECT_LE(size, c.limit);
    if (c.answers == SIZE_MAX) {
      EXPECT_TRUE(ldns_pkt_tc(m));
      EXPECT_GT(ldns_pkt_ancount(m), 0);
      EXPECT_GT(size + 16, c.limit) << "as many records as fit";
    } else {
      EXPECT_FALSE(ldns_pkt_tc(m));
      EXPECT_EQ(ldns_pkt_ancount(m), c.answers);
    }
    const ldns_rr_list* answers = ldns_pkt_answer(m);
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(answers); ++i) {
      const ldns_rr* rr = ldns_rr_list_rr(answers, i);
      EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
      EXPECT_EQ(ldns_rr_get_class(rr), LDNS_RR_CLASS_IN);
      EXPECT_EQ(ldns_rr_ttl(rr), 10u);
      // The owner is the name as asked, letter case included.
      EXPECT_EQ(ldns_rdf_compare(ldns_rr_owner(rr), ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_question(m), 0))), 0);
    }
  }
}

TEST_F(DnsResponder, OwnerNameEchoesTheQuestionsLetterCase) {
  auto packet = ask(encode({.name = "wEB.VELARIX.Internal."}));
  ASSERT_TRUE(packet);
  auto msg = check_answer_packet(*packet);
  ASSERT_TRUE(msg);
  ASSERT_EQ(ldns_pkt_ancount(msg.get()), 1);
  char* owner = ldns_rdf2str(ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_answer(msg.get()), 0)));
  EXPECT_STREQ(owner, "wEB.VELARIX.Internal.");
  std::free(owner);
}

TEST_F(DnsResponder, MalformedQuestionSectionsAreFormatErrors) {
  // Header fields by hand: ID 0x0102, RD, counts as given; one question "a." A IN.
  const auto message = [](std::uint16_t qd, std::uint16_t ar, std::vector<std::uint8_t> rest) {
    std::vector<std::uint8_t> m = {0x01, 0x02, 0x01, 0x00, 0, static_cast<std::uint8_t>(qd), 0, 0, 0, 0,
                                   0,    static_cast<std::uint8_t>(ar)};
    m.insert(m.end(), rest.begin(), rest.end());
    return m;
  };
  const std::vector<std::uint8_t> question = {1, 'a', 0, 0, 1, 0, 1};
  const std::vector<std::uint8_t> opt = {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0};
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"no question", message(0, 0, {})},
      {"two questions", message(2, 0, [&] {
         auto q = question;
         q.insert(q.end(), question.begin(), question.end());
         return q;
       }())},
      {"two OPT records", message(1, 2, [&] {
         auto q = question;
         q.insert(q.end(), opt.begin(), opt.end());
         q.insert(q.end(), opt.begin(), opt.end());
         return q;
       }())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto packet = ask(c.bytes);
    ASSERT_TRUE(packet);
    auto msg = check_answer_packet(*packet);
    ASSERT_TRUE(msg);
    EXPECT_EQ(ldns_pkt_id(msg.get()), 0x0102);
    EXPECT_EQ(ldns_pkt_get_rcode(msg.get()), LDNS_RCODE_FORMERR);
    EXPECT_EQ(ldns_pkt_ancount(msg.get()), 0);
  }
}

TEST_F(DnsResponder, RecordsBeyondTheQuestionAndUnnamedOpCodes) {
  // Two TSIG records (once leaked by the decoder) and a record in the answer
  // section: read, never echoed, the question answered.
  auto with_records = encode({});
  with_records[7] = 1;   // ANCOUNT
  with_records[11] = 2;  // ARCOUNT
  const std::vector<std::uint8_t> a_record = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 5, 0, 4, 1, 2, 3, 4};
  const std::vector<std::uint8_t> tsig = {0, 0, 250, 0, 255, 0, 0, 0, 0, 0, 0};
  for (const auto* part : {&a_record, &tsig, &tsig}) {
    with_records.insert(with_records.end(), part->begin(), part->end());
  }
  auto packet = ask(with_records);
  ASSERT_TRUE(packet);
  auto msg = check_answer_packet(*packet);
  ASSERT_TRUE(msg);
  EXPECT_EQ(ldns_pkt_get_rcode(msg.get()), LDNS_RCODE_NOERROR);
  EXPECT_EQ(ldns_pkt_ancount(msg.get()), 1);
  EXPECT_EQ(ldns_pkt_nscount(msg.get()) + ldns_pkt_arcount(msg.get()), 0);
  EXPECT_FALSE(ldns_pkt_tsig(msg.get()));

  // Op code 6 has no name in ldns; the answer still repeats it.
  auto unnamed = encode({});
  LDNS_OPCODE_SET(unnamed.data(), 6);
  packet = ask(unnamed);
  ASSERT_TRUE(packet);
  msg = check_answer_packet(*packet);
  ASSERT_TRUE(msg);
  EXPECT_EQ(ldns_pkt_get_rcode(msg.get()), LDNS_RCODE_NOTIMPL);
  EXPECT_EQ(((*packet)[28 + 2] >> 3) & 0x0F, 6);
}

TEST_F(DnsResponder, UndecodableDatagramsAndResponsesGetNoAnswer) {
  auto response = encode({});
  response[2] |= 0x80;  // QR: a response sent to the server
  const std::vector<std::uint8_t> truncated_question = {0x01, 0x02, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a', 'b'};
  const std::vector<std::uint8_t> pointer_loop = {0x01, 0x02, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1};
  const std::vector<std::uint8_t> counts_beyond_data = {0x01, 0x02, 0x01, 0x00, 0, 1, 0, 5, 0, 0, 0, 0,
                                                        1,    'a',  0,    0,    1, 0, 1};
  const std::vector<std::vector<std::uint8_t>> cases = {
      {}, {0x01, 0x02, 0x01}, std::vector<std::uint8_t>(11, 0), truncated_question, pointer_loop, counts_beyond_data,
      response};
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_FALSE(ask(cases[i])) << "case " << i;

  // And the responder goes on answering.
  EXPECT_TRUE(ask(encode({})));
}

// ---- compression pointers ------------------------------------------------------

// A message from its header fields (ID 0x0102, RD) and the bytes after the header.
std::vector<std::uint8_t> dns_message(std::uint16_t qd, std::uint16_t an, std::uint16_t ar,
                                      const std::vector<std::uint8_t>& rest) {
  std::vector<std::uint8_t> m = {0x01, 0x02, 0x01, 0x00, static_cast<std::uint8_t>(qd >> 8),
                                 static_cast<std::uint8_t>(qd), static_cast<std::uint8_t>(an >> 8),
                                 static_cast<std::uint8_t>(an), 0, 0, static_cast<std::uint8_t>(ar >> 8),
                                 static_cast<std::uint8_t>(ar)};
  m.insert(m.end(), rest.begin(), rest.end());
  return m;
}

std::vector<std::uint8_t> pointer_to(std::size_t offset) {
  return {static_cast<std::uint8_t>(0xC0 | (offset >> 8)), static_cast<std::uint8_t>(offset)};
}

// `labels` labels of `size` letters each, as a name in wire form.
std::vector<std::uint8_t> long_name(std::size_t labels, std::uint8_t size) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < labels; ++i) {
    out.push_back(size);
    out.insert(out.end(), size, 'a');
  }
  out.push_back(0);
  return out;
}

const std::vector<std::uint8_t> kTypeAClassIn = {0, 1, 0, 1};
// Type, class, TTL and data length of a record with `data_length` bytes of data
// of a type without a name in its data (TYPE65280, private use).
std::vector<std::uint8_t> record_fields(std::size_t data_length) {
  return {0xFF, 0x00, 0, 1, 0, 0, 0, 5, static_cast<std::uint8_t>(data_length >> 8),
          static_cast<std::uint8_t>(data_length)};
}

// The question "a." A IN, then one record whose data is a chain of `n`
// pointers, each to the one before it (the first to the question's name), then
// a record whose owner name points to the chain's last pointer: that name
// follows n + 1 pointers.
std::vector<std::uint8_t> pointer_chain(std::size_t n) {
  std::vector<std::uint8_t> rest = {1, 'a', 0, 0, 1, 0, 1};
  rest.push_back(0);  // the first record's owner: the root
  auto fields = record_fields(2 * n);
  rest.insert(rest.end(), fields.begin(), fields.end());
  std::size_t previous = 12;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t here = 12 + rest.size();
    auto p = pointer_to(previous);
    rest.insert(rest.end(), p.begin(), p.end());
    previous = here;
  }
  auto owner = pointer_to(previous);
  rest.insert(rest.end(), owner.begin(), owner.end());
  fields = record_fields(0);
  rest.insert(rest.end(), fields.begin(), fields.end());
  return dns_message(1, 2, 0, rest);
}

// A question of `labels` one-letter labels and `records` records whose owner
// names all point back to it: each walks the whole question name again.
std::vector<std::uint8_t> names_walking_the_question(std::size_t labels, std::size_t records) {
  auto rest = long_name(labels, 1);
  rest.insert(rest.end(), kTypeAClassIn.begin(), kTypeAClassIn.end());
  for (std::size_t i = 0; i < records; ++i) {
    auto p = pointer_to(12);
    rest.insert(rest.end(), p.begin(), p.end());
    auto fields = record_fields(0);
    rest.insert(rest.end(), fields.begin(), fields.end());
  }
  return dns_message(1, static_cast<std::uint16_t>(records), 0, rest);
}

TEST_F(DnsResponder, CompressionPointersMustPointBackAndStayFew) {
  const auto with_type = [](std::vector<std::uint8_t> name, std::vector<std::uint8_t> after = {}) {
    name.insert(name.end(), kTypeAClassIn.begin(), kTypeAClassIn.end());
    name.insert(name.end(), after.begin(), after.end());
    return name;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> message;
    bool answered;
  } cases[] = {
      {"a question that points at itself", dns_message(1, 0, 0, with_type(pointer_to(12))), false},
      {"a pointer back into the labels it ends", dns_message(1, 0, 0, with_type({1, 'a', 0xC0, 12})), false},
      // The question ends at 18, where the name "a." follows.
      {"a pointer forwards", dns_message(1, 0, 0, with_type(pointer_to(18), {1, 'a', 0})), false},
      {"a record whose owner points into itself",
       dns_message(1, 1, 0, [&] {
         auto rest = with_type({1, 'a', 0});
         const std::vector<std::uint8_t> owner = {1, 'b', 0xC0, 19};  // 19: where this owner starts
         rest.insert(rest.end(), owner.begin(), owner.end());
         auto fields = record_fields(0);
         rest.insert(rest.end(), fields.begin(), fields.end());
         return rest;
       }()),
       false},
      {"a name following 129 pointers", pointer_chain(128), false},
      {"names walking more than a query needs", names_walking_the_question(60, 10), false},
      {"a reserved label type", dns_message(1, 0, 0, with_type({0x41, 'a', 0})), false},
      {"a name longer than 255 bytes", dns_message(1, 0, 0, with_type(long_name(4, 63))), false},
      // What real encoders write.
      {"a name following 126 pointers", pointer_chain(125), true},
      {"one record pointing back at a long question", names_walking_the_question(60, 1), true},
      {"a name of 255 bytes", dns_message(1, 0, 0, with_type([] {
         auto name = long_name(3, 63);
         name.pop_back();
         auto last = long_name(1, 61);
         name.insert(name.end(), last.begin(), last.end());
         return name;
       }())),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto packet = ask(c.message);
    ASSERT_EQ(packet.has_value(), c.answered);
    if (!packet) continue;
    auto msg = check_answer_packet(*packet);
    ASSERT_TRUE(msg);
    EXPECT_EQ(ldns_pkt_id(msg.get()), 0x0102);
  }
}

TEST_F(DnsResponder, AHostileQuestionCostsNoMoreThanAnOrdinaryOne) {
  // Decoding alone, logging off; the best of three batches each, against load.
  auto& logger = velarix::log::logger();
  const auto level = logger.level();
  logger.set_level(spdlog::level::off);
  const auto catalog = dns_.catalog();
  velarix::p2p::util::LogLimiter limiter;
  const auto batch = [&](const std::vector<std::uint8_t>& payload) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 3; ++round) {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < 2000; ++i) dns::respond(payload, *catalog, kClient, kClientPort, limiter);
      best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    return best;
  };
  const auto ordinary = batch(encode({.name = "db.velarix.internal."}));
  for (const auto& [what, hostile] : {
           std::pair{"a question that points at itself", dns_message(1, 0, 0, {0xC0, 12, 0, 1, 0, 1})},
           std::pair{"a name following 129 pointers", pointer_chain(128)},
           std::pair{"names walking more than a query needs", names_walking_the_question(100, 70)},
       }) {
    const auto cost = batch(hostile);
    EXPECT_LT(cost, 3 * ordinary) << what << ": " << std::chrono::duration<double, std::micro>(cost).count() / 2000
                                  << " us per query against "
                                  << std::chrono::duration<double, std::micro>(ordinary).count() / 2000;
  }
  logger.set_level(level);
}

TEST_F(DnsResponder, UndecodableDatagramsAreLoggedAtARate) {
  auto& logs = velarix::test::LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  logs.clear();
  const auto loop = dns_message(1, 0, 0, {0xC0, 12, 0, 1, 0, 1});
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(ask(loop));
  const auto logged = logs.count("error Failed to decode DNS message: ");
  EXPECT_GE(logged, 1u);
  EXPECT_LE(logged, 10u) << "one line per datagram";
}

TEST_F(DnsResponder, RandomBytesNeverCrashAndAnswersAreWellFormed) {
  std::mt19937 rng(1234);
  const auto valid = encode({.name = "big.velarix.internal.", .edns = 1232});
  std::size_t answered = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes;
    if (round % 2 == 0) {
      bytes.resize(rng() % 64);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    } else {
      // A valid query with a few bytes flipped or cut: mostly decodable.
      bytes = valid;
      for (int k = 0; k < 3; ++k) bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
      if (round % 3 == 0) bytes.resize(rng() % bytes.size());
    }
    const auto packet = ask(bytes);
    if (!packet) continue;
    ++answered;
    auto msg = check_answer_packet(*packet);
    ASSERT_TRUE(msg) << "round " << round;
    EXPECT_EQ(ldns_pkt_id(msg.get()), (bytes[0] << 8) | bytes[1]);
    EXPECT_TRUE(ldns_pkt_qr(msg.get()));
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(answered, 100u) << "the mutated queries should mostly be answered";
}

TEST_F(DnsResponder, QueryBeforeTheFirstCatalogIsRefused) {
  AgentDns fresh;
  const auto q = encode({});
  run(fresh.on_packet(q, *device_, kClient, kServer, kClientPort, kDnsPort));
  const auto packet = written();
  ASSERT_TRUE(packet);
  auto msg = check_answer_packet(*packet);
  ASSERT_TRUE(msg);
  EXPECT_EQ(ldns_pkt_get_rcode(msg.get()), LDNS_RCODE_REFUSED);
}

TEST_F(DnsResponder, AWriteFailureLosesOnlyThatAnswer) {
  // A device whose other end is gone: the write fails with EPIPE (the signal is ignored here).
  struct IgnoreSigpipe {
    void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
    ~IgnoreSigpipe() { std::signal(SIGPIPE, old); }
  } ignore;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  auto broken = *TunDevice::from_fd(io_.get_executor(), fds[0]);
  ::close(fds[1]);
  const auto q = encode({});
  run(dns_.on_packet(q, *broken, kClient, kServer, kClientPort, kDnsPort));
  EXPECT_TRUE(ask(q)) << "the next query is answered normally";
}

TEST(DnsEncoding, AnAnswerThatCannotBeEncodedFallsBackToABareServfail) {
  // A question whose name (577 bytes, beyond any valid name) cannot fit in 512 bytes.
  Message response(ldns_pkt_new());
  ldns_pkt_set_id(response.get(), 0xBEEF);
  ldns_pkt_set_qr(response.get(), true);
  ldns_pkt_set_rd(response.get(), true);
  ldns_pkt_set_edns_udp_size(response.get(), 512);
  std::vector<std::uint8_t> long_name;
  for (int label = 0; label < 9; ++label) {
    long_name.push_back(63);
    long_name.insert(long_name.end(), 63, 'a');
  }
  long_name.push_back(0);
  ldns_rr* question = ldns_rr_new();
  ldns_rr_set_owner(question, ldns_rdf_new_frm_data(LDNS_RDF_TYPE_DNAME, long_name.size(), long_name.data()));
  ldns_rr_set_question(question, true);
  ldns_pkt_push_rr(response.get(), LDNS_SECTION_QUESTION, question);

  dns::Buffer out(ldns_buffer_new(dns::kInitialBufferCapacity));
  EXPECT_NE(dns::encode_within(*response, 512, *out), LDNS_STATUS_OK);
  ASSERT_EQ(dns::encode_response(*response, *out), dns::Encoded::Servfail);
  const std::vector<std::uint8_t> bytes(ldns_buffer_begin(out.get()),
                                        ldns_buffer_begin(out.get()) + ldns_buffer_position(out.get()));
  // Its own ID, QR, RCODE 2, every other bit and count 0.
  const std::vector<std::uint8_t> expected = {0xBE, 0xEF, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes, expected);
}

TEST_F(DnsResponder, LogsTheDiversionAndTheReasonsForNoAnswer) {
  auto& logs = velarix::test::LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  logs.clear();
  ask(std::vector<std::uint8_t>{});
  auto response = encode({});
  response[2] |= 0x80;
  ask(response);
  EXPECT_EQ(logs.count("Failed to decode DNS message: "), 1u);
  EXPECT_EQ(logs.count("Dropping DNS response message to prevent reflection attacks"), 1u);
  EXPECT_EQ(logs.count("DNS packet processing completed"), 2u);
  EXPECT_EQ(logs.count("DNS request handling completed"), 0u);

  logs.clear();
  const auto packet = query_packet(encode({}));
  const auto ip = *Ipv4Header::parse(packet);
  ASSERT_TRUE(dns_.is_dns_query(ip));
  run(dns_.divert(ip, *device_));
  ASSERT_TRUE(written());
  for (const char* line : {"Check for DNS query to DNS server", "Got potential DNS request: 10.20.0.5 -> 10.20.255.254",
                           "Packet has been processed as a DNS request. Skip further processing.",
                           "Received DNS packet from 10.20.0.5:40123 (", "Processing DNS packet using embedded DNS",
                           "Successfully decoded DNS message", "Processing DNS query message", "query:",
                           "Handling DNS request with catalog", "Starting DNS response encoding for ID: 16962",
                           "setting response max size: 4096 for protocol: Udp", "DNS request handling completed"}) {
    EXPECT_EQ(logs.count(line), 1u) << line;
  }
}

TEST_F(DnsResponder, AnsweringAllocatesNothingOnTheCppHeap) {
  // Formatting log lines would allocate; the path is measured with logging off.
  auto& logger = velarix::log::logger();
  const auto level = logger.level();
  logger.set_level(spdlog::level::off);
  const auto packet = query_packet(encode({.name = "db.velarix.internal."}));
  const auto ip = *Ipv4Header::parse(packet);
  const auto noop = []() -> asio::awaitable<void> { co_return; };
  for (int i = 0; i < 3; ++i) {  // warm the coroutine frame caches
    run(dns_.divert(ip, *device_));
    written();
    run(noop());
  }
  {
    velarix::test::AllocCounter counter;
    auto probe = std::make_unique<int>(1);
    ASSERT_EQ(counter.count(), 1u) << "the counter sees allocations";
  }
  std::size_t spawn_only = 0;
  {
    velarix::test::AllocCounter counter;
    run(noop());
    spawn_only = counter.count();
  }
  std::size_t answering = 0;
  {
    velarix::test::AllocCounter counter;
    EXPECT_TRUE(dns_.is_dns_query(ip));
    run(dns_.divert(ip, *device_));
    answering = counter.count();
  }
  logger.set_level(level);
  EXPECT_TRUE(written());
  EXPECT_EQ(answering, spawn_only) << "operator new calls beyond those of spawning a coroutine";
}

}  // namespace
