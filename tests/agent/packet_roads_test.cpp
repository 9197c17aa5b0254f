// The two packet roads between two agents on loopback: what each drops and
// what it logs, what it delivers, and what a delivered packet costs.

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

#include "agent/agent.h"
#include "agent/inbound.h"
#include "agent/netif/tun_runner.h"
#include "common/alloc_counter.h"
#include "common/log_capture.h"
#include "common/two_agents.h"

using namespace velarix;
using agent::AgentInner;
using test::Bytes;
using test::eventually;
using test::ipv4;
using test::LogCapture;
using test::ScopedEnv;
using test::TwoAgents;

namespace {

const Bytes kControlMarker = {0x1E, 0x3F, 0x50, 0x01, 0xAA};

// A bare packet of `size` bytes whose first byte is `b0`.
Bytes raw(std::size_t size, std::uint8_t b0) {
  Bytes p(size, 0);
  if (!p.empty()) p[0] = b0;
  return p;
}

bool logged(const std::string& line) {
  return eventually([&] { return LogCapture::get().count(line) >= 1; }, std::chrono::seconds(5));
}

}  // namespace

TEST(InboundRoad, DropsWhatItMayNotDeliverWithItsLogLine) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  ScopedEnv one_reader("VELARIX_TUN_THREADS", "1");
  TwoAgents t;
  t.apply_network();
  const auto a = t.a().pk();
  const auto c = p2p::Identity::generate(0)->pk();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  const std::string from_a = "Failed to decode IP packet from peer " + a.to_string() + ": ";
  struct Case {
    const char* what;
    p2p::PubKey sender;
    Bytes packet;
    std::string line;
  } cases[] = {
      {"19 bytes", a, raw(19, 0x45), from_a + "packet shorter than an IPv4 header"},
      {"IPv6", a, raw(40, 0x60), from_a + "not an IPv4 packet"},
      {"IHL 4", a, raw(40, 0x44), from_a + "IPv4 header length below 20 bytes"},
      {"IHL 15 in 40 bytes", a, raw(40, 0x4F), from_a + "packet shorter than its IPv4 header length"},
      {"control packet", a, test::udp_packet(A, 5000, B, 5001, kControlMarker),
       "Dropping Velarix control plane packet: 10.77.0.1 -> 10.77.0.2 (control traffic filtered)"},
      {"no route for the source", a, test::sized_packet(ipv4("10.99.0.1"), B, 100),
       "No inbound route found for source: 10.99.0.1 -> 10.77.0.2 (source IP not in routing table)"},
      {"no route for the destination", a, test::sized_packet(A, ipv4("10.77.0.9"), 100),
       "No inbound route found for destination: 10.77.0.1 -> 10.77.0.9 (missing destination route in routing table)"},
      {"looped back: src == dst", a, test::sized_packet(B, B, 100),
       "No inbound route found for source: 10.77.0.2 -> 10.77.0.2 (source IP not in routing table)"},
      {"wrong sender", c, test::sized_packet(A, B, 100),
       "Security violation: packet source mismatch - received from peer " + c.to_string() +
           " with source IP 10.77.0.1 but expected peer " + a.to_string() + " for this route"},
      // The node gives no send handle for a super peer: nobody to answer.
      {"oversized from a sender without a send handle", t.harness().super_peer().public_key(),
       test::sized_packet(A, B, 1074, 1, true),
       "Packet size 1074 bytes exceeds MTU 1073 bytes with Don't Fragment flag set, sending ICMP Fragmentation "
       "Needed"},
  };
  auto& channel = *t.b().inner().node_receiver;
  for (const auto& k : cases) {
    LogCapture::get().clear();
    ASSERT_TRUE(channel.try_send({k.sender, k.packet}));
    EXPECT_TRUE(logged(k.line)) << k.what;
    EXPECT_EQ(LogCapture::get().count("Successfully forwarded packet to TUN device"), 0u) << k.what;
  }

  // Nothing of the above reached the TUN device: the first packet there is the one admitted now.
  const Bytes ok = test::sized_packet(A, B, 200, 9);
  ASSERT_TRUE(channel.try_send({a, ok}));
  EXPECT_EQ(t.b().tun.read(), ok);
  EXPECT_EQ(LogCapture::get().count("ICMP Fragmentation Needed response"), 0u) << "no answer, and no word of it";
  // A total length below the bytes received: every byte received is written.
  Bytes trailing = test::sized_packet(A, B, 100, 3);
  trailing.resize(160, 0xEE);
  ASSERT_TRUE(channel.try_send({a, trailing}));
  EXPECT_EQ(t.b().tun.read(), trailing);
}

TEST(InboundRoad, OversizedWithDontFragmentIsAnsweredNotDelivered) {
  TwoAgents t;
  t.apply_network();
  ASSERT_TRUE(t.connect()) << "the answer goes back through the overlay";
  ASSERT_EQ(t.b().inner().mtu, 1073);
  const auto a = t.a().pk();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  auto& channel = *t.b().inner().node_receiver;
  struct Case {
    const char* what;
    std::size_t size;
    bool df;
    bool delivered;
  } cases[] = {
      {"at the MTU with DF", 1073, true, true},
      {"above the MTU without DF", 1074, false, true},
      {"above the MTU with DF", 1074, true, false},
  };
  for (const auto& c : cases) {
    const Bytes p = test::sized_packet(A, B, c.size, static_cast<std::uint32_t>(c.size), c.df);
    ASSERT_TRUE(channel.try_send({a, p}));
    if (c.delivered) {
      EXPECT_EQ(t.b().tun.read(), p) << c.what;
      continue;
    }
    // The answer travels through the overlay back to A, whose RX trie admits it from B.
    auto answer = t.a().tun.read(std::chrono::seconds(10));
    ASSERT_TRUE(answer) << c.what;
    ASSERT_EQ(answer->size(), 56u) << c.what;
    EXPECT_EQ((*answer)[20], 3);
    EXPECT_EQ((*answer)[21], 4);
    EXPECT_EQ(Bytes(answer->begin() + 28, answer->end()), Bytes(p.begin(), p.begin() + 28));
  }
  EXPECT_FALSE(t.b().tun.read(std::chrono::milliseconds(0))) << "the oversized packet was not written";
}

TEST(OutboundRoad, DropsWhatItMayNotForwardWithItsLogLine) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  ScopedEnv one_reader("VELARIX_TUN_THREADS", "1");
  TwoAgents t;
  t.apply_network();
  // Each packet below is written once: the path to B must be up before.
  ASSERT_TRUE(t.connect());
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  auto& tun = t.a().tun;

  // Not IPv4: dropped without a word. With one reader they are handled in order,
  // so once the packet after them has gone through, they have been too.
  LogCapture::get().clear();
  for (const auto& p : {raw(19, 0x45), raw(40, 0x60), raw(40, 0x44), raw(40, 0x4F)}) ASSERT_TRUE(tun.write(p));
  const Bytes first = test::sized_packet(A, B, 120, 1);
  ASSERT_TRUE(tun.write(first));
  ASSERT_TRUE(eventually([&] { return t.b().tun.read(std::chrono::milliseconds(100)) == first; }));
  EXPECT_EQ(LogCapture::get().count("Forwarding packet from TUN device to Velarix"), 1u);
  const auto all_lines = [] {
    std::string all;
    for (const auto& l : LogCapture::get().lines()) all += l + "\n";
    return all;
  };
  EXPECT_EQ(LogCapture::get().count("warning"), 0u) << all_lines();
  EXPECT_EQ(LogCapture::get().count("error"), 0u) << all_lines();

  struct Case {
    const char* what;
    Bytes packet;
    std::string line;
  } cases[] = {
      {"control packet", test::udp_packet(A, 5000, B, 5001, kControlMarker),
       "Dropping Velarix control plane packet: 10.77.0.1 -> 10.77.0.2 (control traffic filtered)"},
      {"control packet to itself", test::udp_packet(A, 5000, A, 5001, kControlMarker),
       "Dropping Velarix control plane packet: 10.77.0.1 -> 10.77.0.1 (control traffic filtered)"},
      {"no route for the destination", test::sized_packet(A, ipv4("10.99.0.5"), 100),
       "No outbound route found for destination: 10.77.0.1 -> 10.99.0.5 (missing destination route in routing "
       "table)"},
      {"no route for the source", test::sized_packet(ipv4("10.77.0.9"), B, 100),
       "No outbound route found for source: 10.77.0.9 -> 10.77.0.2 (source IP not in routing table)"},
  };
  for (const auto& c : cases) {
    LogCapture::get().clear();
    ASSERT_TRUE(tun.write(c.packet));
    EXPECT_TRUE(logged(c.line)) << c.what;
    EXPECT_EQ(LogCapture::get().count("Successfully forwarded packet to Velarix"), 0u) << c.what;
  }

  // Looped back: straight back to the device, without a route.
  LogCapture::get().clear();
  const Bytes loop = test::sized_packet(A, A, 300, 5);
  ASSERT_TRUE(tun.write(loop));
  EXPECT_EQ(tun.read(), loop);
  EXPECT_TRUE(logged("Loopback packet detected: 10.77.0.1 -> 10.77.0.1, sending directly back to TUN device"));
  EXPECT_TRUE(logged("Successfully sent loopback packet back to TUN device: 10.77.0.1 -> 10.77.0.1"));

  // None of the dropped packets reached B: the next packet there is this one.
  const Bytes last = test::sized_packet(A, B, 130, 7);
  ASSERT_TRUE(tun.write(last));
  EXPECT_TRUE(eventually([&] { return t.b().tun.read(std::chrono::milliseconds(100)) == last; }));
}

// Peers and apps on the device choose what they send, and how often: a flood of packets the
// roads refuse writes a handful of lines per window, not one per packet, and traffic goes on.
TEST(PacketRoads, AFloodOfRefusedPacketsWritesAFewLinesNotOnePerPacket) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  ScopedEnv one_reader("VELARIX_TUN_THREADS", "1");
  TwoAgents t;
  t.apply_network();
  ASSERT_TRUE(t.connect());
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  constexpr int kFlood = 300;
  LogCapture::get().clear();

  // Into A's outbound road, from an app: a destination without a route.
  const Bytes unrouted = test::sized_packet(A, ipv4("10.99.0.5"), 100);
  for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(eventually([&] { return t.a().tun.write(unrouted); }));
  // Into B's inbound road, from a member: a source the network gives another peer.
  const auto c = p2p::Identity::generate(0)->pk();
  auto& channel = *t.b().inner().node_receiver;
  for (int i = 0; i < kFlood; ++i) {
    ASSERT_TRUE(eventually([&] { return bool(channel.try_send({c, test::sized_packet(A, B, 100)})); }));
  }
  // With one task on each road, packets are taken in order: once these are through, so is the flood.
  const Bytes after = test::sized_packet(A, B, 140, 8);
  ASSERT_TRUE(t.a().tun.write(after));
  EXPECT_TRUE(eventually([&] { return t.b().tun.read(std::chrono::milliseconds(100)) == after; }));
  const Bytes admitted = test::sized_packet(A, B, 150, 9);
  ASSERT_TRUE(channel.try_send({t.a().pk(), admitted}));
  EXPECT_EQ(t.b().tun.read(), admitted);

  EXPECT_GE(LogCapture::get().count("No outbound route found for destination"), 1u);
  EXPECT_LE(LogCapture::get().count("No outbound route found for destination"), 10u);
  EXPECT_GE(LogCapture::get().count("Security violation: packet source mismatch"), 1u);
  EXPECT_LE(LogCapture::get().count("Security violation: packet source mismatch"), 10u);
}

TEST(OutboundRoad, LoopsBackEvenWithEmptyTries) {
  TwoAgents t;
  // An empty desired state starts the TUN runner and leaves the tries empty.
  t.apply(t.a(), [](network::Network&) {});
  ASSERT_TRUE(t.a().inner().tx_trie.load()->empty());
  const Bytes loop = test::sized_packet(ipv4("10.5.0.1"), ipv4("10.5.0.1"), 64);
  ASSERT_TRUE(t.a().tun.write(loop));
  EXPECT_EQ(t.a().tun.read(), loop);
}

// --- what a packet costs --------------------------------------------------------------

namespace {

// An agent core without a node, on a runtime of one thread: everything a road
// does for a packet runs on that thread, where the allocations are counted.
struct BareAgent {
  p2p::util::Runtime rt{1};
  test::TunStandIn tun;
  std::shared_ptr<AgentInner> inner;
  p2p::PubKey peer = p2p::Identity::generate(0)->pk();

  BareAgent() {
    auto platform = std::make_shared<agent::PlatformDependent>();
    platform->tun_device = tun.device(rt.executor());
    auto c2d = std::make_shared<agent::C2dChannel>(512);
    inner = std::shared_ptr<AgentInner>(new AgentInner{
        .cancellation_token = {},
        .node = nullptr,
        .node_receiver = std::make_shared<agent::NodeReceiveChannel>(512),
        .netif = agent::AgentNetif(platform),
        .dns = nullptr,
        .tx_trie = {},
        .rx_trie = {},
        .c2d_sender = c2d,
        .c2d_receiver = c2d,
        .config_path = {},
        .platform = platform,
        .http_client = {},
        .state_lock = {},
        .state = agent::State{.config = agent::AgentConfig(*p2p::Identity::generate(0)),
                              .update_available = {},
                              .ui_version = {},
                              .last_network_change = {},
                              .login = {},
                              .time_deviation = {}},
        .mtu = 1073,
        .executor = rt.executor(),
        .own_pk = {},
        .timings = {},
    });
    // 10.0.0.2 reaches 10.0.0.1 through `peer`, both ways.
    agent::RxTrie rx;
    network::IpnetTrie<p2p::PubKey> rx_inner;
    rx_inner.insert(*network::Ipv4Net::parse("10.0.0.1/32"), peer);
    rx.insert(*network::Ipv4Net::parse("10.0.0.2/32"), std::move(rx_inner));
    inner->rx_trie.store(std::move(rx));
    agent::TxTrie tx;
    network::IpnetTrie<std::shared_ptr<p2p::SendHandle>> tx_inner;
    tx_inner.insert(*network::Ipv4Net::parse("10.0.0.1/32"),
                    std::make_shared<p2p::SendHandle>(peer, std::weak_ptr<p2p::NodeInner>{}, p2p::SendHandleState{}));
    tx.insert(*network::Ipv4Net::parse("10.0.0.2/32"), std::move(tx_inner));
    inner->tx_trie.store(std::move(tx));
  }
  ~BareAgent() {
    inner.reset();  // the device goes before its runtime
  }
};

// Formatting would allocate: these tests measure the roads with logging off.
struct LoggingOff {
  spdlog::level::level_enum was = log::logger().level();
  LoggingOff() { log::logger().set_level(spdlog::level::off); }
  ~LoggingOff() { log::logger().set_level(was); }
};

}  // namespace

TEST(PacketRoadCost, TheInboundRoadAllocatesNothingForADeliveredPacket) {
  LoggingOff quiet;
  BareAgent bare;
  const Bytes packet = test::sized_packet(ipv4("10.0.0.2"), ipv4("10.0.0.1"), 200);
  constexpr int kWarmUp = 8, kMeasured = 64;
  std::size_t allocations = 0;
  p2p::util::block_on(bare.rt, [](BareAgent* b, const Bytes* packet, std::size_t* allocations) -> boost::asio::awaitable<void> {
    agent::RxTrieCache rx(b->inner->rx_trie);
    for (int i = 0; i < kWarmUp; ++i) co_await agent::handle_inbound_packet(*b->inner, rx, b->peer, *packet);
    test::AllocCounter count;
    for (int i = 0; i < kMeasured; ++i) co_await agent::handle_inbound_packet(*b->inner, rx, b->peer, *packet);
    *allocations = count.count();
  }(&bare, &packet, &allocations));
  EXPECT_EQ(allocations, 0u);
  for (int i = 0; i < kWarmUp + kMeasured; ++i) ASSERT_EQ(bare.tun.read(), packet) << "packet " << i << " delivered";
}

TEST(PacketRoadCost, TheOutboundRoadAllocatesOnlyTheCopyItQueues) {
  LoggingOff quiet;
  BareAgent bare;
  const Bytes packet = test::sized_packet(ipv4("10.0.0.1"), ipv4("10.0.0.2"), 200);
  constexpr int kPackets = 64;
  std::size_t allocations = 0;
  auto device = bare.inner->netif.slot()->device;
  p2p::util::block_on(bare.rt, [](BareAgent* b, agent::TunDevice* device, const Bytes* packet,
                                  std::size_t* allocations) -> boost::asio::awaitable<void> {
    agent::TxTrieCache tx(b->inner->tx_trie);
    auto& channel = *b->inner->c2d_receiver;
    // A first round grows the channel's buffer; the second is measured.
    for (int round = 0; round < 2; ++round) {
      std::optional<test::AllocCounter> count;
      if (round == 1) count.emplace();
      for (int i = 0; i < kPackets; ++i) co_await agent::handle_outbound_packet(*b->inner, tx, *device, *packet);
      if (count) *allocations = count->count();
      for (int i = 0; i < kPackets; ++i) {
        auto item = co_await channel.receive();
        EXPECT_TRUE(item && item->first == *packet && item->second->pk() == b->peer);
      }
    }
  }(&bare, device.get(), &packet, &allocations));
  EXPECT_EQ(allocations, static_cast<std::size_t>(kPackets)) << "one copy per packet, nothing else";
}
