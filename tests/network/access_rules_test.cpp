// The policy test between two nodes and the IN and OUT rules a node derives
// from its network's nodes, routes and policies.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <spdlog/sinks/ostream_sink.h>

#include "network/config/access_rules.h"
#include "network/config/network_config.h"
#include "rules_test_support.h"
#include "util/log.h"

namespace velarix::network {
namespace {

using rules_test::make_config;
using rules_test::net;
using rules_test::pk;

TEST(MatchingPolicyTest, Cases) {
  const auto groups_ab = make_config("10.0.0.0/24",
                                     {{1, "10.0.0.1", "a1", {"a"}},
                                      {2, "10.0.0.2", "b2", {"b"}},
                                      {3, "10.0.0.3", "none3"},
                                      {4, "10.0.0.4", "ac4", {"a", "c"}}},
                                     {}, {{{"a"}, {"b"}}});
  const auto all_all = make_config("10.0.0.0/24", {{1, "10.0.0.1", "x"}, {2, "10.0.0.2", "y"}}, {},
                                   {{{"ALL"}, {"ALL"}}});
  const auto all_g = make_config("10.0.0.0/24",
                                 {{1, "10.0.0.1", "x", {"g"}}, {2, "10.0.0.2", "y"}, {3, "10.0.0.3", "z"}}, {},
                                 {{{"ALL"}, {"g"}}});
  const auto no_policy = make_config("10.0.0.0/24", {{1, "10.0.0.1", "x", {"a"}}, {2, "10.0.0.2", "y", {"a"}}});
  const auto no_nodes = make_config("10.0.0.0/24", {}, {}, {{{"ALL"}, {"ALL"}}});
  // "ALL" names no group inside a node: only policies give it a meaning.
  const auto all_as_group = make_config("10.0.0.0/24", {{1, "10.0.0.1", "x", {"ALL"}}, {2, "10.0.0.2", "y"}},
                                        {}, {{{"ALL"}, {"g"}}});

  struct Case {
    const char* what;
    const NetworkConfig* config;
    int a;
    int b;
    bool expected;
  } cases[] = {
      {"a node matches itself", &groups_ab, 1, 1, true},
      {"so does a key that is no node", &groups_ab, 9, 9, true},
      {"a to b", &groups_ab, 1, 2, true},
      {"b to a: policies allow both directions", &groups_ab, 2, 1, true},
      {"a node in a and c to b", &groups_ab, 4, 2, true},
      {"a to a: no policy from a to a", &groups_ab, 1, 4, false},
      {"node without groups", &groups_ab, 1, 3, false},
      {"other key is no node", &groups_ab, 1, 9, false},
      {"ALL on both sides", &all_all, 1, 2, true},
      {"ALL to g, g on one end", &all_g, 2, 1, true},
      {"ALL to g, g on the other end", &all_g, 1, 3, true},
      {"ALL to g, g on neither end", &all_g, 2, 3, false},
      {"no policies", &no_policy, 1, 2, false},
      {"no nodes", &no_nodes, 1, 2, false},
      {"node group named ALL is an ordinary name", &all_as_group, 1, 2, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.config->matching_policy(pk(c.a), pk(c.b)), c.expected) << c.what;
  }
}

struct Rule {
  Direction direction;
  const char* source;
  const char* dest;
  int key;
  Action action;
};

EffectiveAccessRuleList expected_list(std::initializer_list<Rule> rules) {
  EffectiveAccessRuleList list;
  for (const auto& r : rules) {
    EffectiveAccessRule rule{r.direction, net(r.source), net(r.dest), pk(r.key), r.action};
    EXPECT_TRUE(list.rules.try_emplace({rule.direction, rule.source, rule.dest}, rule).second) << r.source;
  }
  return list;
}

constexpr auto OUT = Direction::OUT;
constexpr auto IN = Direction::IN;
constexpr auto ALLOW = Action::Allow;
constexpr auto DENY = Action::Deny;

TEST(EffectiveAccessRuleListTest, AllFourPasses) {
  // Me (1) in group a; node 2 in b; node 3 without groups. Policy a <-> b.
  // A route through node 2 for group a, and one through me for group b.
  const std::initializer_list<rules_test::NodeSpec> nodes = {
      {1, "10.0.0.1", "me", {"a"}}, {2, "10.0.0.2", "two", {"b"}}, {3, "10.0.0.3", "three"}};
  const std::initializer_list<rules_test::RouteSpec> routes = {{"192.168.5.0/24", 2, {"a"}},
                                                               {"172.16.0.0/12", 1, {"b"}}};
  const auto want = expected_list({
      {OUT, "10.0.0.1/32", "10.0.0.2/32", 2, ALLOW},
      {OUT, "10.0.0.1/32", "10.0.0.3/32", 3, DENY},
      {OUT, "10.0.0.1/32", "192.168.5.0/24", 2, ALLOW},
      {OUT, "172.16.0.0/12", "10.0.0.2/32", 2, ALLOW},
      {OUT, "172.16.0.0/12", "10.0.0.3/32", 3, DENY},
      {IN, "10.0.0.2/32", "10.0.0.1/32", 2, ALLOW},
      {IN, "10.0.0.3/32", "10.0.0.1/32", 3, DENY},
      {IN, "192.168.5.0/24", "10.0.0.1/32", 2, ALLOW},
      {IN, "10.0.0.2/32", "172.16.0.0/12", 2, ALLOW},
      {IN, "10.0.0.3/32", "172.16.0.0/12", 3, DENY},
  });
  // The maps' visiting order must not matter.
  for (std::size_t buckets : {0u, 64u, 1000u}) {
    const auto config = make_config("10.0.0.0/24", nodes, routes, {{{"a"}, {"b"}}}, buckets);
    const auto got = config.effective_access_rule_list(pk(1));
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(*got, want) << got->to_string() << "\nwanted\n" << want.to_string();
  }
}

TEST(EffectiveAccessRuleListTest, WithoutPoliciesNodeRulesDenyAndRouteGroupsDecide) {
  const auto config = make_config(
      "10.0.0.0/24", {{1, "10.0.0.1", "me", {"x"}}, {2, "10.0.0.2", "two"}, {3, "10.0.0.3", "three", {"x"}}},
      {{"192.168.0.0/16", 1, {"x"}}, {"10.9.0.0/16", 2}});
  const auto got = config.effective_access_rule_list(pk(1));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, expected_list({
                      {OUT, "10.0.0.1/32", "10.0.0.2/32", 2, DENY},
                      {OUT, "10.0.0.1/32", "10.0.0.3/32", 3, DENY},
                      {OUT, "192.168.0.0/16", "10.0.0.2/32", 2, DENY},  // 2 has no group
                      {OUT, "192.168.0.0/16", "10.0.0.3/32", 3, ALLOW},
                      {OUT, "10.0.0.1/32", "10.9.0.0/16", 2, ALLOW},  // no groups: open to all
                      {IN, "10.0.0.2/32", "10.0.0.1/32", 2, DENY},
                      {IN, "10.0.0.3/32", "10.0.0.1/32", 3, DENY},
                      {IN, "10.0.0.2/32", "192.168.0.0/16", 2, DENY},
                      {IN, "10.0.0.3/32", "192.168.0.0/16", 3, ALLOW},
                      {IN, "10.9.0.0/16", "10.0.0.1/32", 2, ALLOW},
                  }));
}

TEST(EffectiveAccessRuleListTest, RouteCollisionsAndLoneNodes) {
  const rules_test::NodeSpec me{1, "10.0.0.1", "me"};
  const rules_test::NodeSpec two{2, "10.0.0.2", "two"};
  struct Case {
    const char* what;
    NetworkConfig config;
    std::optional<EffectiveAccessRuleList> expected;  // none: RouteDuplicate
  } cases[] = {
      {"alone, route through a key that is no node: one OUT and one IN rule",
       make_config("10.0.0.0/24", {me}, {{"192.168.0.0/16", 7}}),
       expected_list({{OUT, "10.0.0.1/32", "192.168.0.0/16", 7, ALLOW},
                      {IN, "192.168.0.0/16", "10.0.0.1/32", 7, ALLOW}})},
      {"alone, route through me: no rules", make_config("10.0.0.0/24", {me}, {{"192.168.0.0/16", 1}}),
       EffectiveAccessRuleList{}},
      {"alone, route through me to my own /32", make_config("10.0.0.0/24", {me}, {{"10.0.0.1/32", 1}}),
       EffectiveAccessRuleList{}},
      {"route through me to my own /32 beside another node",
       make_config("10.0.0.0/24", {me, two}, {{"10.0.0.1/32", 1}}), std::nullopt},
      {"route through another to another node's /32",
       make_config("10.0.0.0/24", {me, two}, {{"10.0.0.2/32", 2}}), std::nullopt},
      {"route through a stranger to another node's /32",
       make_config("10.0.0.0/24", {me, two}, {{"10.0.0.2/32", 9}}), std::nullopt},
      {"route through me to another node's /32",
       make_config("10.0.0.0/24", {me, two}, {{"10.0.0.2/32", 1}}),
       expected_list({{OUT, "10.0.0.1/32", "10.0.0.2/32", 2, DENY},
                      {OUT, "10.0.0.2/32", "10.0.0.2/32", 2, ALLOW},
                      {IN, "10.0.0.2/32", "10.0.0.1/32", 2, DENY},
                      {IN, "10.0.0.2/32", "10.0.0.2/32", 2, ALLOW}})},
      {"route through another to my own /32",
       make_config("10.0.0.0/24", {me, two}, {{"10.0.0.1/32", 2}}),
       expected_list({{OUT, "10.0.0.1/32", "10.0.0.2/32", 2, DENY},
                      {OUT, "10.0.0.1/32", "10.0.0.1/32", 2, ALLOW},
                      {IN, "10.0.0.2/32", "10.0.0.1/32", 2, DENY},
                      {IN, "10.0.0.1/32", "10.0.0.1/32", 2, ALLOW}})},
      {"a key that is no node gets no rules", make_config("10.0.0.0/24", {two}, {{"192.168.0.0/16", 2}}),
       std::nullopt},
  };
  // The last case asks as a stranger: handled below.
  for (std::size_t i = 0; i + 1 < std::size(cases); ++i) {
    const auto& c = cases[i];
    const auto got = c.config.effective_access_rule_list(pk(1));
    if (!c.expected) {
      ASSERT_FALSE(got) << c.what;
      EXPECT_EQ(got.error().kind(), ConfigError::Kind::RouteDuplicate) << c.what;
      EXPECT_EQ(got.error().message(), "duplicate route") << c.what;
    } else {
      ASSERT_TRUE(got) << c.what;
      EXPECT_EQ(*got, *c.expected) << c.what << "\n" << got->to_string();
    }
  }
  const auto stranger = cases[std::size(cases) - 1].config.effective_access_rule_list(pk(1));
  ASSERT_TRUE(stranger);
  EXPECT_TRUE(stranger->empty());
}

// Captures what the log facade emits at TRACE while it lives.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_st>(out_)), level_(log::logger().level()) {
    sink_->set_pattern("%v");
    log::logger().sinks().push_back(sink_);
    log::logger().set_level(spdlog::level::trace);
  }
  ~LogCapture() {
    auto& sinks = log::logger().sinks();
    std::erase(sinks, sink_);
    log::logger().set_level(level_);
  }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::shared_ptr<spdlog::sinks::ostream_sink_st> sink_;
  spdlog::level::level_enum level_;
};

TEST(EffectiveAccessRuleListTest, TracesEveryRuleBeforeInsertingIt) {
  const auto config = make_config("10.0.0.0/24", {{1, "10.0.0.1", "me"}, {2, "10.0.0.2", "two"}},
                                  {{"10.0.0.2/32", 9}});
  LogCapture capture;
  const auto got = config.effective_access_rule_list(pk(1));
  ASSERT_FALSE(got);
  const std::string key2 = pk(2).debug();
  const std::string key9 = pk(9).debug();
  EXPECT_EQ(capture.text(),
            "Adding OUT rule for node: EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, dest: "
            "10.0.0.2/32, pk: " + key2 + ", action: Deny }\n"
            "Adding OUT rule for route (non-gateway): EffectiveAccessRule { direction: OUT, source: "
            "10.0.0.1/32, dest: 10.0.0.2/32, pk: " + key9 + ", action: Allow }\n");
}

// From a configuration text to the packet decision, through every step.
TEST(EffectiveAccessRuleListTest, FromADocumentToTheTries) {
  const std::string doc = fmt::format(R"(
network = "10.20.0.0/24"

[[node]]
pk = "{}"
ip = "10.20.0.1"
hostname = "laptop"
groups = ["staff"]

[[node]]
pk = "{}"
ip = "10.20.0.2"
hostname = "gw"
groups = ["servers"]

[[node]]
pk = "{}"
ip = "10.20.0.3"
hostname = "guest"

[[route]]
dest = "192.168.5.0/24"
gw = "{}"
groups = ["staff"]

[[policy]]
source_groups = ["staff"]
destination_groups = ["servers"]
)",
                                        pk(1).to_string(), pk(2).to_string(), pk(3).to_string(), pk(2).to_string());
  const auto config = NetworkConfig::try_from(doc);
  ASSERT_TRUE(config) << config.error().message();
  const auto rules = config->effective_access_rule_list(pk(1));
  ASSERT_TRUE(rules) << rules.error().message();
  const auto [tx, rx] = rules->routing_tries();
  const auto addr = rules_test::ip;

  struct Case {
    const char* what;
    const PubKeyTrie* trie;
    const char* first;
    const char* second;
    std::optional<int> peer;
  } cases[] = {
      {"to the gateway node", &tx, "10.20.0.2", "10.20.0.1", 2},
      {"into the routed network", &tx, "192.168.5.40", "10.20.0.1", 2},
      {"to the guest: no policy", &tx, "10.20.0.3", "10.20.0.1", std::nullopt},
      {"with a foreign source address", &tx, "10.20.0.2", "10.20.0.9", std::nullopt},
      {"from the gateway node", &rx, "10.20.0.2", "10.20.0.1", 2},
      {"from the routed network", &rx, "192.168.5.40", "10.20.0.1", 2},
      {"from the guest", &rx, "10.20.0.3", "10.20.0.1", std::nullopt},
  };
  for (const auto& c : cases) {
    const p2p::PubKey* got = lookup_route(*c.trie, addr(c.first), addr(c.second));
    ASSERT_EQ(got != nullptr, c.peer.has_value()) << c.what;
    if (got != nullptr) {
      EXPECT_EQ(*got, pk(*c.peer)) << c.what;
    }
  }
}

}  // namespace
}  // namespace velarix::network
