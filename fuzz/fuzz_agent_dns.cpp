// Arbitrary UDP payloads through the DNS responder, from the payload to the
// packet written to a socketpair standing in for the TUN device. Every log line
// is formatted (into a sink that drops it), so the log texts are fuzzed too.
//
// Checked for every input: at most one packet comes out; an input that does
// not decode, or a DNS response, gets none, every other input one; a packet that comes out has IPv4 and
// UDP length fields equal to its size, valid checksums, addresses and ports
// swapped from the query's, a DNS message that decodes, carries the query's ID
// and stays within 65,507 bytes.

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <spdlog/sinks/null_sink.h>

#include "agent/dns/dns.h"
#include "agent/dns/message.h"
#include "util/log.h"

using namespace velarix::agent;
using velarix::network::HostnameList;
using velarix::network::Ipv4Addr;

namespace {

const Ipv4Addr kServer(10, 20, 255, 254);
const Ipv4Addr kClient(10, 20, 0, 5);
constexpr std::uint16_t kClientPort = 5353;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::uint16_t be16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]);
}

bool checksum_ok(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  for (std::size_t i = 0; i < bytes.size(); i += 2) sum += (bytes[i] << 8) | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

struct World {
  boost::asio::io_context io;
  std::shared_ptr<TunDevice> device;
  int peer = -1;
  AgentDns dns;
  std::vector<std::uint8_t> rx = std::vector<std::uint8_t>(70000);

  World() {
    auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::trace);
    velarix::log::install(std::move(logger));

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
    device = *TunDevice::from_fd(io.get_executor(), fds[0]);
    peer = fds[1];

    Network n;
    n.current_state.ip.applied = *velarix::network::Ipv4Net::parse("10.20.0.1/16");
    HostnameList list;
    list.hostnames.emplace(Ipv4Addr(10, 20, 0, 7), "db");
    list.hostnames.emplace(Ipv4Addr(10, 20, 0, 8), "a.team");
    for (std::uint32_t i = 0; i < 300; ++i) list.hostnames.emplace(Ipv4Addr(0x0A150000 + i), "big");
    n.desired_state.hostnames.applied = list;
    NetworkMap map;
    map.emplace(*Url::parse("https://fuzz.example/"), std::move(n));
    dns.apply_desired_state(map);
    if (!dns.server_ip() || *dns.server_ip() != kServer) std::abort();
  }
};

World& world() {
  static World w;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& w = world();
  const std::span<const std::uint8_t> payload(data, size);
  boost::asio::co_spawn(w.io, w.dns.on_packet(payload, *w.device, kClient, kServer, kClientPort, kDnsPort),
                        boost::asio::detached);
  w.io.restart();
  w.io.run();

  const ssize_t n = ::recv(w.peer, w.rx.data(), w.rx.size(), MSG_DONTWAIT);
  // Whether the input decodes decides whether an answer is due.
  const bool decodes = dns::decode_message(payload).has_value();
  const bool is_response = decodes && (data[2] & 0x80) != 0;
  if (n < 0) {
    check(!decodes || is_response);
    return 0;
  }
  check(decodes && !is_response);
  const std::span<const std::uint8_t> p(w.rx.data(), static_cast<std::size_t>(n));
  check(p.size() >= 28 + 12);
  check(p[0] == 0x45 && be16(p, 2) == p.size() && be16(p, 6) == 0x4000 && p[8] == 64 && p[9] == 17);
  check(checksum_ok(p.first(20), 0));
  check(be16(p, 12) == (kServer.to_uint() >> 16) && be16(p, 14) == (kServer.to_uint() & 0xFFFF));
  check(be16(p, 16) == (kClient.to_uint() >> 16) && be16(p, 18) == (kClient.to_uint() & 0xFFFF));
  check(be16(p, 20) == kDnsPort && be16(p, 22) == kClientPort && be16(p, 24) == p.size() - 20);
  const std::uint32_t pseudo = be16(p, 12) + be16(p, 14) + be16(p, 16) + be16(p, 18) + 17 + (p.size() - 20);
  check(checksum_ok(p.subspan(20), pseudo));

  const auto dns_bytes = p.subspan(28);
  check(dns_bytes.size() <= kMaxIpv4UdpPayload);
  check(be16(dns_bytes, 0) == ((data[0] << 8) | data[1]));
  ldns_pkt* answer = nullptr;
  check(ldns_wire2pkt(&answer, dns_bytes.data(), dns_bytes.size()) == LDNS_STATUS_OK);
  check(ldns_pkt_qr(answer) && !ldns_pkt_aa(answer));
  ldns_pkt_free(answer);

  // One packet per query, never more.
  check(::recv(w.peer, w.rx.data(), w.rx.size(), MSG_DONTWAIT) < 0);
  return 0;
}
