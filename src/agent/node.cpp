// The node runner: the overlay side of the packet path. It runs one node-watch
// task, the overlay-to-TUN tasks (the inbound road, inbound.cpp) and the
// channel-to-overlay tasks, which send what the TUN readers queued.

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include "agent/env_settings.h"
#include "agent/inbound.h"
#include "agent/inner.h"
#include "util/log.h"
#include "util/net.h"
#include "util/task_set.h"
#include "util/until_cancelled.h"
#include "util/yield.h"

namespace velarix::agent {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using p2p::util::CancellationToken;

namespace {

// Ends with the agent token, or when the node stops by itself.
asio::awaitable<void> node_watch_task(CancellationToken token, std::shared_ptr<p2p::Node> node) {
  co_await (token.cancelled() || node->cancelled());
  if (token.is_cancelled()) {
    log::trace("Node token cancelled.");
  } else {
    log::trace("Node has cancelled prematurely.");
  }
}

asio::awaitable<void> overlay_to_tun_task(std::shared_ptr<AgentInner> inner, CancellationToken token,
                                          std::int32_t index, std::int32_t count) {
  if (!token.is_cancelled()) {
    co_await run_on(road_executor(*inner, index), p2p::util::until_cancelled(token, inbound_loop(inner, token, index, count)));
  }
  log::trace("Token cancelled. Exiting Velarix -> tun packet processing task ({}/{}).", index + 1, count);
}

// Most packets a C2D task takes from the channel at once and sends together.
constexpr std::size_t kC2dBatch = 64;

void warn_send_failed(AgentInner& inner, const C2dChannel::Item& item, const p2p::Error& e) {
  // A link that fails fails every packet sent over it.
  p2p::util::limited_log_with(inner.dropped_packets_log, spdlog::level::warn, "dropped packets", [&] {
    const auto& [packet, handle] = item;
    const auto error = e.message();
    log::warn(
        "Failed to send packet to Velarix network: recipient={}, packet_size={} bytes, error={} packet_size={} "
        "recipient={} error={:?}",
        handle->pk(), packet.size(), error, packet.size(), handle->pk(), error);
  });
}

// Sends each queued packet to its peer: no copy, no lookup, never retried. What is queued
// already when a packet is taken goes with it: the messages to direct paths are built into
// the task's batch and leave in one system call; the others (relayed) are sent one by one.
asio::awaitable<void> c2d_loop(std::shared_ptr<AgentInner> inner, CancellationToken token, std::int32_t index,
                               std::int32_t count) {
  log::trace("channel -> Velarix processing task started ({}/{}).", index + 1, count);
  auto& channel = *inner->c2d_receiver;
  // Allocated once for the task's life.
  p2p::SendBatch batch(kC2dBatch, inner->node ? inner->node->opts().network_mtu : p2p::kDefaultNetworkMtu);
  std::vector<C2dChannel::Item> items;
  items.reserve(kC2dBatch);
  while (!token.is_cancelled()) {
    auto first = co_await channel.receive();
    if (!first) {
      if (first.error().kind == p2p::util::ChannelError::Kind::Cancelled) co_return;  // the task is stopping
      log::error("Failed to receive packet from channel. Cancel token: {}", first.error().message());
      token.cancel();
      co_return;
    }
    items.push_back(std::move(*first));
    while (items.size() < kC2dBatch) {
      auto more = channel.try_receive();
      if (!more) break;
      items.push_back(std::move(*more));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      const auto& [packet, handle] = items[i];
      auto added = handle->add_to(batch, packet, i);
      if (!added) {
        warn_send_failed(*inner, items[i], added.error());
      } else if (!*added) {
        auto sent = co_await handle->send(packet);
        if (!sent) warn_send_failed(*inner, items[i], sent.error());
      }
    }
    if (!batch.empty()) {
      co_await batch.flush();
      for (std::size_t j = 0; j < batch.size(); ++j) {
        if (auto r = batch.result(j); !r) warn_send_failed(*inner, items[batch.tag(j)], r.error());
      }
      batch.clear();
    }
    // A channel that never empties is taken from without suspending: others on this thread
    // get their turn after each full batch.
    const bool full = items.size() == kC2dBatch;
    items.clear();
    if (full) co_await p2p::util::yield_now();
  }
}

asio::awaitable<void> c2d_task(std::shared_ptr<AgentInner> inner, CancellationToken token, std::int32_t index,
                               std::int32_t count) {
  if (!token.is_cancelled()) {
    co_await run_on(road_executor(*inner, index), p2p::util::until_cancelled(token, c2d_loop(inner, token, index, count)));
  }
  log::trace("Token cancelled. Exiting channel -> Velarix processing task ({}/{}).", index + 1, count);
}

}  // namespace

asio::awaitable<void> AgentInner::node_runner(std::shared_ptr<AgentInner> inner, CancellationToken token) {
  const auto c2d_threads = env::kC2dThreads.read();
  const auto tun_threads = env::kTunThreads.read();
  auto executor = co_await asio::this_coro::executor;
  p2p::util::TaskSet tasks(executor);

  tasks.spawn(node_watch_task(token, inner->node));
  for (std::int32_t i = 0; i < tun_threads; ++i) tasks.spawn(overlay_to_tun_task(inner, token, i, tun_threads));
  for (std::int32_t i = 0; i < c2d_threads; ++i) tasks.spawn(c2d_task(inner, token, i, c2d_threads));

  // Any task that ends while the agent lives, or fails, stops the whole agent.
  while (auto next = co_await tasks.join_next()) {
    if (!*next) {
      log::error("Task failed. Cancel token: {}", next->error().text);
      token.cancel();
    } else if (!token.is_cancelled()) {
      log::trace("Task prematurely finished. Cancel token.");
      token.cancel();
    }
  }
  log::trace("Node runner done.");
}

}  // namespace velarix::agent
