#pragma once
// The overlay-to-TUN road: packets that peers sent to this node, checked and
// written to the TUN device.

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "agent/firewall/firewall.h"
#include "agent/ip_packet.h"
#include "identity/identity.h"
#include "util/cancellation_token.h"

namespace velarix::agent {

struct AgentInner;

// What the road makes of a packet before any route lookup, in the order it tests.
enum class InboundVerdict : std::uint8_t {
  Invalid,  // not a readable IPv4 header
  TooBig,   // above the MTU with Don't Fragment set: answered with ICMP, not delivered
  Control,  // our own control traffic
  Lookup,   // goes on to the RX lookup
};

struct InboundCheck {
  InboundVerdict verdict;
  // The header for every verdict but Invalid, else the decoder's text.
  std::expected<Ipv4Header, std::string_view> header;
};

// Pure and allocation-free; reads nothing past `packet`.
InboundCheck check_inbound_packet(std::span<const std::uint8_t> packet, std::uint16_t mtu) noexcept;

// One packet from `sender`: the checks, the ICMP answer or the RX lookup and
// sender check, then the write to the TUN device. `rx` is the calling task's
// view of the RX trie. Allocates nothing for a packet it delivers.
boost::asio::awaitable<void> handle_inbound_packet(AgentInner& inner, RxTrieCache& rx, const p2p::PubKey& sender,
                                                   std::span<const std::uint8_t> packet);

// The loop of one overlay-to-TUN task: takes packets from the node receive
// channel until the channel closes (then it cancels `token`). It has no other
// exit; its task stops it through the token.
boost::asio::awaitable<void> inbound_loop(std::shared_ptr<AgentInner> inner, p2p::util::CancellationToken token,
                                          std::int32_t index, std::int32_t count);

}  // namespace velarix::agent
