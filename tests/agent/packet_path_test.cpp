// IPv4 packets from one agent's TUN device to another's, through a super peer
// on loopback and then directly; the ICMP answer; full channels; the runners'
// ends.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "agent/agent.h"
#include "common/log_capture.h"
#include "common/two_agents.h"

using namespace velarix;
using test::Bytes;
using test::deliver;
using test::eventually;
using test::ipv4;
using test::LogCapture;
using test::ScopedEnv;
using test::TwoAgents;

namespace {

using namespace std::chrono_literals;

// The ones'-complement sum of 16-bit words, written here apart from the agent's own.
bool checksum_ok(const Bytes& b, std::size_t from, std::size_t to) {
  std::uint64_t sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += (i - from) % 2 == 0 ? std::uint64_t{b[i]} << 8 : b[i];
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

}  // namespace

class PacketPath : public ::testing::TestWithParam<bool> {};

TEST_P(PacketPath, RelayedThenDirectBothWaysByteForByte) {
  TwoAgents t({.arm = GetParam()});
  EXPECT_EQ(t.a().inner().mtu, GetParam() ? 1073 : 1121);
  t.apply_network();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");

  // The first packets go through the super peer: nobody knows a direct path yet.
  const Bytes hello = test::sized_packet(A, B, 333, 1);
  ASSERT_TRUE(deliver(t.a().tun, t.b().tun, hello));
  EXPECT_GT(t.harness().super_peer().stats().relayed_udp, 0u);
  const Bytes answer = test::sized_packet(B, A, 1000, 2);
  ASSERT_TRUE(deliver(t.b().tun, t.a().tun, answer));

  // The super peer unites the two nodes; then packets take the direct path.
  ASSERT_TRUE(eventually(
      [&] {
        (void)deliver(t.a().tun, t.b().tun, test::sized_packet(A, B, 64, 3), 1s);
        return t.direct();
      },
      20s));
  const auto relayed = t.harness().super_peer().stats().relayed_udp;
  const std::size_t mtu = t.a().inner().mtu;
  for (std::uint32_t i = 0; i < 20; ++i) {
    const std::size_t size = 28 + (i * 97) % (mtu - 27);  // 28 bytes up to the MTU
    const Bytes there = test::sized_packet(A, B, size, 100 + i);
    ASSERT_TRUE(t.a().tun.write(there));
    EXPECT_EQ(t.b().tun.read(), there) << "packet " << i << " of " << size << " bytes";
    const Bytes back = test::sized_packet(B, A, mtu - size + 28, 200 + i);
    ASSERT_TRUE(t.b().tun.write(back));
    EXPECT_EQ(t.a().tun.read(), back) << "answer " << i;
  }
  EXPECT_EQ(t.harness().super_peer().stats().relayed_udp, relayed) << "nothing went through the super peer";
}

INSTANTIATE_TEST_SUITE_P(ArmedAndUnarmed, PacketPath, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Armed" : "Unarmed"; });

TEST(PacketPathIcmp, TooLargeForTheReceiverComesBackAsFragmentationNeeded) {
  // B takes at most 500 bytes; A's device carries up to 1,073.
  TwoAgents t({.config_b = "mtu = 500"});
  t.apply_network();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  ASSERT_TRUE(t.connect()) << "the answer goes back through the overlay";

  // Without Don't Fragment it is delivered whole.
  const Bytes may_fragment = test::sized_packet(A, B, 600, 7, false);
  ASSERT_TRUE(deliver(t.a().tun, t.b().tun, may_fragment));

  // With it, the answer comes back to A's device, and B's device never sees the packet.
  const Bytes big = test::sized_packet(A, B, 600, 8, true);
  ASSERT_TRUE(t.a().tun.write(big));
  const auto reply = t.a().tun.read(10s);
  ASSERT_TRUE(reply);
  const Bytes& r = *reply;
  ASSERT_EQ(r.size(), 56u);
  EXPECT_EQ(r[0], 0x45);
  EXPECT_EQ((r[2] << 8) | r[3], 56);
  EXPECT_EQ(r[6] & 0x40, 0x40) << "Don't Fragment";
  EXPECT_EQ(r[8], 64);
  EXPECT_EQ(r[9], 1) << "ICMP";
  EXPECT_EQ(Bytes(r.begin() + 12, r.begin() + 16), Bytes(big.begin() + 16, big.begin() + 20)) << "from B";
  EXPECT_EQ(Bytes(r.begin() + 16, r.begin() + 20), Bytes(big.begin() + 12, big.begin() + 16)) << "to A";
  EXPECT_TRUE(checksum_ok(r, 0, 20)) << "IPv4 header checksum";
  EXPECT_EQ(r[20], 3) << "destination unreachable";
  EXPECT_EQ(r[21], 4) << "fragmentation needed";
  EXPECT_TRUE(checksum_ok(r, 20, r.size())) << "ICMP checksum";
  EXPECT_EQ((r[26] << 8) | r[27], 500) << "next-hop MTU";
  EXPECT_EQ(Bytes(r.begin() + 28, r.end()), Bytes(big.begin(), big.begin() + 28)) << "header and 8 bytes quoted";
  EXPECT_FALSE(t.b().tun.read(0ms));
}

TEST(PacketPathChannels, AFullC2dChannelDropsWithAWarningAndTheReaderGoesOn) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  ScopedEnv no_senders("VELARIX_C2D_THREADS", "0");
  ScopedEnv small("VELARIX_CHANNEL_CAP", "2");
  TwoAgents t;
  t.apply_network();
  LogCapture::get().clear();
  const auto A = ipv4("10.77.0.1");
  for (std::uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(t.a().tun.write(test::sized_packet(A, ipv4("10.77.0.2"), 80, i)));
  EXPECT_TRUE(eventually([&] {
    return LogCapture::get().count("Failed to forward packet to Velarix: sending on a full channel") == 4;
  }));
  EXPECT_EQ(t.a().inner().c2d_receiver->size(), 2u);
  // The readers never waited for room: a looped-back packet still comes straight back.
  const Bytes loop = test::sized_packet(A, A, 90);
  ASSERT_TRUE(t.a().tun.write(loop));
  EXPECT_EQ(t.a().tun.read(), loop);
}

TEST(PacketPathChannels, AFullReceiveChannelDropsWithAWarningAndTheNodeGoesOn) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  ScopedEnv no_readers("VELARIX_TUN_THREADS", "0");
  ScopedEnv small("VELARIX_RECV_BUF_CAP", "2");
  LogCapture::get().clear();
  TwoAgents t;
  t.apply_network();
  // Without readers the TUN runners end at once; the agents go on.
  EXPECT_TRUE(eventually([&] { return LogCapture::get().count("TUN runner finished") == 2; }));
  EXPECT_EQ(LogCapture::get().count("TUN runner done."), 2u);
  EXPECT_EQ(LogCapture::get().count("packet processing task started"), 0u);
  LogCapture::get().clear();
  auto handle = t.a().agent->node()->send_handle(t.b().pk());
  ASSERT_TRUE(handle);
  const Bytes payload = test::sized_packet(ipv4("10.77.0.1"), ipv4("10.77.0.2"), 100);
  // Nobody takes from B's channel: two payloads wait there, the rest are dropped as they come.
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(eventually([&] {
      (void)p2p::util::block_on(t.runtime(), (*handle)->send(payload));
      return LogCapture::get().count("Received APP dropped: sending on a full channel") >= static_cast<std::size_t>(round * 3);
    })) << "round " << round << ": the node still reads and hands over";
  }
  EXPECT_EQ(t.b().inner().node_receiver->size(), 2u);
}

TEST(PacketPathEnds, ShutdownWhilePacketsFlowEndsEveryTaskWithItsLine) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  TwoAgents t;
  t.apply_network();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  ASSERT_TRUE(deliver(t.a().tun, t.b().tun, test::sized_packet(A, B, 100)));
  LogCapture::get().clear();

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> arrived{0};
  std::thread traffic([&] {
    for (std::uint32_t i = 0; !stop; ++i) {
      (void)t.a().tun.write(test::sized_packet(A, B, 64 + i % 900, i));
      (void)t.b().tun.write(test::sized_packet(B, A, 64 + i % 700, i));
      if (t.b().tun.read(0ms)) ++arrived;
      (void)t.a().tun.read(0ms);
    }
  });
  ASSERT_TRUE(eventually([&] { return arrived >= 50; }));
  t.shutdown();
  stop = true;
  traffic.join();

  auto& log = LogCapture::get();
  for (int i = 1; i <= 3; ++i) {
    for (const auto* line : {"Token cancelled. Exiting Velarix -> tun packet processing task ({}/3).",
                             "Token cancelled. Exiting channel -> Velarix processing task ({}/3).",
                             "Token cancelled. Exiting tun -> Velarix packet processing task ({}/3)."}) {
      const std::string text = fmt::format(fmt::runtime(line), i);
      EXPECT_TRUE(eventually([&] { return log.count(text) == 2; })) << text << " once per agent";
    }
  }
  for (const auto* line : {"Node token cancelled.", "Node runner done.", "TUN runner done.", "TUN runner finished"}) {
    EXPECT_TRUE(eventually([&] { return log.count(line) == 2; })) << line;
  }
  EXPECT_EQ(log.count("Task prematurely finished. Cancel token."), 0u);
  EXPECT_EQ(log.count("Task failed"), 0u);
  EXPECT_EQ(log.count("TUN runner failed"), 0u);
}

TEST(PacketPathEnds, ANodeThatStopsByItselfStopsTheAgent) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  TwoAgents t;
  LogCapture::get().clear();
  t.a().agent->node()->inner()->token().cancel();
  ASSERT_TRUE(eventually([&] { return t.a().inner().cancellation_token.is_cancelled(); }));
  ASSERT_TRUE(eventually([&] { return LogCapture::get().count("Node runner done.") == 1; }));
  const auto lines = LogCapture::get().lines();
  auto at = [&](const std::string& text) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1L;
  };
  EXPECT_GE(at("Node has cancelled prematurely."), 0);
  EXPECT_LT(at("Node has cancelled prematurely."), at("Task prematurely finished. Cancel token."));
  EXPECT_LT(at("Task prematurely finished. Cancel token."), at("Token cancelled. Exiting channel -> Velarix"));
  EXPECT_LT(at("Token cancelled. Exiting Velarix -> tun packet processing task (3/3)."), at("Node runner done."));
  EXPECT_EQ(LogCapture::get().count("Task prematurely finished. Cancel token."), 1u);
  EXPECT_FALSE(t.b().inner().cancellation_token.is_cancelled());
}

TEST(PacketPathEnds, ATunReadErrorEndsOnlyTheTunRunner) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  TwoAgents t;
  t.apply_network();
  LogCapture::get().clear();
  t.a().tun.close();
  EXPECT_TRUE(eventually([&] { return LogCapture::get().count("TUN runner finished") == 1; }));
  EXPECT_GE(LogCapture::get().count("Failed to receive packet from TUN device. Cancel token: "), 1u);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(LogCapture::get().count(fmt::format("Exiting tun -> Velarix packet processing task ({}/3).", i)), 1u);
  }
  EXPECT_FALSE(t.a().inner().cancellation_token.is_cancelled()) << "the rest of the agent goes on";
  // Applying again does not start another runner.
  t.apply(t.a(), [](network::Network&) {});
  EXPECT_EQ(LogCapture::get().count("Start TUN device runner"), 0u);
}

TEST(PacketPathEnds, WithoutATunDeviceTheRunnerEndsQuietlyAndWritesFail) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  TwoAgents t({.tun_b = false});
  LogCapture::get().clear();
  t.apply_network();
  // B's runner has nothing to read and ends at once; A's runs on.
  EXPECT_TRUE(eventually([&] { return LogCapture::get().count("TUN runner finished") == 1; }));
  EXPECT_EQ(LogCapture::get().count("TUN runner done."), 1u);
  EXPECT_FALSE(t.b().inner().cancellation_token.is_cancelled());
  ASSERT_TRUE(t.b().inner().node_receiver->try_send(
      {t.a().pk(), test::sized_packet(ipv4("10.77.0.1"), ipv4("10.77.0.2"), 100)}));
  EXPECT_TRUE(eventually(
      [&] { return LogCapture::get().count("Failed to forward packet to TUN device: TUN device is None") == 1; }));
}

TEST(PacketPathEnds, AFailedSendWarnsOnceAndTheNextPacketGoes) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger is installed";
  // A's device takes packets larger than its node may send.
  TwoAgents t({.config_a = "mtu = 1400"});
  t.apply_network();
  const auto A = ipv4("10.77.0.1");
  const auto B = ipv4("10.77.0.2");
  ASSERT_TRUE(deliver(t.a().tun, t.b().tun, test::sized_packet(A, B, 100)));
  LogCapture::get().clear();
  ASSERT_TRUE(t.a().tun.write(test::sized_packet(A, B, 1300)));
  EXPECT_TRUE(eventually([&] {
    return LogCapture::get().count("Failed to send packet to Velarix network: recipient=" + t.b().pk().to_string() +
                                   ", packet_size=1300 bytes, error=") == 1;
  }));
  const Bytes next = test::sized_packet(A, B, 200, 4);
  ASSERT_TRUE(deliver(t.a().tun, t.b().tun, next));
}
