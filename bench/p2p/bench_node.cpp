// Node-to-node throughput over the direct path on loopback (armed 1,200-byte
// payloads, short headers), next to a plain UDP send/receive loop on loopback
// measured the same way: batches sent back to back, each waited for.

#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "node/node.h"
#include "superpeer/super_peer_server.h"
#include "util/runtime.h"

namespace {

using namespace velarix::p2p;
using namespace std::chrono_literals;
namespace ip = boost::asio::ip;

constexpr std::size_t kPayload = 1200;
constexpr int kBatch = 64;

// Counts arrivals; a sender waits for a count with a deadline.
class Arrivals {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
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

class CountingSink final : public MessageSink {
 public:
  explicit CountingSink(Arrivals& a) : arrivals_(a) {}
  void accept(const PubKey&, std::span<const std::uint8_t> payload) override {
    if (payload.size() == kPayload) arrivals_.add();
  }

 private:
  Arrivals& arrivals_;
};

struct Pair {
  util::Runtime rt{4};
  Arrivals arrivals;
  std::unique_ptr<SuperPeerServer> server;
  std::shared_ptr<Node> a, b;
  std::shared_ptr<SendHandle> handle;

  Pair() {
    const auto sp_id = *Identity::generate(0);
    SuperPeerOptions so{.identity = sp_id, .network_id = 9};
    so.min_pow_difficulty = 0;
    so.unite_interval = 100ms;
    server = std::move(*SuperPeerServer::start(rt, so));
    const auto ida = *Identity::generate(0);
    const auto idb = *Identity::generate(0);
    a = bind(ida, std::make_shared<CountingSink>(arrivals));
    b = bind(idb, std::make_shared<CountingSink>(arrivals));
    handle = *a->send_handle(idb.pk());
    // Traffic until the direct path with short headers is in place.
    std::vector<std::uint8_t> payload(kPayload, 1);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end) {
      (void)util::block_on(rt, handle->send(payload));
      const auto st = handle->state();
      if (st->direct_path && st->tx_short_id) break;
      std::this_thread::sleep_for(20ms);
    }
  }
  ~Pair() {
    a.reset();
    b.reset();
    server->stop();
  }

  std::shared_ptr<Node> bind(const Identity& id, std::shared_ptr<MessageSink> sink) {
    NodeOptsBuilder ob;
    ob.identity(id)
        .message_sink(std::move(sink))
        .udp_addrs({ip::make_address("127.0.0.1")})
        .udp_port(std::uint16_t{0})
        .udp_sockets(1)
        .arm_messages(true)
        .min_pow_difficulty(0)
        .network_mtu(1500)
        .housekeeping_interval(200)
        .super_peers({server->url()});
    return *util::block_on(rt, Node::bind(*ob.build()));
  }
};

boost::asio::awaitable<void> send_batch(std::shared_ptr<SendHandle> handle, const std::vector<std::uint8_t>& payload,
                                        int n) {
  for (int i = 0; i < n; ++i) (void)co_await handle->send(payload);
}

void BM_NodeDirectPath(benchmark::State& state) {
  Pair pair;
  const auto st = pair.handle->state();
  if (!st->direct_path || !st->tx_short_id) {
    state.SkipWithError("no direct path");
    return;
  }
  std::vector<std::uint8_t> payload(kPayload, 0x5A);
  const auto start = pair.arrivals.count();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    util::block_on(pair.rt, send_batch(pair.handle, payload, kBatch));
    sent += kBatch;
    pair.arrivals.wait_for(start + sent);
  }
  const auto got = pair.arrivals.count() - start;
  state.SetItemsProcessed(static_cast<std::int64_t>(got));
  state.counters["payloads_per_s"] = benchmark::Counter(static_cast<double>(got), benchmark::Counter::kIsRate);
  state.counters["sent"] = static_cast<double>(sent);
  state.counters["lost"] = static_cast<double>(sent) - static_cast<double>(got);
}
BENCHMARK(BM_NodeDirectPath)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_PlainUdpLoop(benchmark::State& state) {
  boost::asio::io_context io;
  ip::udp::socket rx(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
  ip::udp::socket tx(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
  timeval tv{0, 50'000};
  ::setsockopt(rx.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  Arrivals arrivals;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<std::uint8_t> buf(2048);
    while (!stop.load()) {
      const auto n = ::recv(rx.native_handle(), buf.data(), buf.size(), 0);
      if (n == static_cast<long>(kPayload)) arrivals.add();
    }
  });
  const auto dst = rx.local_endpoint();
  std::vector<std::uint8_t> payload(kPayload, 0x5A);
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      boost::system::error_code ec;
      tx.send_to(boost::asio::buffer(payload), dst, 0, ec);
    }
    sent += kBatch;
    arrivals.wait_for(sent);
  }
  stop = true;
  reader.join();
  const auto got = arrivals.count();
  state.SetItemsProcessed(static_cast<std::int64_t>(got));
  state.counters["payloads_per_s"] = benchmark::Counter(static_cast<double>(got), benchmark::Counter::kIsRate);
  state.counters["sent"] = static_cast<double>(sent);
  state.counters["lost"] = static_cast<double>(sent) - static_cast<double>(got);
}
BENCHMARK(BM_PlainUdpLoop)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
