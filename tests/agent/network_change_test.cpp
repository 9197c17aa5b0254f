#include <gtest/gtest.h>

#include "agent/network_change.h"
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
