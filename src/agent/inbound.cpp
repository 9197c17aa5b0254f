// The overlay-to-TUN road, top to bottom: receive, decode, size test (ICMP
// answer), control filter, RX lookup, sender check, write.

#include "agent/inbound.h"

#include "agent/agent.h"
#include "agent/icmp.h"
#include "agent/inner.h"
#include "util/log.h"
#include "util/net.h"
#include "util/yield.h"

namespace velarix::agent {

namespace asio = boost::asio;
using p2p::util::CancellationToken;

InboundCheck check_inbound_packet(std::span<const std::uint8_t> packet, std::uint16_t mtu) noexcept {
  auto header = Ipv4Header::parse(packet);
  if (!header) return {InboundVerdict::Invalid, header};
  // Before anything else: even a control packet, or one from a sender without
  // a route, gets the answer that lets its sender lower its packet size.
  if (packet.size() > mtu && header->dont_fragment()) return {InboundVerdict::TooBig, header};
  if (is_velarix_control_packet(packet)) return {InboundVerdict::Control, header};
  return {InboundVerdict::Lookup, header};
}

namespace {

// The ICMP answer goes back through the overlay to the packet's sender.
asio::awaitable<void> answer_too_big(AgentInner& inner, const p2p::PubKey& sender, std::span<const std::uint8_t> packet,
                                     const Ipv4Header& header) {
  const auto reply = create_icmp_fragmentation_needed(packet, header, inner.mtu);
  if (!inner.node) co_return;
  auto handle = inner.node->send_handle(sender);
  if (!handle) co_return;  // nobody to answer: silently dropped
  auto sent = co_await (*handle)->send(reply);
  if (sent) {
    log::trace("Successfully sent ICMP Fragmentation Needed response to peer peer={}", sender);
  } else {
    p2p::util::limited_log_with(inner.dropped_packets_log, spdlog::level::warn, "dropped packets", [&] {
      const auto error = sent.error().message();
      log::warn("Failed to send ICMP Fragmentation Needed response to peer: {} peer={} error={:?}", error, sender,
                error);
    });
  }
}

}  // namespace

asio::awaitable<void> handle_inbound_packet(AgentInner& inner, RxTrieCache& rx, const p2p::PubKey& sender,
                                            std::span<const std::uint8_t> packet) {
  const auto check = check_inbound_packet(packet, inner.mtu);
  if (check.verdict == InboundVerdict::Invalid) {
    p2p::util::limited_log(inner.dropped_packets_log, spdlog::level::err, "dropped packets",
                           "Failed to decode IP packet from peer {}: {} peer={} error={:?}", sender,
                           check.header.error(), sender, check.header.error());
    co_return;
  }
  const Ipv4Header& header = *check.header;
  const auto src = header.src();
  const auto dst = header.dst();
  if (log::enabled(spdlog::level::trace)) {
    log::trace("Forwarding packet from Velarix to TUN device: {} -> {} ({} bytes) peer={} src={} dst={} payload_len={}",
               src, dst, packet.size(), sender, src, dst, packet.size());
  }

  switch (check.verdict) {
    case InboundVerdict::TooBig:
      log::trace(
          "Packet size {} bytes exceeds MTU {} bytes with Don't Fragment flag set, sending ICMP Fragmentation Needed "
          "peer={} src={} dst={} packet_size={} mtu={}",
          packet.size(), inner.mtu, sender, src, dst, packet.size(), inner.mtu);
      co_await answer_too_big(inner, sender, packet, header);
      co_return;
    case InboundVerdict::Control:
      log::trace("Dropping Velarix control plane packet: {} -> {} (control traffic filtered) peer={} src={} dst={}", src,
                 dst, sender, src, dst);
      co_return;
    case InboundVerdict::Invalid:
    case InboundVerdict::Lookup:
      break;
  }

  // Source first, then destination within that source's entry only.
  const auto* by_source = rx.get().lookup(src);
  if (by_source == nullptr) {
    p2p::util::limited_log(
        inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
        "No inbound route found for source: {} -> {} (source IP not in routing table) peer={} src={} dst={}", src, dst,
        sender, src, dst);
    co_return;
  }
  const p2p::PubKey* allowed = by_source->lookup(dst);
  if (allowed == nullptr) {
    p2p::util::limited_log(
        inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
        "No inbound route found for destination: {} -> {} (missing destination route in routing table) peer={} src={} "
        "dst={}",
        src, dst, sender, src, dst);
    co_return;
  }
  if (*allowed != sender) {
    p2p::util::limited_log(
        inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
        "Security violation: packet source mismatch - received from peer {} with source IP {} but expected peer {} for "
        "this route peer={} expected_peer={} src={} dst={}",
        sender, src, *allowed, sender, *allowed, src, dst);
    co_return;
  }

  // Every check passed: the packet goes out whole, from the buffer it came in.
  auto written = co_await inner.netif.send(packet);
  if (!written) {
    p2p::util::limited_log_with(inner.dropped_packets_log, spdlog::level::warn, "dropped packets", [&] {
      const auto error = written.error().message();
      log::warn("Failed to forward packet to TUN device: {} peer={} src={} dst={} error={:?}", error, sender, src, dst,
                error);
    });
  } else {
    log::trace("Successfully forwarded packet to TUN device: {} -> {} peer={} src={} dst={}", src, dst, sender, src,
               dst);
  }
}

asio::awaitable<void> inbound_loop(std::shared_ptr<AgentInner> inner, CancellationToken token, std::int32_t index,
                                   std::int32_t count) {
  log::trace("Velarix -> tun packet processing task started ({}/{}).", index + 1, count);
  RxTrieCache rx(inner->rx_trie);
  auto& channel = *inner->node_receiver;
  p2p::util::YieldEvery turn(64);  // a channel that never empties is taken from without suspending
  while (!token.is_cancelled()) {
    if (turn.tick()) co_await p2p::util::yield_now();
    auto item = co_await channel.receive();
    if (!item) {
      if (item.error().kind == p2p::util::ChannelError::Kind::Cancelled) co_return;  // the task is stopping
      log::error("Failed to receive packet from Velarix. Cancel token: {}", item.error().message());
      token.cancel();
      co_return;
    }
    co_await handle_inbound_packet(*inner, rx, item->first, item->second);
  }
}

}  // namespace velarix::agent
