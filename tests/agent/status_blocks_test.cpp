// The report's blocks: one path record, a super peer, a node peer, a network.

#include <gtest/gtest.h>

#include <ctime>

#include <boost/asio/ip/address.hpp>

#include "agent/status.h"
#include "agent/status_format.h"
#include "peer/node_peer.h"
#include "common/temp_dir.h"

using namespace velarix::agent;
using velarix::network::AgentState;
using velarix::network::AppliedStatus;
using velarix::network::Direction;
using velarix::network::EffectiveAccessRule;
using velarix::network::EffectiveAccessRuleList;
using velarix::network::EffectiveAccessRuleListEntryKey;
using velarix::network::EffectiveForwardingList;
using velarix::network::EffectiveRoute;
using velarix::network::EffectiveRoutingList;
using velarix::network::HostnameList;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;
using velarix::network::NetworkHealth;
using velarix::p2p::PeerPathInner;
using velarix::p2p::PeerPathKey;
using velarix::p2p::PubKey;
using velarix::p2p::UdpEndpoint;
using velarix::test::ScopedEnv;

namespace {

// 2023-11-14T22:13:20Z
constexpr std::uint64_t kT = 1'700'000'000'000'000;  // µs
constexpr std::uint64_t kNow = kT * 1000;             // ns

class UtcZone : public ::testing::Test {
 protected:
  UtcZone() { ::tzset(); }
  ~UtcZone() override { ::tzset(); }
  ScopedEnv tz_{"TZ", "UTC0"};
};

UdpEndpoint ep(const char* addr, std::uint16_t port) {
  return UdpEndpoint(boost::asio::ip::make_address(addr), port);
}

PubKey key(std::uint8_t fill) {
  PubKey::Bytes b{};
  b.fill(fill);
  return PubKey(b);
}

Ipv4Net net(const char* text) { return *Ipv4Net::parse(text); }

// Each line of `text` behind `prefix`.
std::string indent(const std::string& text, const std::string& prefix) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += prefix + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return out;
}

using PathText = UtcZone;

TEST_F(PathText, FreshPath) {
  EXPECT_EQ(format_path(PeerPathInner{}, kNow),
            "Unanswered HELLO Since: No HELLO sent yet\n"
            "Last ACK Time: Never\n"
            "Last ACK Source: \n"
            "Latencies:\n"
            "  Median Latency: None\n"
            "[Reachable: false]");
}

TEST_F(PathText, AnsweredPathWithLatencies) {
  PeerPathInner p;
  p.hello_tx = 0;
  p.latencies = {1000, 2500};
  p.last_ack_src = ep("198.18.0.7", 4000);
  p.last_ack_time = kT - 1'500'000;
  EXPECT_EQ(format_path(p, kNow),
            "Unanswered HELLO Since: No unanswered HELLO\n"
            "Last ACK Time: 2023-11-14T22:13:18.500+00:00 (1s 500ms ago)\n"
            "Last ACK Source: 198.18.0.7:4000\n"
            "Latencies: 1.000 ms, 2.500 ms\n"
            "  Median Latency: 1.750 ms\n"
            "[Reachable: true]");
}

TEST_F(PathText, UnansweredHelloHasNoAgo) {
  PeerPathInner p;
  p.hello_tx = kT - 2'000'000;
  p.latencies = {1, 2};  // median 1 µs, halved in whole microseconds
  p.last_ack_src = ep("::1", 5000);
  const auto text = format_path(p, kNow);
  EXPECT_NE(text.find("Unanswered HELLO Since: 2023-11-14T22:13:18+00:00 (2s)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Last ACK Source: [::1]:5000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Latencies: 0.001 ms, 0.002 ms\n  Median Latency: 0.001 ms\n"), std::string::npos) << text;
}

TEST_F(PathText, ReachableForThirtySecondsAfterTheLastAck) {
  struct Case {
    std::uint64_t ack;
    bool reachable;
  };
  const Case cases[] = {{kT - 30'000'000, true}, {kT - 30'000'001, false}, {kT + 5'000'000, true}, {0, false}};
  for (const auto& c : cases) {
    PeerPathInner p;
    p.last_ack_time = c.ack;
    const auto text = format_path(p, kNow);
    EXPECT_TRUE(text.ends_with(c.reachable ? "[Reachable: true]" : "[Reachable: false]")) << c.ack << "\n" << text;
  }
}

using PeerBlocks = UtcZone;

TEST_F(PeerBlocks, SuperPeerWithoutLinkOrAddresses) {
  SuperPeerStatus s;
  s.address = "sp.example:4433";
  s.port = 4433;
  EXPECT_EQ(s.to_string_at(kNow),
            "Address: sp.example:4433\n"
            "Resolved Addresses: None\n"
            "TCP:\n"
            "  Port: 4433\n"
            "  Connection: Not present\n"
            "UDP:\n"
            "  Best Path: None\n"
            "  Paths:\n"
            "[Reachable: false]\n");
}

TEST_F(PeerBlocks, SuperPeerWithLinkAndSortedPaths) {
  SuperPeerStatus s;
  s.address = "127.0.0.1:4433";
  s.port = 4433;
  s.resolved_addrs = velarix::p2p::ResolvedAddrs{ep("127.0.0.1", 4433), ep("::1", 4433)};
  s.tcp_path = PeerPathInner{};  // connecting: no HELLO yet, no ACK
  PeerPathInner answered;
  answered.hello_tx = 0;
  answered.last_ack_time = kT;
  answered.latencies = {800};
  const PeerPathKey second{ep("127.0.0.2", 1), ep("127.0.0.1", 4433)};
  const PeerPathKey first{ep("127.0.0.1", 9), ep("127.0.0.1", 4433)};
  s.udp_paths.emplace(second, PeerPathInner{});
  s.udp_paths.emplace(first, answered);
  s.best_udp_path = first;
  s.reachable = true;
  const std::string expected =
      "Address: 127.0.0.1:4433\n"
      "Resolved Addresses:\n"
      "  127.0.0.1:4433\n"
      "  [::1]:4433\n"
      "TCP:\n"
      "  Port: 4433\n"
      "  Connection: Establishing\n" +
      indent(format_path(PeerPathInner{}, kNow), "  ") +
      "UDP:\n"
      "  Best Path: 127.0.0.1:9->127.0.0.1:4433\n"
      "  Paths:\n"
      "    127.0.0.1:9->127.0.0.1:4433:\n" +
      indent(format_path(answered, kNow), "      ") + "    127.0.0.2:1->127.0.0.1:4433:\n" +
      indent(format_path(PeerPathInner{}, kNow), "      ") + "[Reachable: true]\n";
  EXPECT_EQ(s.to_string_at(kNow), expected);

  // A link counts as established once it sent a HELLO or heard an ACK.
  s.tcp_path->hello_tx = kT;
  EXPECT_NE(s.to_string_at(kNow).find("  Connection: Established\n"), std::string::npos);
  s.tcp_path = PeerPathInner{};
  s.tcp_path->last_ack_time = kT;
  EXPECT_NE(s.to_string_at(kNow).find("  Connection: Established\n"), std::string::npos);
  // An empty lookup answer still prints its header.
  s.resolved_addrs = velarix::p2p::ResolvedAddrs{};
  EXPECT_NE(s.to_string_at(kNow).find("Resolved Addresses:\nTCP:\n"), std::string::npos);
}

TEST_F(PeerBlocks, NewNodePeer) {
  NodePeerStatus s;
  s.best_relay = key(0xAB);
  s.rx_short_id = velarix::p2p::ShortId(0x01020304);
  EXPECT_EQ(s.to_string_at(kNow),
            "PoW State: Unknw\n"
            "Created At: Never\n"
            "APP TX: Never\n"
            "APP RX: Never\n"
            "Best Direct Path: None\n"
            "Direct Paths: None\n"
            "Best Relay Path: " +
                key(0xAB).to_string() +
                "\n"
                "Relay Paths: None\n"
                "TX Short ID: None\n"
                "RX Short ID: 01020304\n"
                "[Reachable: false]\n");
}

TEST_F(PeerBlocks, NodePeerWithTrafficAndPaths) {
  NodePeerStatus s;
  s.pow_state = velarix::p2p::PowStatus::Ok;
  s.created_at = kT - 61'000'000;
  s.app_tx = kT - 250'000;
  s.app_rx = kT;
  const PeerPathKey direct{ep("127.0.0.1", 1000), ep("127.0.0.1", 2000)};
  PeerPathInner p;
  p.last_ack_time = kT;
  s.direct_paths.emplace(direct, p);
  s.best_path = direct;
  s.relay_paths.emplace(key(0x22), PeerPathInner{});
  s.relay_paths.emplace(key(0x11), p);
  s.best_relay = key(0x11);
  s.rx_short_id = velarix::p2p::ShortId(0xA);
  s.tx_short_id = velarix::p2p::ShortId(0xB);
  s.reachable = true;
  const std::string expected =
      "PoW State: Ok\n"
      "Created At: 2023-11-14T22:12:19+00:00 (1m 1s ago)\n"
      "APP TX: 2023-11-14T22:13:19.750+00:00 (250ms ago)\n"
      "APP RX: 2023-11-14T22:13:20+00:00 (0s ago)\n"
      "Best Direct Path: 127.0.0.1:1000->127.0.0.1:2000\n"
      "Direct Paths:\n"
      "  127.0.0.1:1000->127.0.0.1:2000:\n" +
      indent(format_path(p, kNow), "    ") + "Best Relay Path: " + key(0x11).to_string() + "\n" +
      "Relay Paths:\n"
      "  Super Peer " +
      key(0x11).to_string() + ":\n" + indent(format_path(p, kNow), "    ") + "  Super Peer " + key(0x22).to_string() +
      ":\n" + indent(format_path(PeerPathInner{}, kNow), "    ") +
      "TX Short ID: 0000000b\n"
      "RX Short ID: 0000000a\n"
      "[Reachable: true]\n";
  EXPECT_EQ(s.to_string_at(kNow), expected);
}

// A node peer counts as reachable in the report while one of its direct paths
// had an ACK within the last 30 s.
TEST(NodePeerReachability, ThirtySecondsAfterTheLastAck) {
  struct Case {
    std::uint64_t age_s;
    bool reachable;
  } cases[] = {{1, true}, {25, true}, {35, false}};
  for (const auto& c : cases) {
    const std::uint64_t now = now_ns() / 1000;
    auto peer = velarix::p2p::NodePeer::create(std::nullopt, key(1), 0, false, std::nullopt, std::nullopt, now, key(2));
    ASSERT_TRUE(peer);
    auto path = (*peer)->direct_path(PeerPathKey{ep("127.0.0.1", 1000), ep("127.0.0.1", 2000)}, now, 1000);
    ASSERT_TRUE(path);
    const auto ack = now - c.age_s * 1'000'000;
    path->hello_tx(ack - 1000);
    ASSERT_TRUE(path->ack_rx(ack, ep("127.0.0.1", 2000), ack - 1000));
    EXPECT_EQ(NodePeerStatus::new_(**peer).reachable, c.reachable) << c.age_s << " s";
  }
}

// ---------------------------------------------------------------------------

EffectiveAccessRuleList rules() {
  EffectiveAccessRuleList list;
  EffectiveAccessRule out{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), key(2),
                          velarix::network::Action::Allow};
  list.rules.emplace(EffectiveAccessRuleListEntryKey{out.direction, out.source, out.dest}, out);
  return list;
}

EffectiveRoutingList routes(const char* dest) {
  EffectiveRoutingList list;
  list.routes.emplace(net(dest), EffectiveRoute{net(dest), Ipv4Addr(10, 0, 0, 2)});
  return list;
}

HostnameList hostnames() {
  HostnameList list;
  list.hostnames.emplace(Ipv4Addr(10, 0, 0, 1), "me");
  list.hostnames.emplace(Ipv4Addr(10, 0, 0, 2), "peer");
  return list;
}

AgentState full_state() {
  AgentState s;
  s.ip.applied = net("10.0.0.1/24");
  s.access_rules.applied = rules();
  s.routes.applied = routes("10.1.0.0/16");
  s.forwardings.applied = EffectiveForwardingList{{net("10.9.0.0/16"), net("10.2.0.0/16"), net("10.2.0.0/15")}};
  s.hostnames.applied = hostnames();
  return s;
}

TEST(NetworkBlock, AppliedAsDesiredPrintsEachItemOnce) {
  NetworkStatus s{.name = "office", .desired_state = full_state(), .current_state = full_state(),
                  .health = NetworkHealth::ok(), .disabled = false};
  const std::string expected = "Name: office\nDisabled: false\nStatus: Ok\nIP: 10.0.0.1/24\nAccess Rules:\n" +
                               indent(rules().to_string(), "  ") + "Routes:\n" +
                               indent(routes("10.1.0.0/16").to_string(), "  ") +
                               "Forwardings:\n  10.2.0.0/15\n  10.2.0.0/16\n  10.9.0.0/16\nHostnames:\n" +
                               indent(hostnames().to_string(), "  ");
  EXPECT_EQ(s.to_string_with_secrets(false), expected);
}

TEST(NetworkBlock, DifferingItemsPrintCurrentAndDesired) {
  auto desired = full_state();
  desired.routes.applied = routes("10.3.0.0/16");
  desired.ip.applied = net("10.0.0.5/24");
  auto current = full_state();
  current.ip.error = "address in use";
  NetworkStatus s{.name = std::nullopt, .desired_state = desired, .current_state = current,
                  .health = NetworkHealth::pending(), .disabled = true};
  const auto text = s.to_string_with_secrets(false);
  EXPECT_TRUE(text.starts_with("Name: None\nDisabled: true\nStatus: Pending\n"
                               "IP:\n  Current: 10.0.0.1/24 (Error: address in use)\n  Desired: 10.0.0.5/24\n"))
      << text;
  EXPECT_NE(text.find("Routes:\n  Current:\n" + indent(routes("10.1.0.0/16").to_string(), "    ") +
                      "  Desired:\n" + indent(routes("10.3.0.0/16").to_string(), "    ") + "Forwardings:\n  10.2"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Access Rules:\n" + indent(rules().to_string(), "  ") + "Routes:"), std::string::npos) << text;
}

TEST(NetworkBlock, NothingEmptyAndErrors) {
  AgentState current;
  current.hostnames.applied = HostnameList{};
  current.routes.applied = EffectiveRoutingList{};
  current.routes.error = "no gateway";
  current.access_rules.applied = rules();
  current.access_rules.error = "duplicate rule";
  current.forwardings.error = "not supported";
  AgentState desired = current;
  NetworkStatus s{.name = std::nullopt, .desired_state = desired, .current_state = current,
                  .health = NetworkHealth::initializing(), .disabled = false};
  EXPECT_EQ(s.to_string_with_secrets(false),
            "Name: None\nDisabled: false\nStatus: Initializing\nIP: None\nAccess Rules:\n" +
                indent(rules().to_string(), "  ") +
                "  Error: duplicate rule\n"
                "Routes:\n  Empty (Error: no gateway)\n"
                "Forwardings:\n  None (Error: not supported)\n"
                "Hostnames:\n  Empty\n");

  NetworkStatus bare{.name = std::nullopt, .desired_state = {}, .current_state = {},
                     .health = NetworkHealth::not_a_member_error(), .disabled = false};
  EXPECT_EQ(bare.to_string_with_secrets(false),
            "Name: None\nDisabled: false\nStatus: NotAMemberError\nIP: None\n"
            "Access Rules:\n  None\nRoutes:\n  None\nForwardings:\n  None\nHostnames:\n  None\n");
}

TEST(NetworkBlock, HostileTextsStayOnTheirLine) {
  AgentState state;
  HostnameList names;
  names.hostnames.emplace(Ipv4Addr(10, 0, 0, 1), "evil\nStatus: Ok");
  state.hostnames.applied = names;
  state.ip.error = "bad\r\nIP: 10.6.6.6/32";
  NetworkStatus s{.name = "net\n  Disabled: false\x1b[2J" + std::string(1000, 'x'), .desired_state = state,
                  .current_state = state,
                  .health = NetworkHealth::retrieve_config_error("got \"oops\"\nStatus: Ok from https://u:p@h/x"),
                  .disabled = false};
  const auto text = s.to_string_with_secrets(false);
  EXPECT_NE(text.find("Name: net\\n  Disabled: false\\u{1b}[2J" + std::string(481, 'x') + "...(+519 bytes)\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Status: RetrieveConfigError(\"got \\\"oops\\\"\\nStatus: Ok from https://****:****@h/x\")\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("IP: None (Error: bad\\r\\nIP: 10.6.6.6/32)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("evil\\nStatus: Ok.velarix.internal\n"), std::string::npos) << text;
  // Exactly the fixed lines: nothing from outside started one of its own.
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 4u + 2 + 2 + 2 + 3);
  // With secrets the URL in the message keeps its credentials.
  EXPECT_NE(s.to_string_with_secrets(true).find("https://u:p@h/x"), std::string::npos);
}

TEST(NetworkBlock, StatusTextAndControllerUrls) {
  using K = NetworkHealth;
  struct Case {
    bool disabled;
    NetworkHealth health;
    const char* text;
  };
  const Case cases[] = {
      {true, K::disabled(), "Disabled"},
      {true, K::ok(), "Disabling..."},
      {false, K::disabled(), "Enabling..."},
      {false, K::initializing(), "Initializing..."},
      {false, K::ok(), "Ok"},
      {false, K::pending(), "Pending"},
      {false, K::not_a_member_error(), "Error - Not a Member"},
      {false, K::retrieve_config_error("timed out\n"), "Config Error - timed out\\n"},
  };
  for (const auto& c : cases) {
    NetworkStatus s{.name = std::nullopt, .desired_state = {}, .current_state = {}, .health = c.health,
                    .disabled = c.disabled};
    EXPECT_EQ(NetworkStatus::status_text(s), c.text) << c.health.debug();
  }
  EXPECT_TRUE(NetworkStatus::is_controller_managed(*Url::parse("controller://4f6c2a3e")));
  EXPECT_FALSE(NetworkStatus::is_controller_managed(*Url::parse("https://controller.example/net.toml")));
  EXPECT_FALSE(NetworkStatus::is_controller_managed(*Url::parse("file:///controller")));
}

}  // namespace
