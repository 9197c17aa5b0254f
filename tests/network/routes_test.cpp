// Routes a node uses, destinations it forwards for, hostnames it may reach,
// and the group and address lookups on a configuration.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "network/config/network_config.h"
#include "network/config/routes.h"
#include "rules_test_support.h"

namespace velarix::network {
namespace {

using rules_test::ip;
using rules_test::make_config;
using rules_test::net;
using rules_test::pk;

// Destination text to gateway text, ordered, for readable comparisons.
std::map<std::string, std::string> routes_of(const EffectiveRoutingList& list) {
  std::map<std::string, std::string> out;
  for (const auto& [dest, r] : list) {
    EXPECT_EQ(dest, r.dest);
    out.emplace(dest.to_string(), r.gw.to_string());
  }
  return out;
}

std::set<std::string> nets_of(const EffectiveForwardingList& list) {
  std::set<std::string> out;
  for (const auto& n : list) out.insert(n.to_string());
  return out;
}

TEST(EffectiveRoutingListTest, WhoUsesWhichRoute) {
  // 1 in {a}, 2 in {a, b}, 3 in {b}. Routes: through 2 for {a}; through 3 for
  // everyone; through 1 for {b}; through 3 again for {c}; two routes via 2.
  const auto config = make_config("10.0.0.0/24",
                                  {{1, "10.0.0.1", "one", {"a"}},
                                   {2, "10.0.0.2", "two", {"a", "b"}},
                                   {3, "10.0.0.3", "three", {"b"}}},
                                  {{"192.168.1.0/24", 2, {"a"}},
                                   {"192.168.2.0/24", 3},
                                   {"192.168.3.0/24", 1, {"b"}},
                                   {"192.168.4.0/24", 3, {"c"}},
                                   {"172.16.0.0/12", 2}});
  struct Case {
    int me;
    std::map<std::string, std::string> routes;
    std::set<std::string> forwardings;
  } cases[] = {
      {1,
       {{"192.168.1.0/24", "10.0.0.2"}, {"192.168.2.0/24", "10.0.0.3"}, {"172.16.0.0/12", "10.0.0.2"}},
       {"192.168.3.0/24"}},
      {2, {{"192.168.2.0/24", "10.0.0.3"}, {"192.168.3.0/24", "10.0.0.1"}}, {"192.168.1.0/24", "172.16.0.0/12"}},
      // Node 3 is gateway of the {c} route although it is not in c.
      {3, {{"192.168.3.0/24", "10.0.0.1"}, {"172.16.0.0/12", "10.0.0.2"}}, {"192.168.2.0/24", "192.168.4.0/24"}},
  };
  for (const auto& c : cases) {
    const auto routes = config.effective_routing_list(pk(c.me));
    ASSERT_TRUE(routes) << routes.error().message();
    EXPECT_EQ(routes_of(*routes), c.routes) << "node " << c.me;
    EXPECT_EQ(nets_of(config.effective_forwarding_list(pk(c.me))), c.forwardings) << "node " << c.me;
  }
}

TEST(EffectiveRoutingListTest, GroupsAreExactNames) {
  struct Case {
    std::vector<std::string> my_groups;
    std::vector<std::string> route_groups;
    bool used;
  } cases[] = {
      {{"b"}, {"a"}, false}, {{"a", "b"}, {"a"}, true}, {{}, {"a"}, false}, {{"A"}, {"a"}, false},
      {{"x"}, {"ALL"}, false},  // ALL is no wildcard in a route
      {{}, {}, true},
  };
  for (const auto& c : cases) {
    const auto config = make_config("10.0.0.0/24", {{1, "10.0.0.1", "me", c.my_groups}, {2, "10.0.0.2", "gw"}},
                                    {{"10.8.0.0/16", 2, c.route_groups}});
    const auto routes = config.effective_routing_list(pk(1));
    ASSERT_TRUE(routes);
    EXPECT_EQ(routes->size(), c.used ? 1u : 0u) << ::testing::PrintToString(c.my_groups);
  }
}

TEST(EffectiveRoutingListTest, MissingGatewayOnlyForRoutesInUse) {
  const auto used = make_config("10.0.0.0/24", {{1, "10.0.0.1", "me", {"a"}}},
                                {{"10.8.0.0/16", 5}, {"10.9.0.0/16", 1}});
  const auto r = used.effective_routing_list(pk(1));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ConfigError::Kind::GatewayNotFound);
  EXPECT_EQ(r.error().message(), "gateway " + pk(5).to_string() + " not found in nodes");

  // Skipped for its groups, so never looked up.
  const auto skipped = make_config("10.0.0.0/24", {{1, "10.0.0.1", "me", {"a"}}}, {{"10.8.0.0/16", 5, {"b"}}});
  ASSERT_TRUE(skipped.effective_routing_list(pk(1)));
  EXPECT_TRUE(skipped.effective_routing_list(pk(1))->empty());

  const auto none = make_config("10.0.0.0/24", {{1, "10.0.0.1", "me"}});
  ASSERT_TRUE(none.effective_routing_list(pk(1)));
  EXPECT_TRUE(none.effective_routing_list(pk(1))->empty());
  EXPECT_TRUE(none.effective_forwarding_list(pk(1)).empty());
}

TEST(EffectiveRoutingListTest, EqualWhateverTheMapOrder) {
  const std::initializer_list<rules_test::NodeSpec> nodes = {
      {1, "10.0.0.1", "me"}, {2, "10.0.0.2", "two"}, {3, "10.0.0.3", "three"}};
  const std::initializer_list<rules_test::RouteSpec> routes = {
      {"10.1.0.0/16", 2}, {"10.2.0.0/16", 3}, {"10.3.0.0/16", 2}, {"10.4.0.0/16", 1}, {"0.0.0.0/0", 3}};
  const auto a = make_config("10.0.0.0/24", nodes, routes).effective_routing_list(pk(1));
  const auto b = make_config("10.0.0.0/24", nodes, routes, {}, 999).effective_routing_list(pk(1));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->size(), 4u);
  EXPECT_EQ(make_config("10.0.0.0/24", nodes, routes).effective_forwarding_list(pk(1)),
            make_config("10.0.0.0/24", nodes, routes, {}, 999).effective_forwarding_list(pk(1)));
}

TEST(HostnameListTest, NodesThePoliciesLetMeReach) {
  const std::initializer_list<rules_test::NodeSpec> nodes = {{1, "10.0.0.1", "Me", {"a"}},
                                                             {2, "10.0.0.2", "Web-01", {"b"}},
                                                             {3, "10.0.0.3", "db", {"c"}}};
  struct Case {
    const char* what;
    std::initializer_list<rules_test::PolicySpec> policies;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {"no policies: only myself", {}, {{"10.0.0.1", "Me"}}},
      {"a to b, case kept", {{{"a"}, {"b"}}}, {{"10.0.0.1", "Me"}, {"10.0.0.2", "Web-01"}}},
      {"b to a works both ways", {{{"b"}, {"a"}}}, {{"10.0.0.1", "Me"}, {"10.0.0.2", "Web-01"}}},
      {"ALL to ALL", {{{"ALL"}, {"ALL"}}}, {{"10.0.0.1", "Me"}, {"10.0.0.2", "Web-01"}, {"10.0.0.3", "db"}}},
      {"policy between others", {{{"b"}, {"c"}}}, {{"10.0.0.1", "Me"}}},
  };
  for (const auto& c : cases) {
    const auto list = make_config("10.0.0.0/24", nodes, {}, c.policies).hostnames(pk(1));
    std::map<std::string, std::string> got;
    for (const auto& [addr, name] : list) got.emplace(addr.to_string(), name);
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

TEST(NetworkConfigLookupTest, GroupsAndIp) {
  const auto config = make_config("10.0.0.0/24", {{1, "10.0.0.1", "one", {"a", "b"}},
                                                  {2, "10.0.0.2", "two", {"b"}},
                                                  {3, "10.0.0.3", "three"}});
  const GroupMap groups = config.groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups.at("a"), (std::unordered_set<p2p::PubKey>{pk(1)}));
  EXPECT_EQ(groups.at("b"), (std::unordered_set<p2p::PubKey>{pk(1), pk(2)}));
  EXPECT_FALSE(groups.contains("ALL"));

  EXPECT_TRUE(make_config("10.0.0.0/24", {{1, "10.0.0.1", "one"}}).groups().empty());
  EXPECT_EQ(config.ip(pk(2)), ip("10.0.0.2"));
  EXPECT_EQ(config.ip(pk(9)), std::nullopt);
}

}  // namespace
}  // namespace velarix::network
