// The TUN runner and the TUN-to-overlay road, top to bottom: read, IPv4 check,
// control filter, loopback, TX lookup, offer to the C2D channel (or, without a
// route, the DNS diversion).

#include "agent/netif/tun_runner.h"

#include <algorithm>

#include <boost/asio/this_coro.hpp>

#include "agent/agent.h"
#include "agent/env_settings.h"
#include "agent/inner.h"
#include "agent/ip_packet.h"
#include "util/log.h"
#include "util/net.h"
#include "util/task_set.h"
#include "util/until_cancelled.h"
#include "util/yield.h"

namespace velarix::agent {

namespace asio = boost::asio;
using p2p::util::CancellationToken;

asio::awaitable<void> handle_outbound_packet(AgentInner& inner, TxTrieCache& tx, TunDevice& device,
                                             std::span<const std::uint8_t> packet) {
  // Not IPv4, or a header longer than what was read: dropped without a word.
  const auto header = Ipv4Header::parse(packet);
  if (!header) co_return;
  const auto src = header->src();
  const auto dst = header->dst();
  if (log::enabled(spdlog::level::trace)) {
    log::trace("Forwarding packet from TUN device to Velarix: {} -> {} ({} bytes) src={} dst={} payload_len={}", src,
               dst, packet.size(), src, dst, packet.size());
  }

  if (is_velarix_control_packet(packet)) {
    log::trace("Dropping Velarix control plane packet: {} -> {} (control traffic filtered) src={} dst={}", src, dst, src,
               dst);
    co_return;
  }

  // A packet to its own source never leaves this host.
  if (src == dst) {
    log::trace("Loopback packet detected: {} -> {}, sending directly back to TUN device src={} dst={}", src, dst, src,
               dst);
    auto written = co_await device.send(packet);
    if (!written) {
      p2p::util::limited_log_with(inner.dropped_packets_log, spdlog::level::warn, "dropped packets", [&] {
        const auto error = written.error().message();
        log::warn("Failed to send loopback packet back to TUN device: {} src={} dst={} error={:?}", error, src, dst,
                  error);
      });
    } else {
      log::trace("Successfully sent loopback packet back to TUN device: {} -> {} src={} dst={}", src, dst, src, dst);
    }
    co_return;
  }

  // Destination first, then source within that destination's entry only.
  if (const auto* by_dest = tx.get().longest_match(dst)) {
    log::trace("Found dest trie entry with net {} src={} dst={}", by_dest->net, src, dst);
    const auto* handle = by_dest->value.lookup(src);
    if (handle == nullptr) {
      p2p::util::limited_log(
          inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
          "No outbound route found for source: {} -> {} (source IP not in routing table) src={} dst={}", src, dst, src,
          dst);
      co_return;
    }
    // The one copy of the road: the buffer is the task's and is read into again at once.
    auto offered = inner.c2d_sender->try_send({Packet(packet.begin(), packet.end()), *handle});
    if (offered) {
      log::trace("Successfully forwarded packet to Velarix: {} -> {} src={} dst={}", src, dst, src, dst);
    } else {
      p2p::util::limited_log(inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
                             "Failed to forward packet to Velarix: {} src={} dst={} error={:?}",
                             offered.error().message(), src, dst, offered.error().message());
    }
    co_return;
  }

  // DNS diversion: a UDP query to port 53 of the DNS server address, without a
  // route, is answered here by the embedded responder (when DNS is enabled) and
  // goes no further. Answering inside the reader bounds the queries in progress
  // to the number of readers.
  if (inner.dns && inner.dns->is_dns_query(*header)) {
    co_await inner.dns->divert(*header, device);
    co_return;
  }

  p2p::util::limited_log(
      inner.dropped_packets_log, spdlog::level::warn, "dropped packets",
      "No outbound route found for destination: {} -> {} (missing destination route in routing table) src={} dst={}",
      src, dst, src, dst);
}

namespace {

// A busy device is read without suspending; the C2D tasks the packets go to get
// their turn at least this often.
constexpr unsigned kPacketsPerTurn = 32;

asio::awaitable<void> tun_to_overlay_loop(std::shared_ptr<AgentInner> inner, std::shared_ptr<TunDevice> device,
                                          CancellationToken token, std::int32_t index, std::int32_t count) {
  log::trace("tun -> Velarix packet processing task started ({}/{}).", index + 1, count);
  // Allocated once and read into for every packet. Never empty: a read into an
  // empty buffer would complete at once, again and again.
  std::vector<std::uint8_t> buf(std::max<std::size_t>(inner->mtu, 1), 0);
  TxTrieCache tx(inner->tx_trie);
  auto reader = device->reader(co_await asio::this_coro::executor);
  if (!reader) {
    log::error("Failed to receive packet from TUN device. Cancel token: {}", reader.error().message());
    token.cancel();
    co_return;
  }
  p2p::util::YieldEvery turn(kPacketsPerTurn);
  while (!token.is_cancelled()) {
    if (turn.tick()) co_await p2p::util::yield_now();
    auto n_read = co_await reader->recv(buf);
    if (token.is_cancelled()) break;
    if (!n_read) {
      // Ends every reader of this runner; the rest of the agent goes on.
      log::error("Failed to receive packet from TUN device. Cancel token: {}", n_read.error().message());
      token.cancel();
      continue;
    }
    co_await handle_outbound_packet(*inner, tx, *device, std::span<const std::uint8_t>(buf.data(), *n_read));
  }
}

asio::awaitable<void> tun_to_overlay_task(std::shared_ptr<AgentInner> inner, std::shared_ptr<TunDevice> device,
                                          CancellationToken token, std::int32_t index, std::int32_t count) {
  if (!token.is_cancelled()) {
    co_await run_on(road_executor(*inner, index),
                    p2p::util::until_cancelled(token, tun_to_overlay_loop(inner, device, token, index, count)));
  }
  log::trace("Token cancelled. Exiting tun -> Velarix packet processing task ({}/{}).", index + 1, count);
}

}  // namespace

asio::awaitable<std::expected<void, std::string>> tun_runner(std::shared_ptr<AgentInner> inner,
                                                             std::shared_ptr<TunDevice> device,
                                                             CancellationToken token) {
  const auto threads = env::kTunThreads.read();
  auto executor = co_await asio::this_coro::executor;
  p2p::util::TaskSet tasks(executor);
  // Without a device (the host gave none) there is nothing to read: the runner
  // ends at once and the agent goes on, writing nowhere.
  if (device) {
    for (std::int32_t i = 0; i < threads; ++i) tasks.spawn(tun_to_overlay_task(inner, device, token, i, threads));
  }
  while (auto next = co_await tasks.join_next()) {
    // Returning drops the set, which aborts the tasks still running.
    if (!*next) co_return std::unexpected("TUN task failed: " + next->error().text);
  }
  log::trace("TUN runner done.");
  co_return std::expected<void, std::string>{};
}

}  // namespace velarix::agent
