// Node-to-node throughput over the direct path on loopback (armed 1,200-byte
// payloads, short headers), next to a plain UDP send/receive loop on loopback
// measured the same way: batches sent back to back, with up to 256 payloads on
// their way.

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

#include "common/node_pair.h"
#include "node/inner.h"
#include "node/node.h"
#include "util/runtime.h"
#include "util/udp_batch.h"

namespace {

using namespace velarix::p2p;
using namespace std::chrono_literals;
using velarix::bench::Arrivals;
namespace ip = boost::asio::ip;

constexpr std::size_t kPayload = 1200;
constexpr int kBatch = 64;

void BM_NodeDirectPath(benchmark::State& state) {
  velarix::bench::NodePair pair({.network_mtu = 1500});
  pair.size = kPayload;
  if (!pair.direct()) {
    state.SkipWithError("no direct path");
    return;
  }
  std::vector<std::uint8_t> payload(kPayload, 0x5A);
  const auto start = pair.arrivals.count();
  const std::uint64_t sent = velarix::bench::send_batches(state, pair, payload, kBatch, start);
  pair.arrivals.wait_for(start + sent);
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
  // Buffers sized as the node sizes its own, so that the packets on their way fit.
  for (auto* s : {&rx, &tx}) util::size_socket_buffers(s->native_handle(), NodeInner::kSocketBufferBytes);
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
    arrivals.wait_for_room(0, sent, kBatch);
    for (int i = 0; i < kBatch; ++i) {
      boost::system::error_code ec;
      tx.send_to(boost::asio::buffer(payload), dst, 0, ec);
    }
    sent += kBatch;
  }
  arrivals.wait_for(sent);
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
