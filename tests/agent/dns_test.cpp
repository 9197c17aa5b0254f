#include <gtest/gtest.h>

#include <algorithm>

#include "agent/dns/dns.h"

using namespace velarix::agent;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;

namespace {

Network network(bool disabled, std::optional<std::string> ip, std::vector<std::pair<std::string, std::string>> hosts) {
  Network n;
  n.disabled = disabled;
  if (ip) n.current_state.ip.applied = *Ipv4Net::parse(*ip);
  if (!hosts.empty()) {
    velarix::network::HostnameList list;
    for (auto& [addr, host] : hosts) list.hostnames.emplace(*Ipv4Addr::parse(addr), host);
    n.desired_state.hostnames.applied = list;
  }
  return n;
}

Url url(const char* text) { return *Url::parse(text); }

}  // namespace

TEST(AgentDns, ServerAddressIsBroadcastMinusOne) {
  struct Case {
    const char* net;
    const char* server;
  } cases[] = {{"10.20.0.0/16", "10.20.255.254"}, {"10.7.3.5/24", "10.7.3.254"}, {"10.1.2.3/32", "10.1.2.2"},
               {"0.0.0.0/32", "0.0.0.0"}};
  for (const auto& c : cases) EXPECT_EQ(dns_server_address(*Ipv4Net::parse(c.net)).to_string(), c.server) << c.net;
}

TEST(AgentDns, ServerAddressComesFromAnEnabledNetworkWithAnAddress) {
  AgentDns dns;
  NetworkMap networks;
  dns.apply_desired_state(networks);
  EXPECT_FALSE(dns.server_ip());
  EXPECT_FALSE(dns.is_server_ip(Ipv4Addr(0)));

  networks.emplace(url("https://a.example/"), network(true, "10.1.0.5/24", {}));
  dns.apply_desired_state(networks);
  EXPECT_FALSE(dns.server_ip()) << "a disabled network never provides the server address";

  networks.emplace(url("https://b.example/"), network(false, "10.2.0.5/24", {}));
  dns.apply_desired_state(networks);
  ASSERT_TRUE(dns.server_ip());
  EXPECT_EQ(dns.server_ip()->to_string(), "10.2.0.254");
  EXPECT_TRUE(dns.is_server_ip(*Ipv4Addr::parse("10.2.0.254")));
  EXPECT_FALSE(dns.is_server_ip(*Ipv4Addr::parse("10.2.0.253")));

  networks.at(url("https://b.example/")).current_state.ip.applied.reset();
  dns.apply_desired_state(networks);
  EXPECT_FALSE(dns.server_ip()) << "losing the last address unsets the server";
}

TEST(AgentDns, CatalogHoldsEveryNetworksNamesAndIsRebuiltOnlyOnChange) {
  AgentDns dns;
  NetworkMap networks;
  networks.emplace(url("https://a.example/"), network(false, "10.20.0.1/16", {{"10.20.0.7", "db"}}));
  networks.emplace(url("https://b.example/"), network(false, std::nullopt, {{"10.30.0.8", "Web"}}));
  dns.apply_desired_state(networks);
  auto catalog = dns.catalog();
  EXPECT_EQ(catalog->origin(), "velarix.internal.");
  ASSERT_NE(catalog->lookup("db.velarix.internal."), nullptr);
  EXPECT_EQ(catalog->lookup("db.velarix.internal.")->at(0).to_string(), "10.20.0.7");
  ASSERT_NE(catalog->lookup("WEB.velarix.internal"), nullptr);
  EXPECT_EQ(catalog->record_count(), 2u);
  for (const auto& [u, n] : networks) EXPECT_EQ(n.current_state.hostnames, n.desired_state.hostnames);

  dns.apply_desired_state(networks);
  EXPECT_EQ(dns.catalog(), catalog) << "unchanged names keep the same catalog";

  networks.at(url("https://b.example/")).desired_state.hostnames.applied.reset();
  dns.apply_desired_state(networks);
  EXPECT_NE(dns.catalog(), catalog);
  EXPECT_EQ(dns.catalog()->lookup("web.velarix.internal."), nullptr);
  EXPECT_NE(dns.catalog()->lookup("db.velarix.internal."), nullptr);
}

TEST(AgentDns, NamesThatAreNotDomainNamesAreSkipped) {
  NetworkMap networks;
  networks.emplace(url("https://a.example/"),
                   network(false, std::nullopt, {{"10.0.0.1", std::string(64, 'x')}, {"10.0.0.2", "ok"}}));
  auto catalog = AgentDns::build_catalog(networks);
  EXPECT_EQ(catalog.record_count(), 1u);
  EXPECT_TRUE(catalog.has_zone());
}

TEST(AgentDns, EachAddressOnceForANameListedSeveralTimes) {
  NetworkMap networks;
  networks.emplace(url("https://a.example/"), network(false, std::nullopt, {{"10.0.0.1", "db"}, {"10.0.0.2", "DB"}}));
  networks.emplace(url("https://b.example/"), network(false, std::nullopt, {{"10.0.0.1", "Db"}}));
  auto catalog = AgentDns::build_catalog(networks);
  ASSERT_NE(catalog.lookup("db.velarix.internal"), nullptr);
  auto addrs = *catalog.lookup("db.velarix.internal");
  std::sort(addrs.begin(), addrs.end());
  EXPECT_EQ(addrs, (std::vector<Ipv4Addr>{*Ipv4Addr::parse("10.0.0.1"), *Ipv4Addr::parse("10.0.0.2")}));
}
