// NetworkConfig::try_from: reading a TOML document, then the rules on node
// addresses, hostnames, route destinations and gateways.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/config/network_config.h"
#include "config_test_support.h"

namespace velarix::network {
namespace {

using testing::key;
using testing::key_text;

struct Node {
  std::string ip;
  std::string hostname = "host";
};
struct Route {
  std::string dest;
  int gw = 1;  // key number; node n has key n
};

// Nodes get keys 1, 2, ... in order; hostnames are made unique unless given.
std::string doc(const std::string& network, const std::vector<Node>& nodes, const std::vector<Route>& routes = {}) {
  std::string out = fmt::format("network = \"{}\"\n", network);
  int k = 0;
  for (const auto& n : nodes) {
    ++k;
    std::string hostname = n.hostname == "host" ? fmt::format("host{}", k) : n.hostname;
    out += fmt::format("[[node]]\npk = \"{}\"\nip = \"{}\"\nhostname = \"{}\"\n", key_text(k), n.ip, hostname);
  }
  for (const auto& r : routes) out += fmt::format("[[route]]\ndest = \"{}\"\ngw = \"{}\"\n", r.dest, key_text(r.gw));
  return out;
}

// "" when the document is accepted, else the ConfigError's text.
std::string outcome(const std::string& text) {
  auto r = NetworkConfig::try_from(text);
  return r ? std::string() : r.error().message();
}

TEST(ValidationTest, NodeAddressesLieInTheNetworkAndAvoidTheReservedOne) {
  struct Case {
    const char* network;
    const char* ip;
    std::string error;
  } cases[] = {
      {"10.0.0.0/24", "10.0.0.1", ""},
      {"10.0.0.0/24", "10.0.0.0", ""},
      {"10.0.0.0/24", "10.0.0.255", ""},
      {"10.0.0.0/24", "10.0.0.254", "IP address 10.0.0.254 is reserved"},
      {"10.0.0.0/24", "10.0.1.1", "IP address 10.0.1.1 is not in network 10.0.0.0/24"},
      {"10.0.0.9/24", "10.0.0.0", ""},
      {"10.0.0.9/24", "10.0.0.255", ""},
      {"10.0.0.9/24", "10.0.0.9", ""},
      {"10.0.0.9/24", "10.0.0.254", "IP address 10.0.0.254 is reserved"},
      {"10.0.0.9/24", "10.0.1.9", "IP address 10.0.1.9 is not in network 10.0.0.9/24"},
      {"10.0.0.0/31", "10.0.0.1", ""},
      {"10.0.0.0/31", "10.0.0.0", "IP address 10.0.0.0 is reserved"},
      {"10.0.0.0/31", "10.0.0.2", "IP address 10.0.0.2 is not in network 10.0.0.0/31"},
      {"10.0.0.5/32", "10.0.0.5", ""},
      {"10.0.0.5/32", "10.0.0.4", "IP address 10.0.0.4 is not in network 10.0.0.5/32"},
      {"0.0.0.0/32", "0.0.0.0", ""},  // the reserved address wraps to 255.255.255.255
      {"0.0.0.0/0", "255.255.255.254", "IP address 255.255.255.254 is reserved"},
      {"0.0.0.0/0", "255.255.255.255", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(doc(c.network, {{c.ip}})), c.error) << c.network << " " << c.ip;
  }
}

TEST(ValidationTest, HostnamesAreHostLabels) {
  const std::string kelvin = "\u212Aelvin";
  struct Case {
    std::string hostname;
    bool ok;
  } cases[] = {
      {"web", true},
      {"Web-01", true},
      {"1", true},
      {"0-0", true},
      {"a--b", true},
      {std::string(63, 'a'), true},
      {kelvin, true},
      {"", false},
      {"-web", false},
      {"web-", false},
      {std::string(64, 'a'), false},
      {"web.lan", false},
      {"web_1", false},
      {"web 1", false},
      {"web ", false},
      {"caf\u00E9", false},
      {"\u0130x", false},  // lower-cases to i and a combining dot
      {std::string(62, 'a') + "\u212A", false},  // 63 characters but 65 bytes before lower-casing... and 63 after
  };
  // The KELVIN SIGN is three bytes and lower-cases to one: length is counted
  // after lower-casing, so 62 letters and a KELVIN SIGN are a valid 63-byte label.
  cases[std::size(cases) - 1].ok = true;
  for (const auto& c : cases) {
    std::string text = doc("10.0.0.0/24", {{"10.0.0.1", c.hostname}});
    auto r = NetworkConfig::try_from(text);
    if (c.ok) {
      ASSERT_TRUE(r) << c.hostname << ": " << r.error().message();
      EXPECT_EQ(r->node.at(key(1)).hostname, c.hostname);  // kept as written
    } else {
      ASSERT_FALSE(r) << c.hostname;
      ASSERT_EQ(r.error().kind(), ConfigError::Kind::HostnameInvalid) << c.hostname;
      EXPECT_EQ(r.error().message(), "invalid hostname: " + c.hostname);
    }
  }
  EXPECT_EQ(outcome(doc("10.0.0.0/24", {{"10.0.0.1", "Web_1"}})), "invalid hostname: Web_1");
}

TEST(ValidationTest, ChecksWithinANodeAndAcrossNodesAndRoutesRunInOrder) {
  // Outside the network and an invalid hostname: the address is reported.
  EXPECT_EQ(outcome(doc("10.0.0.0/24", {{"10.0.1.1", "bad_name"}})),
            "IP address 10.0.1.1 is not in network 10.0.0.0/24");
  // Reserved and an invalid hostname.
  EXPECT_EQ(outcome(doc("10.0.0.0/24", {{"10.0.0.254", "bad_name"}})), "IP address 10.0.0.254 is reserved");
  // Every node comes before any route.
  EXPECT_EQ(outcome(doc("10.0.0.0/24", {{"10.0.0.1", "bad_name"}}, {{"10.1.0.1/16", 9}})),
            "invalid hostname: bad_name");
  // A host-address destination with an unknown gateway: the destination is reported.
  EXPECT_EQ(outcome(doc("10.0.0.0/24", {{"10.0.0.1"}}, {{"10.1.0.1/16", 9}})),
            "invalid network address: 10.1.0.1/16 is a host address");
}

TEST(ValidationTest, RouteDestinationsAreNetworkAddressesAndGatewaysAreNodes) {
  struct Case {
    std::vector<Node> nodes;
    Route route;
    std::string error;
  } cases[] = {
      {{{"10.0.0.1"}}, {"10.1.0.0/16"}, ""},
      {{{"10.0.0.1"}}, {"0.0.0.0/0"}, ""},
      {{{"10.0.0.1"}}, {"10.1.2.3/32"}, ""},
      {{{"10.0.0.1"}}, {"10.1.0.1/16"}, "invalid network address: 10.1.0.1/16 is a host address"},
      {{{"10.0.0.1"}}, {"10.1.0.0/16", 2}, "gateway " + key_text(2) + " not found in nodes"},
      {{}, {"10.1.0.0/16", 1}, "gateway " + key_text(1) + " not found in nodes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(doc("10.0.0.0/24", c.nodes, {c.route})), c.error) << c.route.dest;
  }
  auto r = NetworkConfig::try_from(doc("10.0.0.0/24", {{"10.0.0.1"}}, {{"10.1.0.0/16", 2}}));
  ASSERT_FALSE(r);
  ASSERT_NE(r.error().get<ConfigError::GatewayNotFound>(), nullptr);
  EXPECT_EQ(r.error().get<ConfigError::GatewayNotFound>()->gw, key(2));
}

TEST(ValidationTest, GroupsAndPoliciesAreNotChecked) {
  std::string text = doc("10.0.0.0/24", {{"10.0.0.1"}}) +
                     fmt::format("[[route]]\ndest = \"10.1.0.0/16\"\ngw = \"{}\"\ngroups = [\"nobody\"]\n"
                                 "[[policy]]\nsource_groups = [\"ghost\"]\ndestination_groups = [\"ALL\"]\n"
                                 "[[policy]]\nsource_groups = [\"not a valid name!\"]\ndestination_groups = []\n",
                                 key_text(1));
  EXPECT_EQ(outcome(text), "");
  EXPECT_EQ(outcome("id = \"67e5504410b1426f9247bb680e5fe0c8\"\nname = \"\"\nnetwork = \"10.0.0.0/24\"\nextra = 1"), "");
}

TEST(ValidationTest, ReadingFailuresBecomeTomlErrors) {
  struct Case {
    const char* what;
    std::string text;
    std::string contains;
  } cases[] = {
      {"not TOML", "network = [", ""},
      {"JSON is not TOML", R"({"network": "10.0.0.0/24"})", ""},
      {"no network", "name = \"x\"", "missing field `network`"},
      {"repeated node key", doc("10.0.0.0/24", {{"10.0.0.1"}, {"10.0.0.2"}}).replace(
                                doc("10.0.0.0/24", {{"10.0.0.1"}, {"10.0.0.2"}}).find(key_text(2)), 64, key_text(1)),
       "duplicate public key: " + key_text(1)},
  };
  for (const auto& c : cases) {
    auto r = NetworkConfig::try_from(c.text);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error().kind(), ConfigError::Kind::TomlError) << c.what;
    const std::string text = r.error().message();
    EXPECT_TRUE(text.starts_with("TOML deserialization error: ")) << text;
    EXPECT_NE(text.find(c.contains), std::string::npos) << text;
  }
  // The quoted input line points at the fault.
  auto r = NetworkConfig::try_from("network = \"10.0.0.0/24\"\nname = 5\n");
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message().find("| name = 5"), std::string::npos) << r.error().message();
}

}  // namespace
}  // namespace velarix::network
