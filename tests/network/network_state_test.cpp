// Per-network applied-state records: equality, deep copies, text forms, and
// the health of a network.

#include <gtest/gtest.h>

#include <string>

#include "network/network.h"
#include "rules_test_support.h"

namespace velarix::network {
namespace {

using rules_test::ip;
using rules_test::make_config;
using rules_test::net;
using rules_test::pk;

NetworkConfig sample_config(std::size_t buckets = 0) {
  return make_config("10.0.0.0/24",
                     {{1, "10.0.0.1", "me", {"a"}}, {2, "10.0.0.2", "two", {"b"}}, {3, "10.0.0.3", "three"}},
                     {{"192.168.0.0/16", 2}, {"172.16.0.0/12", 1}, {"10.9.0.0/16", 3}}, {{{"a"}, {"b"}}},
                     buckets);
}

AgentState state_of(const NetworkConfig& c) {
  AgentState s;
  s.ip.applied = Ipv4Net(*c.ip(pk(1)), c.network.prefix_len());
  s.access_rules.applied = *c.effective_access_rule_list(pk(1));
  s.routes.applied = *c.effective_routing_list(pk(1));
  s.forwardings.applied = c.effective_forwarding_list(pk(1));
  s.hostnames.applied = c.hostnames(pk(1));
  return s;
}

TEST(AppliedStatusTest, EqualityLooksAtValueAndError) {
  const auto list = *sample_config().effective_routing_list(pk(1));
  using Status = AppliedStatus<EffectiveRoutingList>;
  struct Case {
    const char* what;
    Status a;
    Status b;
    bool equal;
  } cases[] = {
      {"both empty", {}, {}, true},
      {"equal lists", {list, {}}, {list, {}}, true},
      {"equal lists, one with an error", {list, {}}, {list, "boom"}, false},
      {"equal lists, different errors", {list, "a"}, {list, "b"}, false},
      {"equal lists, equal errors", {list, "a"}, {list, "a"}, true},
      {"value against none", {list, {}}, {}, false},
      {"empty list is a value", {EffectiveRoutingList{}, {}}, {}, false},
      {"errors alone", {{}, "x"}, {{}, "x"}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << c.what;
}

TEST(AppliedStatusTest, ListsFromTwoBuildsCompareEqual) {
  // Different bucket counts visit the maps in another order, as two runs with
  // other hash seeds would.
  const AgentState a = state_of(sample_config());
  const AgentState b = state_of(sample_config(4096));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, AgentState{});
  // Each of the five items counts on its own: one changed item makes another state.
  for (int item = 0; item < 5; ++item) {
    AgentState c = b;
    switch (item) {
      case 0: c.ip.applied = net("10.0.0.1/16"); break;
      case 1: c.access_rules.error = "rules"; break;
      case 2: c.routes.applied->routes.erase(net("192.168.0.0/16")); break;
      case 3: c.forwardings.applied.reset(); break;
      default: c.hostnames.applied->hostnames[ip("10.0.0.3")] = "other"; break;
    }
    EXPECT_NE(c, a) << "item " << item;
    EXPECT_NE(a, c) << "item " << item;
  }
}

TEST(AgentStateTest, CopiesShareNothing) {
  const AgentState source = state_of(sample_config());
  AgentState copy = source;
  ASSERT_EQ(copy, source);

  copy.access_rules.applied->rules.clear();
  copy.routes.applied->routes.erase(net("192.168.0.0/16"));
  copy.forwardings.applied->networks.clear();
  copy.hostnames.applied->hostnames[ip("10.0.0.2")] = "renamed";
  copy.ip.error = "changed";

  EXPECT_FALSE(source.access_rules.applied->empty());
  EXPECT_TRUE(source.routes.applied->routes.contains(net("192.168.0.0/16")));
  EXPECT_FALSE(source.forwardings.applied->empty());
  EXPECT_EQ(source.hostnames.applied->hostnames.at(ip("10.0.0.2")), "two");
  EXPECT_FALSE(source.ip.error);
  EXPECT_EQ(source, state_of(sample_config()));
}

TEST(AppliedStatusTest, TextForms) {
  struct Case {
    AppliedStatus<Ipv4Net> status;
    const char* text;
    const char* debug;
  } cases[] = {
      {{net("10.0.0.1/24"), {}}, "10.0.0.1/24", "AppliedStatus { applied: Some(10.0.0.1/24), error: None }"},
      {{net("10.0.0.1/24"), "no tun"}, "10.0.0.1/24 (Error: no tun)",
       "AppliedStatus { applied: Some(10.0.0.1/24), error: Some(\"no tun\") }"},
      {{{}, "x"}, "None (Error: x)", "AppliedStatus { applied: None, error: Some(\"x\") }"},
      {{}, "None", "AppliedStatus { applied: None, error: None }"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.to_string(), c.text);
    EXPECT_EQ(c.status.debug(), c.debug);
  }

  // The note of a rule list follows the table's last line end.
  AppliedStatus<EffectiveAccessRuleList> rules{EffectiveAccessRuleList{}, "failed"};
  EXPECT_EQ(rules.to_string(), EffectiveAccessRuleList{}.to_string() + " (Error: failed)");

  AppliedStatus<HostnameList> names{HostnameList{{{ip("10.0.0.1"), "me"}}}, {}};
  EXPECT_EQ(names.debug(), "AppliedStatus { applied: Some(HostnameList({10.0.0.1: \"me\"})), error: None }");
}

TEST(NetworkHealthTest, KindsAndDebugText) {
  EXPECT_EQ(NetworkHealth{}.kind(), NetworkHealth::Kind::Initializing);
  struct Case {
    NetworkHealth health;
    const char* debug;
  } cases[] = {
      {NetworkHealth::initializing(), "Initializing"},
      {NetworkHealth::disabled(), "Disabled"},
      {NetworkHealth::ok(), "Ok"},
      {NetworkHealth::pending(), "Pending"},
      {NetworkHealth::retrieve_config_error("Network error: duplicate route"),
       "RetrieveConfigError(\"Network error: duplicate route\")"},
      {NetworkHealth::retrieve_config_error("said \"no\"\n"), "RetrieveConfigError(\"said \\\"no\\\"\\n\")"},
      {NetworkHealth::not_a_member_error(), "NotAMemberError"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.health.debug(), c.debug);
  EXPECT_EQ(NetworkHealth::retrieve_config_error("x").error(), "x");
  EXPECT_EQ(NetworkHealth::ok().error(), "");
  EXPECT_NE(NetworkHealth::retrieve_config_error("x"), NetworkHealth::retrieve_config_error("y"));
  // Equal exactly when kind and message are: every pair of the table differs.
  const std::size_t n = std::size(cases);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_EQ(cases[i].health == cases[j].health, i == j) << cases[i].debug << " vs " << cases[j].debug;
    }
  }
  EXPECT_EQ(NetworkHealth::retrieve_config_error("x"), NetworkHealth::retrieve_config_error(std::string("x")));
}

TEST(NetworkTest, RuntimeFieldsStartEmpty) {
  Network n;
  n.config_url = "https://example.test/net.toml";
  EXPECT_EQ(n.health, NetworkHealth::initializing());
  EXPECT_EQ(n.desired_state, AgentState{});
  EXPECT_EQ(n.current_state, AgentState{});
  EXPECT_FALSE(n.current_state.ip.applied || n.current_state.ip.error);
}

}  // namespace
}  // namespace velarix::network
