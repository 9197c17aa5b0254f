#pragma once
// Two nodes and a super peer on loopback, in one process, brought to the direct
// path with short headers; and a count of arrivals that a sender waits on.
// Shared by the node benchmark and the packet-road benchmark, so that both
// measure node to node the same way.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "node/node.h"
#include "superpeer/super_peer_server.h"
#include "util/runtime.h"

namespace velarix::bench {

using namespace std::chrono_literals;

// Counts arrivals; a sender waits for a count with a deadline.
class Arrivals {
 public:
  // A sender keeps up to this many packets on their way and waits only for room, so that
  // every stage of a path stays busy: the rate is the path's throughput, not one batch's
  // round trip through it (which adds a wake-up per stage and batch, more for a longer path).
  static constexpr std::uint64_t kInFlight = 256;

  void add(std::uint64_t n = 1) {
    std::lock_guard lock(mutex_);
    count_ += n;
    if (count_ >= target_) cv_.notify_all();
  }
  // Waits until `n` have arrived or nothing more arrives for a while; returns the count.
  std::uint64_t wait_for(std::uint64_t n) {
    std::unique_lock lock(mutex_);
    target_ = n;
    for (;;) {
      const auto before = count_;
      if (cv_.wait_for(lock, 20ms, [&] { return count_ >= n; })) return count_;
      if (count_ == before) return count_;  // the rest was lost
    }
  }
  // Before `batch` more are sent after `sent` since `start`: waits until at most
  // kInFlight would then be on their way (or nothing more arrives for a while).
  void wait_for_room(std::uint64_t start, std::uint64_t sent, std::uint64_t batch) {
    if (sent + batch > kInFlight) (void)wait_for(start + sent + batch - kInFlight);
  }
  std::uint64_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t count_ = 0;
  std::uint64_t target_ = UINT64_MAX;
};

// Counts the payloads of one size (the size being measured).
class CountingSink final : public p2p::MessageSink {
 public:
  CountingSink(Arrivals& a, const std::atomic<std::size_t>& size) : arrivals_(a), size_(size) {}
  void accept(const p2p::PubKey&, std::span<const std::uint8_t> payload) override {
    if (payload.size() == size_.load(std::memory_order_relaxed)) arrivals_.add();
  }

 private:
  Arrivals& arrivals_;
  const std::atomic<std::size_t>& size_;
};

struct NodePairOptions {
  std::size_t network_mtu = p2p::kDefaultNetworkMtu;
  std::size_t runtime_threads = 4;
};

// Node A with a send handle for node B, over the direct path once it is up.
struct NodePair {
  explicit NodePair(NodePairOptions options = {}) : rt(options.runtime_threads), batch(64, options.network_mtu) {
    const auto sp_id = *p2p::Identity::generate(0);
    p2p::SuperPeerOptions so{.identity = sp_id, .network_id = 9};
    so.min_pow_difficulty = 0;  // the nodes' identities carry no proof of work
    so.unite_interval = 100ms;
    server = std::move(*p2p::SuperPeerServer::start(rt, so));
    const auto ida = *p2p::Identity::generate(0);
    const auto idb = *p2p::Identity::generate(0);
    a = bind(ida, std::make_shared<CountingSink>(arrivals, size), options.network_mtu);
    b = bind(idb, std::make_shared<CountingSink>(arrivals, size), options.network_mtu);
    handle = *a->send_handle(idb.pk());
    // Traffic until the direct path with short headers is in place.
    std::vector<std::uint8_t> payload(64, 1);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end && !direct()) {
      (void)p2p::util::block_on(rt, handle->send(payload));
      std::this_thread::sleep_for(20ms);
    }
  }
  ~NodePair() {
    handle.reset();
    a.reset();
    b.reset();
    server->stop();
  }

  bool direct() const {
    const auto st = handle->state();
    return st->direct_path && st->tx_short_id;
  }

  std::shared_ptr<p2p::Node> bind(const p2p::Identity& id, std::shared_ptr<p2p::MessageSink> sink, std::size_t mtu) {
    p2p::NodeOptsBuilder ob;
    ob.identity(id)
        .message_sink(std::move(sink))
        .udp_addrs({boost::asio::ip::make_address("127.0.0.1")})
        .udp_port(std::uint16_t{0})
        .udp_sockets(1)
        .arm_messages(true)
        .min_pow_difficulty(0)
        .network_mtu(mtu)
        .housekeeping_interval(200)
        .super_peers({server->url()});
    return *p2p::util::block_on(rt, p2p::Node::bind(*ob.build()));
  }

  p2p::util::Runtime rt;
  Arrivals arrivals;
  std::atomic<std::size_t> size{0};  // the payload size that counts as an arrival
  std::unique_ptr<p2p::SuperPeerServer> server;
  std::shared_ptr<p2p::Node> a, b;
  std::shared_ptr<p2p::SendHandle> handle;
  p2p::SendBatch batch;  // the sender's, as a sending task keeps one
};

// Sends `n` payloads the way a sending task does: built into the batch, sent with few system
// calls (one by one only when the handle has no direct path).
inline boost::asio::awaitable<void> send_batch(std::shared_ptr<p2p::SendHandle> handle,
                                               const std::vector<std::uint8_t>* payload, int n,
                                               p2p::SendBatch* batch) {
  batch->clear();
  for (int i = 0; i < n; ++i) {
    auto added = handle->add_to(*batch, *payload, static_cast<std::size_t>(i));
    if (added && *added) {
      if (batch->full()) {
        co_await batch->flush();
        batch->clear();
      }
      continue;
    }
    (void)co_await handle->send(*payload);
  }
  co_await batch->flush();
  batch->clear();
}

// Sends a batch of `payload` per iteration of `state`, with up to Arrivals::kInFlight on their
// way since `start` arrivals; returns how many it sent. The sending task runs on the calling
// thread, as a sending task has a thread of its own (the agent's runs on its socket's lane): a
// batch costs no hand-off to another thread and back, as the plain UDP loop's costs none.
inline std::uint64_t send_batches(benchmark::State& state, NodePair& pair, const std::vector<std::uint8_t>& payload,
                                  int batch, std::uint64_t start) {
  std::uint64_t sent = 0;
  boost::asio::io_context here(1);
  boost::asio::co_spawn(
      here,
      [&]() -> boost::asio::awaitable<void> {
        for (auto _ : state) {
          pair.arrivals.wait_for_room(start, sent, static_cast<std::uint64_t>(batch));
          co_await send_batch(pair.handle, &payload, batch, &pair.batch);
          sent += static_cast<std::uint64_t>(batch);
        }
      },
      boost::asio::detached);
  here.run();
  return sent;
}

}  // namespace velarix::bench
