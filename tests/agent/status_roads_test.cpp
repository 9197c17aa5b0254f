// The status of agents whose packet roads carry traffic: the report shows the
// applied network and the peer with its direct path, and asking for it again
// and again while packets flow never holds the roads up.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "agent/status.h"
#include "common/two_agents.h"

namespace velarix::test {
namespace {

TEST(StatusOfRunningRoads, ReportedInALoopWhilePacketsFlow) {
  TwoAgents agents;
  agents.apply_network();
  auto& a = agents.a();
  auto& b = agents.b();

  // Traffic both ways until the direct path is up.
  ASSERT_TRUE(eventually(
      [&] {
        a.tun.write(sized_packet(a.ip, b.ip, 200));
        b.tun.write(sized_packet(b.ip, a.ip, 200));
        return agents.direct();
      },
      std::chrono::seconds(20)));
  b.tun.drain();
  a.tun.drain();

  constexpr int kPackets = 2000;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop && received < kPackets) {
      if (b.tun.read(std::chrono::milliseconds(100))) ++received;
    }
  });
  // The writer keeps at most a window of packets in flight, so that a loaded
  // machine (other tests, sanitizers) cannot overrun socket buffers: a packet
  // lost here can only come from roads held up by the reports. It also waits
  // for a report every kPerReport packets, so that reports and traffic overlap
  // however fast either is. Waits end at a deadline (the roads stopped).
  constexpr int kWindow = 64;
  constexpr int kAllowedLoss = kPackets * 5 / 100;
  constexpr int kPerReport = 100;
  std::atomic<int> reports{0};
  std::atomic<bool> written{false};
  std::thread writer([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < kPackets; ++i) {
      while ((i - received >= kWindow + kAllowedLoss || reports * kPerReport < i) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      while (!a.tun.write(sized_packet(a.ip, b.ip, 512, i))) std::this_thread::yield();
    }
    written = true;
  });

  std::string last;
  while (!written) {
    auto status = p2p::util::block_on(agents.runtime(), agent::Status::from_agent(*a.agent));
    last = status.to_string_with_secrets(false);
    ++reports;
  }
  writer.join();
  EXPECT_TRUE(eventually([&] { return received >= kPackets - kAllowedLoss; }, std::chrono::seconds(10)))
      << received << " of " << kPackets << " packets after " << reports << " reports";
  stop = true;
  reader.join();
  EXPECT_GE(reports, kPackets / kPerReport - 1);

  // The report names the applied network, its address and the peer on its direct path.
  EXPECT_NE(last.find("10.77.0.1/24"), std::string::npos) << last;
  EXPECT_NE(last.find(b.pk().to_string()), std::string::npos) << last;
  EXPECT_NE(last.find("CONNECTED"), std::string::npos) << last;
}

}  // namespace
}  // namespace velarix::test
