// DNS queries per second, answered (and one hostile kind refused): query
// packets handed to the responder as the TUN reader would, answers written to
// a socketpair standing in for the TUN device and read back. Also counts the C
// heap allocations per query (all of them ldns's: the decoded query, the
// answer records, the output buffer).

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/dns/dns.h"
#include "agent/dns/message.h"

namespace {
thread_local std::size_t c_allocations = 0;
}  // namespace

// Counting wrappers around the C allocator (this program only).
extern "C" {
void* __libc_malloc(std::size_t) noexcept;
void* __libc_calloc(std::size_t, std::size_t) noexcept;
void* __libc_realloc(void*, std::size_t) noexcept;
void* malloc(std::size_t n) noexcept {
  ++c_allocations;
  return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
  ++c_allocations;
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) noexcept {
  ++c_allocations;
  return __libc_realloc(p, n);
}
}

namespace {

namespace asio = boost::asio;
using namespace velarix::agent;
using velarix::network::HostnameList;
using velarix::network::Ipv4Addr;

const Ipv4Addr kServer(10, 20, 255, 254);
const Ipv4Addr kClient(10, 20, 0, 5);

NetworkMap networks() {
  Network n;
  n.current_state.ip.applied = *velarix::network::Ipv4Net::parse("10.20.0.1/16");
  HostnameList list;
  for (std::uint32_t i = 0; i < 200; ++i) list.hostnames.emplace(Ipv4Addr(0x0A140000 + i), "host" + std::to_string(i));
  for (std::uint32_t i = 0; i < 40; ++i) list.hostnames.emplace(Ipv4Addr(0x0A150000 + i), "big");
  n.desired_state.hostnames.applied = list;
  NetworkMap map;
  map.emplace(*Url::parse("https://bench.example/"), std::move(n));
  return map;
}

// A DNS message in an IPv4/UDP packet from the client to the server.
std::vector<std::uint8_t> udp_packet(std::span<const std::uint8_t> message) {
  std::vector<std::uint8_t> packet(kIpv4UdpHeaderLen + message.size());
  std::copy(message.begin(), message.end(), packet.begin() + kIpv4UdpHeaderLen);
  write_ipv4_udp_header(std::span(packet).first<kIpv4UdpHeaderLen>(), kClient, 40000, kServer, kDnsPort, 64,
                        std::span(packet).subspan(kIpv4UdpHeaderLen));
  return packet;
}

std::vector<std::uint8_t> query_packet(const char* name, std::uint16_t edns) {
  ldns_pkt* raw = nullptr;
  ldns_pkt_query_new_frm_str(&raw, name, LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, LDNS_RD);
  dns::Message query(raw);
  if (edns) ldns_pkt_set_edns_udp_size(raw, edns);
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  ldns_pkt2wire(&data, raw, &size);
  auto packet = udp_packet(std::span<const std::uint8_t>(data, size));
  std::free(data);
  return packet;
}

void run_queries(benchmark::State& state, const std::vector<std::uint8_t>& packet, bool answered_expected);

void answer_queries(benchmark::State& state, const char* name, std::uint16_t edns) {
  run_queries(state, query_packet(name, edns), true);
}

void run_queries(benchmark::State& state, const std::vector<std::uint8_t>& packet, bool answered_expected) {
  asio::io_context io;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  auto device = *TunDevice::from_fd(io.get_executor(), fds[0]);
  AgentDns dns;
  auto map = networks();
  dns.apply_desired_state(map);

  const auto ip = *Ipv4Header::parse(packet);
  std::vector<std::uint8_t> rx(65536);
  std::size_t answered = 0;
  std::size_t answer_bytes = 0;
  const std::size_t allocations_before = c_allocations;
  auto loop = [&]() -> asio::awaitable<void> {
    for (auto _ : state) {
      if (dns.is_dns_query(ip)) co_await dns.divert(ip, *device);
      const ssize_t n = ::recv(fds[1], rx.data(), rx.size(), MSG_DONTWAIT);
      if (n > 0) {
        ++answered;
        answer_bytes = static_cast<std::size_t>(n);
      }
    }
  };
  asio::co_spawn(io, loop(), asio::detached);
  io.run();
  const std::size_t allocations = c_allocations - allocations_before;
  ::close(fds[1]);
  if (static_cast<benchmark::IterationCount>(answered) != (answered_expected ? state.iterations() : 0)) {
    state.SkipWithError(answered_expected ? "a query was not answered" : "a refused query was answered");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(answered));
  state.counters["answer_bytes"] = static_cast<double>(answer_bytes);
  state.counters["c_allocs_per_query"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(std::max<std::size_t>(answered, 1)));
}

void BM_DnsMemberName(benchmark::State& state) { answer_queries(state, "host7.velarix.internal.", 0); }
void BM_DnsUnknownName(benchmark::State& state) { answer_queries(state, "nobody.velarix.internal.", 0); }
void BM_DnsFortyRecordsEdns(benchmark::State& state) { answer_queries(state, "big.velarix.internal.", 1232); }

// A question whose name is a compression pointer to itself: refused without
// an answer, at no more cost than an ordinary query.
void BM_DnsPointerLoop(benchmark::State& state) {
  const std::uint8_t loop[] = {0x42, 0x42, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1};
  run_queries(state, udp_packet(loop), false);
}

BENCHMARK(BM_DnsMemberName);
BENCHMARK(BM_DnsUnknownName);
BENCHMARK(BM_DnsFortyRecordsEdns);
BENCHMARK(BM_DnsPointerLoop);

}  // namespace
