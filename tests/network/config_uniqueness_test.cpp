// Repeated nodes, addresses, hostnames and route destinations are refused
// while a document is read; repeated groups and policies merge.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "network/config/network_config.h"
#include "config_test_support.h"

namespace velarix::network {
namespace {

using testing::key;
using testing::key_text;

struct Node {
  int k;
  std::string ip;
  std::string hostname;
};

std::string toml_doc(const std::vector<Node>& nodes) {
  std::string doc = "network = \"10.0.0.0/24\"\n";
  for (const auto& n : nodes) {
    doc += fmt::format("[[node]]\npk = \"{}\"\nip = \"{}\"\nhostname = \"{}\"\n", key_text(n.k), n.ip, n.hostname);
  }
  return doc;
}

std::string json_doc(const std::vector<Node>& nodes) {
  nlohmann::json doc{{"network", "10.0.0.0/24"}, {"node", nlohmann::json::array()}};
  for (const auto& n : nodes) doc["node"].push_back({{"pk", key_text(n.k)}, {"ip", n.ip}, {"hostname", n.hostname}});
  return doc.dump();
}

// The result of reading `nodes` in every input form: "" when the list reads,
// else the error's description, which must be the same in all forms.
std::string read_nodes(const std::vector<Node>& nodes) {
  std::vector<std::string> outcomes;
  auto note = [&outcomes](const std::expected<NetworkConfig, ReadError>& r) {
    outcomes.push_back(r ? std::string() : r.error().description);
  };
  note(NetworkConfig::from_toml(toml_doc(nodes)));
  note(NetworkConfig::from_json(json_doc(nodes)));
  note(NetworkConfig::from_json_value(nlohmann::json::parse(json_doc(nodes))));
  for (const auto& o : outcomes) EXPECT_EQ(o, outcomes[0]);
  return outcomes[0];
}

TEST(NodeUniquenessTest, FirstRepeatInInputOrderIsReported) {
  const std::string kelvin = "\u212Aey";  // KELVIN SIGN, then "ey"
  struct Case {
    const char* what;
    std::vector<Node> nodes;
    std::string error;
  } cases[] = {
      {"distinct", {{1, "10.0.0.1", "a"}, {2, "10.0.0.2", "b"}}, ""},
      {"same key", {{1, "10.0.0.1", "a"}, {1, "10.0.0.2", "b"}}, "duplicate public key: " + key_text(1)},
      {"same address only", {{1, "10.0.0.1", "a"}, {2, "10.0.0.1", "b"}}, "duplicate IP address: 10.0.0.1"},
      {"Web then web", {{1, "10.0.0.1", "Web"}, {2, "10.0.0.2", "web"}}, "duplicate hostname: web"},
      {"web then Web", {{1, "10.0.0.1", "web"}, {2, "10.0.0.2", "Web"}}, "duplicate hostname: Web"},
      {"key and address", {{1, "10.0.0.1", "a"}, {1, "10.0.0.1", "b"}}, "duplicate public key: " + key_text(1)},
      {"address and hostname", {{1, "10.0.0.1", "a"}, {2, "10.0.0.1", "A"}}, "duplicate IP address: 10.0.0.1"},
      {"address repeat before key repeat",
       {{1, "10.0.0.1", "a"}, {2, "10.0.0.1", "b"}, {1, "10.0.0.3", "c"}},
       "duplicate IP address: 10.0.0.1"},
      {"kelvin sign lower-cases to k", {{1, "10.0.0.1", "key"}, {2, "10.0.0.2", kelvin}},
       "duplicate hostname: " + kelvin},
      {"trailing space differs", {{1, "10.0.0.1", "web"}, {2, "10.0.0.2", "web "}}, ""},
      {"accented letters compare without case", {{1, "10.0.0.1", "\u00C9t\u00E9"}, {2, "10.0.0.2", "\u00E9T\u00C9"}},
       "duplicate hostname: \u00E9T\u00C9"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_nodes(c.nodes), c.error) << c.what;
}

TEST(NodeUniquenessTest, MalformedEntryAnywhereWinsOverARepeat) {
  // The repeat comes first and the entry without `ip` last, and the other way round.
  const std::string repeat = fmt::format(
      "[[node]]\npk = \"{0}\"\nip = \"10.0.0.1\"\nhostname = \"a\"\n"
      "[[node]]\npk = \"{0}\"\nip = \"10.0.0.2\"\nhostname = \"b\"\n",
      key_text(1));
  const std::string no_ip = fmt::format("[[node]]\npk = \"{}\"\nhostname = \"c\"\n", key_text(3));
  const std::string toml_after = "network = \"10.0.0.0/24\"\n" + repeat + no_ip;
  const std::string toml_before = "network = \"10.0.0.0/24\"\n" + no_ip + repeat;
  for (const auto& doc : {toml_after, toml_before}) {
    auto r = NetworkConfig::from_toml(doc);
    ASSERT_FALSE(r) << doc;
    EXPECT_EQ(r.error().description, "missing field `ip`") << doc;
  }
  auto json = NetworkConfig::from_json(fmt::format(
      R"({{"network": "10.0.0.0/24", "route": [{{"dest": "10.1.0.0/16", "gw": "{0}"}},
          {{"dest": "10.1.0.0/16", "gw": "{0}"}}, {{"gw": "{0}"}}]}})",
      key_text(1)));
  ASSERT_FALSE(json);
  EXPECT_EQ(json.error().description, "missing field `dest`");
}

TEST(NodeUniquenessTest, EmptyOrMissingListsGiveEmptyCollections) {
  for (const char* doc : {"network = \"10.0.0.0/24\"\nnode = []\nroute = []\npolicy = []", "network = \"10.0.0.0/24\""}) {
    auto r = NetworkConfig::from_toml(doc);
    ASSERT_TRUE(r) << doc;
    EXPECT_TRUE(r->node.empty() && r->route.empty() && r->policy.empty());
  }
  auto j = NetworkConfig::from_json(R"({"network": "10.0.0.0/24", "route": []})");
  ASSERT_TRUE(j);
  EXPECT_TRUE(j->route.empty());
}

TEST(RouteUniquenessTest, DestinationsCompareAddressAndPrefixAsWritten) {
  struct Case {
    const char* what;
    std::vector<std::string> dests;
    std::string error;
  } cases[] = {
      {"same address, other prefix", {"10.1.0.0/16", "10.1.0.0/24"}, ""},
      {"same destination", {"10.1.0.0/16", "10.2.0.0/16", "10.1.0.0/16"}, "duplicate route destination: 10.1.0.0/16"},
      {"host bits make a different destination", {"10.1.0.1/16", "10.1.0.0/16"}, ""},
      {"same destination with host bits", {"10.1.0.1/16", "10.1.0.1/16"}, "duplicate route destination: 10.1.0.1/16"},
  };
  for (const auto& c : cases) {
    std::string toml = "network = \"10.0.0.0/24\"\n";
    nlohmann::json json{{"network", "10.0.0.0/24"}, {"route", nlohmann::json::array()}};
    for (const auto& d : c.dests) {
      toml += fmt::format("[[route]]\ndest = \"{}\"\ngw = \"{}\"\n", d, key_text(1));
      json["route"].push_back({{"dest", d}, {"gw", key_text(1)}});
    }
    std::expected<NetworkConfig, ReadError> results[] = {
        NetworkConfig::from_toml(toml), NetworkConfig::from_json(json.dump()), NetworkConfig::from_json_value(json)};
    for (const auto& r : results) {
      if (c.error.empty()) {
        ASSERT_TRUE(r) << c.what << ": " << r.error().message();
        EXPECT_EQ(r->route.size(), c.dests.size()) << c.what;
      } else {
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error().description, c.error) << c.what;
      }
    }
  }
}

std::string with_policy_doc() {
  return fmt::format(R"(network = "10.0.0.0/24"
[[node]]
pk = "{0}"
ip = "10.0.0.1"
hostname = "a"
groups = ["b", "a", "a"]
[[node]]
pk = "{1}"
ip = "10.0.0.2"
hostname = "b"
groups = ["a", "b"]
[[route]]
dest = "10.1.0.0/16"
gw = "{0}"
groups = ["g", "G", "g"]
[[policy]]
source_groups = ["a", "b"]
destination_groups = ["c"]
[[policy]]
source_groups = ["b", "a", "b"]
destination_groups = ["c", "c"]
[[policy]]
source_groups = ["c"]
destination_groups = ["b", "a"]
[[policy]]
source_groups = []
destination_groups = []
[[policy]]
source_groups = []
destination_groups = []
)",
                     key_text(1), key_text(2));
}

TEST(GroupAndPolicyMergingTest, RepeatsMergeWithoutError) {
  auto r = NetworkConfig::from_toml(with_policy_doc());
  ASSERT_TRUE(r) << r.error().message();
  const NetworkNode& n1 = r->node.at(key(1));
  const NetworkNode& n2 = r->node.at(key(2));
  EXPECT_EQ(n1.groups, n2.groups);  // b, a, a and a, b
  EXPECT_EQ(n1.groups, (GroupSet{"a", "b"}));
  EXPECT_EQ(r->route.begin()->second.groups, (GroupSet{"G", "g"}));  // case makes two names
  // {a,b}->{c} twice, listed differently; the swapped one stays; the
  // empty one listed twice stands once.
  EXPECT_EQ(r->policy.size(), 3u);
  EXPECT_TRUE(r->policy.contains(NetworkPolicy{{"a", "b"}, {"c"}}));
  EXPECT_TRUE(r->policy.contains(NetworkPolicy{{"c"}, {"a", "b"}}));
  EXPECT_TRUE(r->policy.contains(NetworkPolicy{}));
}

}  // namespace
}  // namespace velarix::network

namespace velarix::network {
namespace {

TEST(NodeUniquenessTest, RepeatErrorsPointAtTheList) {
  const std::string toml = fmt::format(
      "network = \"10.0.0.0/24\"\n\n[[route]]\ndest = \"10.1.0.0/16\"\ngw = \"{0}\"\n"
      "[[route]]\ndest = \"10.1.0.0/16\"\ngw = \"{0}\"\n",
      key_text(1));
  auto t = NetworkConfig::from_toml(toml);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().description, "duplicate route destination: 10.1.0.0/16");
  EXPECT_EQ(t.error().key_path, "route");
  ASSERT_TRUE(t.error().position);
  EXPECT_EQ(t.error().position->line, 3u);  // the list starts at the first [[route]]

  // JSON text: just after the list.
  const std::string json = fmt::format(
      "{{\"route\": [{{\"dest\": \"10.1.0.0/16\", \"gw\": \"{0}\"}},\n{{\"dest\": \"10.1.0.0/16\", \"gw\": \"{0}\"}}],\n"
      "\"network\": \"10.0.0.0/24\"}}",
      key_text(1));
  auto j = NetworkConfig::from_json(json);
  ASSERT_FALSE(j);
  EXPECT_EQ(j.error().description, "duplicate route destination: 10.1.0.0/16");
  ASSERT_TRUE(j.error().position);
  EXPECT_EQ(j.error().position->line, 2u);
  EXPECT_EQ(j.error().message(), "duplicate route destination: 10.1.0.0/16 at line 2 column " +
                                     std::to_string(j.error().position->column));
}

}  // namespace
}  // namespace velarix::network
