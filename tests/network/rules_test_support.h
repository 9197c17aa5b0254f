#pragma once
// Compact builders for network configurations in the access-rule, route,
// trie and table tests.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "identity/identity.h"
#include "network/config/ipv4_net.h"
#include "network/config/network_config.h"

namespace velarix::network::rules_test {

// A distinct key per number.
inline p2p::PubKey pk(int n) {
  p2p::PubKey::Bytes b{};
  b[0] = static_cast<std::uint8_t>(n);
  b[31] = static_cast<std::uint8_t>(n >> 8);
  b[15] = 0xA5;
  return p2p::PubKey(b);
}

inline Ipv4Net net(std::string_view text) {
  auto n = Ipv4Net::parse(text);
  EXPECT_TRUE(n) << text;
  return n.value_or(Ipv4Net{});
}

inline Ipv4Addr ip(std::string_view text) {
  auto a = Ipv4Addr::parse(text);
  EXPECT_TRUE(a) << text;
  return a.value_or(Ipv4Addr{});
}

struct NodeSpec {
  int key;
  const char* ip;
  const char* hostname;
  std::vector<std::string> groups = {};
};

struct RouteSpec {
  const char* dest;
  int gw;
  std::vector<std::string> groups = {};
};

struct PolicySpec {
  std::vector<std::string> source_groups;
  std::vector<std::string> destination_groups;
};

// `bucket_hint` spreads the maps over a different number of buckets, which
// changes the order in which they are visited.
inline NetworkConfig make_config(const char* network, std::initializer_list<NodeSpec> nodes,
                                 std::initializer_list<RouteSpec> routes = {},
                                 std::initializer_list<PolicySpec> policies = {}, std::size_t bucket_hint = 0) {
  NetworkConfig c;
  c.network = net(network);
  if (bucket_hint != 0) {
    c.node.reserve(bucket_hint);
    c.route.reserve(bucket_hint);
  }
  for (const auto& n : nodes) {
    NetworkNode node{pk(n.key), ip(n.ip), n.hostname, GroupSet(n.groups.begin(), n.groups.end())};
    c.node.emplace(node.pk, std::move(node));
  }
  for (const auto& r : routes) {
    NetworkRoute route{net(r.dest), pk(r.gw), GroupSet(r.groups.begin(), r.groups.end())};
    c.route.emplace(route.dest, std::move(route));
  }
  for (const auto& p : policies) {
    c.policy.insert(NetworkPolicy{GroupSet(p.source_groups.begin(), p.source_groups.end()),
                                  GroupSet(p.destination_groups.begin(), p.destination_groups.end())});
  }
  return c;
}

}  // namespace velarix::network::rules_test
