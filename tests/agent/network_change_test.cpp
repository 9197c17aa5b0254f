#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "agent/agent.h"
#include "agent/network_change.h"
#include "common/agent_harness.h"
#include "held_state.h"
#include "velarix_agent.h"

using namespace velarix::agent;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;

TEST(NetworkChange, Texts) {
  NetworkChange change;
  auto empty = to_texts(change);
  EXPECT_EQ(empty.ips, "");
  EXPECT_EQ(empty.routes, "");
  EXPECT_EQ(empty.dns_server, "");

  change.ips = std::vector<Ipv4Net>{*Ipv4Net::parse("10.0.0.2/24"), *Ipv4Net::parse("10.1.0.2/16")};
  change.routes = std::vector<Ipv4Net>{};
  change.dns_server = *Ipv4Addr::parse("10.0.0.254");
  auto texts = to_texts(change);
  EXPECT_EQ(texts.ips, "10.0.0.2/24,10.1.0.2/16");
  EXPECT_EQ(texts.routes, "");
  EXPECT_EQ(texts.dns_server, "10.0.0.254");
}

TEST(NetworkChange, CRecordLayoutAndAccessors) {
  static_assert(sizeof(CNetworkChange) == 24);
  static_assert(offsetof(CNetworkChange, ips) == 0);
  static_assert(offsetof(CNetworkChange, routes) == 8);
  static_assert(offsetof(CNetworkChange, dns_server) == 16);
  char ips[] = "10.0.0.2/24";
  char routes[] = "";
  char dns[] = "10.0.0.254";
  CNetworkChange c{ips, routes, dns};
  EXPECT_STREQ(velarix_agent_network_change_ips(&c), "10.0.0.2/24");
  EXPECT_STREQ(velarix_agent_network_change_routes(&c), "");
  EXPECT_STREQ(velarix_agent_network_change_dns_server(&c), "10.0.0.254");
  EXPECT_EQ(velarix_agent_network_change_ips(nullptr), nullptr);
  EXPECT_EQ(velarix_agent_network_change_routes(nullptr), nullptr);
  EXPECT_EQ(velarix_agent_network_change_dns_server(nullptr), nullptr);
}

// A change gathered before a shut-down took the state lock never reaches the
// host after it: the listener's gathering and its call are two lock sections,
// and the shut-down can come between them.
TEST(NetworkChangeListener, NoCallbackForAChangeGatheredBeforeTheShutDown) {
  using velarix::p2p::util::block_on;
  velarix::test::AgentHarness harness;
  velarix::p2p::util::Runtime rt(4);
  const auto path = harness.write_config();
  auto cfg = AgentConfig::load(path);
  ASSERT_TRUE(cfg);
  std::atomic<int> calls{0};
  PlatformDependent platform;
  platform.network_change_callback = [&calls](NetworkChange) { calls++; };
  auto agent = block_on(rt, Agent::start(*cfg, path, std::move(platform), AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(agent);
  auto inner = agent->inner();
  auto& lock = inner->state_lock;

  // The state held; the listener queues for its gathering, the shut-down behind it.
  velarix::test::HeldState step(rt, inner);
  ASSERT_TRUE(velarix::test::eventually([&] { return step.locked(); }));
  std::thread listener([&] { block_on(rt, inner->notify_on_network_change()); });
  ASSERT_TRUE(velarix::test::eventually([&] { return lock.waiting() >= 1; }));
  std::thread shutting_down([&] { block_on(rt, agent->shutdown()); });
  ASSERT_TRUE(velarix::test::eventually([&] { return lock.waiting() >= 2; }));
  step.release();
  shutting_down.join();
  listener.join();
  EXPECT_EQ(calls.load(), 0) << "the host heard of a change after the shut-down";
}
