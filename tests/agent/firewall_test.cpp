// The firewall's tries built from the access rules of several networks on a
// running agent's node: collisions between networks, rules that give nothing,
// and a peer the node cannot send to.

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/inner.h"
#include "common/agent_harness.h"
#include "common/log_capture.h"

namespace velarix::test {
namespace {

using network::Action;
using network::Direction;
using network::EffectiveAccessRule;
using network::EffectiveAccessRuleList;
using network::EffectiveAccessRuleListEntryKey;
using network::Ipv4Addr;
using network::Ipv4Net;

p2p::PubKey peer(std::uint8_t n) {
  p2p::SecKey::Bytes seed{};
  seed.fill(n);
  return p2p::Identity(p2p::SecKey(seed), p2p::Pow(0)).pk();
}

Ipv4Addr ip(const char* text) { return *Ipv4Addr::parse(text); }

struct Rule {
  Direction direction;
  const char* source;
  const char* dest;
  p2p::PubKey pk;
  Action action = Action::Allow;
};

EffectiveAccessRuleList rules(const std::vector<Rule>& list) {
  EffectiveAccessRuleList out;
  for (const auto& r : list) {
    const EffectiveAccessRule rule{r.direction, *Ipv4Net::parse(r.source), *Ipv4Net::parse(r.dest), r.pk, r.action};
    out.rules.emplace(EffectiveAccessRuleListEntryKey{rule.direction, rule.source, rule.dest}, rule);
  }
  return out;
}

TEST(FirewallTries, EveryNetworksAllowingRulesWithOneNetworkPerOuterKey) {
  AgentHarness harness;
  p2p::util::Runtime rt{2};
  auto config = agent::AgentConfig::load(harness.write_config());
  ASSERT_TRUE(config);
  auto started = p2p::util::block_on(rt, agent::Agent::start(*config, harness.path(), agent::PlatformDependent{},
                                                             agent::AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(started) << started.error().message();
  agent::Agent agent = std::move(*started);
  auto& inner = *agent.inner();

  const auto p1 = peer(1), p2 = peer(2), p3 = peer(3);
  const auto super_peer = harness.super_peer().public_key();  // the node sends to no super peer as a peer
  agent::NetworkMap networks;
  auto add = [&](const char* url, std::optional<EffectiveAccessRuleList> list) {
    auto& n = networks[*agent::Url::parse(url)];
    n.config_url = url;
    n.current_state.access_rules.applied = std::move(list);
  };
  // One and two both route 192.168.0.0/24 (out, and in from there).
  add("https://one.example/net", rules({{Direction::OUT, "10.1.0.1/32", "10.1.0.2/32", p1},
                                        {Direction::OUT, "10.1.0.1/32", "192.168.0.0/24", p1},
                                        {Direction::IN, "10.1.0.2/32", "10.1.0.1/32", p1},
                                        {Direction::IN, "192.168.0.0/24", "10.1.0.1/32", p1}}));
  add("https://two.example/net", rules({{Direction::OUT, "10.2.0.1/32", "10.2.0.2/32", p2},
                                        {Direction::OUT, "10.2.0.1/32", "10.2.0.3/32", super_peer},
                                        {Direction::OUT, "10.2.0.1/32", "192.168.0.0/24", p2},
                                        {Direction::IN, "10.2.0.2/32", "10.2.0.1/32", p2},
                                        {Direction::IN, "192.168.0.0/24", "10.2.0.1/32", p2}}));
  add("https://three.example/net", rules({{Direction::OUT, "10.3.0.1/32", "10.3.0.2/32", p3, Action::Deny},
                                          {Direction::IN, "10.3.0.2/32", "10.3.0.1/32", p3, Action::Deny}}));
  add("https://four.example/net", std::nullopt);

  LogCapture::get().clear();
  agent::AgentFirewall::update_tries(inner, networks);
  const auto tx = inner.tx_trie.load();
  const auto rx = inner.rx_trie.load();
  auto send_to = [&](const char* dst, const char* src) -> std::optional<p2p::PubKey> {
    const auto* handle = network::lookup_route(*tx, ip(dst), ip(src));
    if (handle == nullptr) return std::nullopt;
    return (*handle)->pk();
  };
  auto accept_from = [&](const char* src, const char* dst) -> std::optional<p2p::PubKey> {
    const auto* pk = network::lookup_route(*rx, ip(src), ip(dst));
    return pk ? std::optional(*pk) : std::nullopt;
  };

  struct Case {
    const char* what;
    std::optional<p2p::PubKey> got;
    std::optional<p2p::PubKey> expected;
  } cases[] = {
      {"one's own route", send_to("10.1.0.2", "10.1.0.1"), p1},
      {"one's inbound rule", accept_from("10.1.0.2", "10.1.0.1"), p1},
      {"two's route beside the one without a handle", send_to("10.2.0.2", "10.2.0.1"), p2},
      {"two's inbound rule, built after the route without a handle", accept_from("10.2.0.2", "10.2.0.1"), p2},
      {"the route through a super peer is left out", send_to("10.2.0.3", "10.2.0.1"), std::nullopt},
      {"three denies only: nothing out", send_to("10.3.0.2", "10.3.0.1"), std::nullopt},
      {"three denies only: nothing in", accept_from("10.3.0.2", "10.3.0.1"), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;

  // The shared destination holds the entries of one network only, the same one
  // in both tries: packets of the other network miss it (never merged).
  const auto out_one = send_to("192.168.0.5", "10.1.0.1"), out_two = send_to("192.168.0.5", "10.2.0.1");
  const auto in_one = accept_from("192.168.0.5", "10.1.0.1"), in_two = accept_from("192.168.0.5", "10.2.0.1");
  EXPECT_NE(out_one.has_value(), out_two.has_value());
  EXPECT_EQ(out_one.has_value(), in_one.has_value());
  EXPECT_EQ(out_two.has_value(), in_two.has_value());
  EXPECT_EQ(out_one.value_or(p1), p1);
  EXPECT_EQ(out_two.value_or(p2), p2);
  EXPECT_EQ(in_one.value_or(p1), p1);
  EXPECT_EQ(in_two.value_or(p2), p2);

  if (LogCapture::get().installed()) {
    auto& log = LogCapture::get();
    EXPECT_EQ(log.count("No access rules available for network network=\"https://four.example/net\""), 1u);
    EXPECT_EQ(log.count("No access rules available for network"), 1u);
    EXPECT_EQ(log.count("Processing access rules for network network=\"https://three.example/net\""), 1u);
    EXPECT_EQ(log.count("Processing access rules for network"), 3u);
    EXPECT_EQ(log.count("warning update_tries: No send handle for peer " + super_peer.to_string() +
                        ", route 10.2.0.1/32 -> 10.2.0.3/32 left out: "),
              1u);
    EXPECT_EQ(log.count("Tries rebuilt successfully."), 1u);
  }
  p2p::util::block_on(rt, agent.shutdown());
}

}  // namespace
}  // namespace velarix::test
