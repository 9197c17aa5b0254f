// Any bytes a peer can send, through the inbound road's checks before the RX
// lookup, with any MTU: the verdict agrees with the header, nothing is read
// past the packet, and an oversized packet's ICMP answer is whole and correct.
//
// Input: bytes 0-1 the MTU (big-endian), the rest the packet.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "agent/agent.h"
#include "agent/icmp.h"
#include "agent/inbound.h"
#include "network/config/trie.h"

using namespace velarix;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// 10.0.0.0/8 from anywhere in 10.1.0.0/16, and one host route, as a road would hold them.
const agent::RxTrie& rx_trie() {
  static const agent::RxTrie trie = [] {
    agent::RxTrie t;
    network::IpnetTrie<p2p::PubKey> inner;
    inner.insert(network::Ipv4Net(network::Ipv4Addr(10, 1, 0, 0), 16), p2p::PubKey{});
    t.insert(network::Ipv4Net(network::Ipv4Addr(10, 0, 0, 0), 8), std::move(inner));
    network::IpnetTrie<p2p::PubKey> host;
    host.insert(network::Ipv4Net(network::Ipv4Addr(0, 0, 0, 0), 0), p2p::PubKey{});
    t.insert(network::Ipv4Net(network::Ipv4Addr(192, 0, 2, 7), 32), std::move(host));
    return t;
  }();
  return trie;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 2 + 65535) return 0;
  const auto mtu = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
  // A buffer of exactly the packet's length, so that any read past it is caught.
  const std::vector<std::uint8_t> packet(data + 2, data + size);
  const std::span<const std::uint8_t> bytes(packet);

  const auto result = agent::check_inbound_packet(bytes, mtu);
  const auto header = agent::Ipv4Header::parse(bytes);
  check(header.has_value() == (result.verdict != agent::InboundVerdict::Invalid));
  if (!header) {
    check(!result.header && !result.header.error().empty());
    return 0;
  }
  check(header->header_len() >= 20 && header->header_len() <= bytes.size());

  switch (result.verdict) {
    case agent::InboundVerdict::TooBig: {
      check(bytes.size() > mtu && header->dont_fragment());
      const auto reply = agent::create_icmp_fragmentation_needed(bytes, *header, mtu);
      const std::size_t quoted = std::min(bytes.size(), header->header_len() + 8);
      check(reply.size() == 28 + quoted && reply.size() <= 96);
      check(((reply[2] << 8) | reply[3]) == static_cast<int>(reply.size()));
      check(agent::internet_checksum(std::span(reply).first(20)) == 0);
      check(agent::internet_checksum(std::span(reply).subspan(20)) == 0);
      check(std::equal(reply.begin() + 28, reply.end(), packet.begin()));
      check(((reply[26] << 8) | reply[27]) == mtu);
      break;
    }
    case agent::InboundVerdict::Control:
      check(!(bytes.size() > mtu && header->dont_fragment()) && agent::is_velarix_control_packet(bytes));
      break;
    case agent::InboundVerdict::Lookup: {
      check(!(bytes.size() > mtu && header->dont_fragment()) && !agent::is_velarix_control_packet(bytes));
      // The lookup the road does next, on the addresses it read.
      const auto* peer = network::lookup_route(rx_trie(), header->src(), header->dst());
      (void)peer;
      break;
    }
    case agent::InboundVerdict::Invalid:
      check(false);
  }
  return 0;
}
