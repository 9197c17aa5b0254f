// What the node's per-payload roads cost once the direct path is up: no allocation to send a
// payload (one at a time or in a batch), none to receive one.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <boost/asio/post.hpp>

#include "common/alloc_counter.h"
#include "node/node.h"
#include "node/send_handle.h"
#include "node_test_support.h"
#include "superpeer/super_peer_server.h"
#include "util/log.h"

namespace velarix::test {
namespace {

using namespace std::chrono_literals;
constexpr std::uint32_t kNetwork = 43;
constexpr std::size_t kPayload = 1000;

// Counts payloads without allocating, so that it adds nothing to what is counted.
class CountingSink final : public MessageSink {
 public:
  void accept(const PubKey&, std::span<const std::uint8_t> payload) override {
    if (payload.size() == kPayload) count.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<std::size_t> count{0};
};

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 20s) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Formatting would allocate: the roads are measured with logging off, or at INFO, where the
// send handle's span is shown and the roads log nothing.
struct LoggingAt {
  spdlog::level::level_enum was = log::logger().level();
  explicit LoggingAt(spdlog::level::level_enum level) { log::logger().set_level(level); }
  ~LoggingAt() { log::logger().set_level(was); }
};

// Armed nodes A and B, A's handle for B on the direct path with short headers.
struct DirectPair {
  DirectPair() {
    SuperPeerOptions so{.identity = make_identity(), .network_id = kNetwork};
    so.unite_interval = 100ms;
    so.min_pow_difficulty = 0;
    server = std::move(*SuperPeerServer::start(rt, so));
    a = bind(ida, std::make_shared<CountingSink>());
    b = bind(idb, sink);
    handle = *a->send_handle(idb.pk());
  }
  ~DirectPair() {
    handle.reset();
    a.reset();
    b.reset();
    server->stop();
  }
  std::shared_ptr<Node> bind(const Identity& id, std::shared_ptr<MessageSink> s) {
    auto opts = loopback_opts(id, {server->url()}, true, std::move(s));
    opts.housekeeping_interval = 100;
    return *util::block_on(rt, Node::bind(std::move(opts)));
  }
  bool direct() const {
    const auto st = handle->state();
    return st->direct_path && st->tx_short_id;
  }
  // Traffic until the direct path is in place.
  bool bring_up() {
    const std::vector<std::uint8_t> payload(64, 1);
    return wait_for([&] {
      (void)util::block_on(rt, handle->send(payload));
      std::this_thread::sleep_for(10ms);
      return direct();
    });
  }

  util::Runtime rt{2};
  Identity ida = make_identity();
  Identity idb = make_identity();
  std::shared_ptr<CountingSink> sink = std::make_shared<CountingSink>();
  std::unique_ptr<SuperPeerServer> server;
  std::shared_ptr<Node> a, b;
  std::shared_ptr<SendHandle> handle;
};

// Allocations counted in one round of payloads: on the sending thread, one at
// a time and in batches, and on B's reader lane while it received them all.
struct RoundCost {
  std::size_t one_by_one = 0, batched = 0, received = 0;
  bool all_arrived = false;
  bool zero() const { return all_arrived && one_by_one == 0 && batched == 0 && received == 0; }
};

RoundCost measure_round(DirectPair& p, const std::vector<std::uint8_t>& payload) {
  constexpr int kWarmUp = 16, kMeasured = 64;
  RoundCost cost;
  // B's reader runs on its socket's lane: the counter is opened and read there.
  const auto lane = p.b->udp_bindings()->front()->socket()->get_executor();
  AllocCounter* on_lane = nullptr;
  std::promise<void> opened;
  boost::asio::post(lane, [&] {
    on_lane = new AllocCounter;
    opened.set_value();
  });
  opened.get_future().wait();

  const auto start = p.sink->count.load();
  util::block_on(p.rt, [](DirectPair* p, const std::vector<std::uint8_t>* payload,
                          RoundCost* cost) -> boost::asio::awaitable<void> {
    for (int i = 0; i < kWarmUp; ++i) (void)co_await p->handle->send(*payload);
    {
      AllocCounter count;
      for (int i = 0; i < kMeasured; ++i) EXPECT_TRUE(co_await p->handle->send(*payload));
      cost->one_by_one = count.count();
    }
    SendBatch batch(16);
    for (int round = 0; round < 1 + kMeasured / 16; ++round) {
      std::optional<AllocCounter> count;
      if (round > 0) count.emplace();  // the first round is the warm-up
      for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(p->handle->add_to(batch, *payload, i), true);
      co_await batch.flush();
      for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_TRUE(batch.result(i));
      batch.clear();
      if (count) cost->batched += count->count();
    }
  }(&p, &payload, &cost));

  const std::size_t sent = kWarmUp + kMeasured + 16 + kMeasured;
  cost.all_arrived = wait_for([&] { return p.sink->count.load() >= start + sent; });
  std::promise<std::size_t> received;
  boost::asio::post(lane, [&] {
    // Done with this frame's variables before the promise lets the frame go.
    const std::size_t count = on_lane->count();
    delete on_lane;
    received.set_value(count);
  });
  cost.received = received.get_future().get();
  return cost;
}

TEST(NodeCost, DirectSendAndReceiveAllocateNothingPerPayload) {
  DirectPair p;
  {
    LoggingAt quiet(spdlog::level::off);
    ASSERT_TRUE(p.bring_up());
  }
  const std::vector<std::uint8_t> payload(kPayload, 0x5A);
  for (const auto level : {spdlog::level::off, spdlog::level::info}) {
    SCOPED_TRACE(level == spdlog::level::off ? "logging off" : "INFO shown: the send span is entered per payload");
    LoggingAt at(level);
    // The lanes also run the nodes' housekeeping and the answers to its greetings,
    // which may allocate during a round; a road that allocates per payload does so
    // in every round, so one clean round of the few tried shows it does not.
    RoundCost cost;
    for (int attempt = 0; attempt < 5 && !cost.zero(); ++attempt) cost = measure_round(p, payload);
    EXPECT_TRUE(cost.all_arrived) << "every payload of the round reached B";
    EXPECT_EQ(cost.one_by_one, 0u) << "allocations for 64 payloads sent one at a time";
    EXPECT_EQ(cost.batched, 0u) << "allocations for 64 payloads sent in batches";
    EXPECT_EQ(cost.received, 0u) << "allocations on B's reader for 160 payloads";
  }
}

}  // namespace
}  // namespace velarix::test
