// Packets through both packet roads: written at agent A's TUN stand-in, read
// at agent B's (A's TUN reader, C2D task and node; B's node and overlay-to-TUN
// task), armed, over the direct path on loopback. Beside each size, node to
// node over the direct path (the node benchmark's rig) with payloads of the
// same size, measured in the same run; the table at the end gives the ratio.
//
// Both are driven the same way: batches of 64 sent back to back, with up to 256
// packets on their way; each figure is the median of five runs of a second.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/node_pair.h"
#include "common/two_agents.h"
#include "velarix_agent.h"

namespace {

using namespace velarix;
using namespace std::chrono_literals;

constexpr int kBatch = 64;
constexpr std::size_t kSizes[] = {64, 512, 1073};

// Two agents with one network, their direct path up, and a reader that counts
// the packets of the size being measured as they come out at B.
struct RoadsRig {
  test::TwoAgents agents{test::TwoAgents::Options{.arm = true}};
  bench::Arrivals arrivals;
  std::atomic<std::size_t> size{0};
  std::atomic<bool> stop{false};
  std::thread reader;

  RoadsRig() {
    agents.apply_network();
    const auto a = test::ipv4("10.77.0.1");
    const auto b = test::ipv4("10.77.0.2");
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end && !agents.direct()) {
      (void)agents.a().tun.write(test::sized_packet(a, b, 64));
      agents.b().tun.drain();
      std::this_thread::sleep_for(20ms);
    }
    agents.b().tun.drain();
    // The host's side costs as few system calls and wake-ups as it can: whatever is waiting
    // is taken in one call, and after a call that found only a few packets the reader lets
    // more gather for a moment instead of being woken (and preempting the writing agent) for
    // every packet, so that the figure is the agents' more than the rig's. (The node benchmark
    // counts its arrivals inside the receiving node, with no reader at all.)
    reader = std::thread([this] {
      const int fd = agents.b().tun.host_fd();
      constexpr int kMax = 64;
      std::vector<std::vector<std::uint8_t>> bufs(kMax, std::vector<std::uint8_t>(2048));
      std::vector<iovec> iovs(kMax);
      std::vector<mmsghdr> msgs(kMax);
      while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < kMax; ++i) {
          iovs[i] = {bufs[i].data(), bufs[i].size()};
          msgs[i] = {};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(fd, msgs.data(), kMax, MSG_DONTWAIT, nullptr);
        std::uint64_t measured = 0;
        for (int i = 0; i < n; ++i) measured += msgs[i].msg_len == size.load(std::memory_order_relaxed) ? 1 : 0;
        if (measured > 0) arrivals.add(measured);
        if (n <= 0) {
          pollfd pfd{fd, POLLIN, 0};
          (void)::poll(&pfd, 1, 50);
        } else if (n < kMax) {
          std::this_thread::sleep_for(50us);
        }
      }
    });
  }
  ~RoadsRig() {
    stop = true;
    reader.join();
  }

  // Writes the packets at A's stand-in, as many per call as it takes, waiting
  // for room when its buffer is full.
  void write(std::vector<std::vector<std::uint8_t>>& packets) {
    const int fd = agents.a().tun.host_fd();
    std::vector<iovec> iovs(packets.size());
    std::vector<mmsghdr> msgs(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
      iovs[i] = {packets[i].data(), packets[i].size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < packets.size()) {
      const int n = ::sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(packets.size() - done),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      pollfd pfd{fd, POLLOUT, 0};
      (void)::poll(&pfd, 1, 100);
    }
  }
};

bench::NodePair* g_pair = nullptr;
RoadsRig* g_roads = nullptr;

void report(benchmark::State& state, std::uint64_t got, std::uint64_t sent, std::size_t size) {
  state.SetItemsProcessed(static_cast<std::int64_t>(got));
  state.SetBytesProcessed(static_cast<std::int64_t>(got * size));
  state.counters["packets_per_s"] = benchmark::Counter(static_cast<double>(got), benchmark::Counter::kIsRate);
  state.counters["Gbit_per_s"] =
      benchmark::Counter(static_cast<double>(got * size) * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(sent) - static_cast<double>(got);
}

void BM_NodeDirectPath(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  auto& pair = *g_pair;
  if (!pair.direct()) {
    state.SkipWithError("no direct path");
    return;
  }
  pair.size = size;
  std::vector<std::uint8_t> payload(size, 0x5A);
  const auto start = pair.arrivals.count();
  const std::uint64_t sent = bench::send_batches(state, pair, payload, kBatch, start);
  pair.arrivals.wait_for(start + sent);
  report(state, pair.arrivals.count() - start, sent, size);
}

void BM_Roads(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  auto& rig = *g_roads;
  if (!rig.agents.direct()) {
    state.SkipWithError("no direct path");
    return;
  }
  rig.size = size;
  std::vector<std::vector<std::uint8_t>> packets;
  for (int i = 0; i < kBatch; ++i) {
    packets.push_back(test::sized_packet(test::ipv4("10.77.0.1"), test::ipv4("10.77.0.2"), size,
                                         static_cast<std::uint32_t>(i)));
  }
  const auto start = rig.arrivals.count();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    rig.arrivals.wait_for_room(start, sent, kBatch);
    rig.write(packets);
    sent += kBatch;
  }
  rig.arrivals.wait_for(start + sent);
  report(state, rig.arrivals.count() - start, sent, size);
}

// Keeps the console output and notes each run's packet rate for the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Aggregate || r.aggregate_name != "median") continue;
      const auto it = r.counters.find("packets_per_s");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
    }
  }
  void table() const {
    std::printf("\n%-8s %16s %10s %16s %10s %8s\n", "size", "node pkt/s", "Gbit/s", "roads pkt/s", "Gbit/s", "ratio");
    for (std::size_t size : kSizes) {
      const double node = rate("BM_NodeDirectPath/" + std::to_string(size));
      const double roads = rate("BM_Roads/" + std::to_string(size));
      std::printf("%-8zu %16.0f %10.3f %16.0f %10.3f %8.2f\n", size, node, node * size * 8 / 1e9, roads,
                  roads * size * 8 / 1e9, node > 0 ? roads / node : 0.0);
    }
  }

 private:
  double rate(const std::string& name) const {
    for (const auto& [n, v] : rates_) {
      if (n.rfind(name, 0) == 0) return v;
    }
    return 0;
  }
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // As a host runs the agent: its logger shows INFO and above (VELARIX_LOG_LEVEL=off for none),
  // so what the packet roads log and the spans they enter at INFO are paid for here too.
  velarix_agent_init_logging();
  {
    // Node and roads alternate per size, so that a busy moment of the machine hits both alike.
    bench::NodePair pair;
    RoadsRig roads;
    g_pair = &pair;
    g_roads = &roads;
    for (std::size_t size : kSizes) {
      const auto s = static_cast<std::int64_t>(size);
      for (auto* b : {benchmark::RegisterBenchmark("BM_NodeDirectPath", BM_NodeDirectPath),
                      benchmark::RegisterBenchmark("BM_Roads", BM_Roads)}) {
        b->Arg(s)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);
      }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.table();
    g_pair = nullptr;
    g_roads = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
