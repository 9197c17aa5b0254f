// Reading network configuration documents from TOML, JSON text and parsed
// JSON values: required and optional keys, positional records, value types,
// key order, null handling and trailing input.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "network/config/network_config.h"
#include "config_test_support.h"

namespace velarix::network {
namespace {

using testing::key;
using testing::key_text;

// Replaces K1..K9 in a document by distinct key texts.
std::string with_keys(std::string doc) {
  for (int n = 1; n <= 9; ++n) {
    std::string mark = "K" + std::to_string(n);
    for (std::size_t p = doc.find(mark); p != std::string::npos; p = doc.find(mark, p)) {
      doc.replace(p, mark.size(), key_text(n));
    }
  }
  return doc;
}

enum class In { Toml, JsonText, JsonValue };

const char* name(In in) {
  switch (in) {
    case In::Toml:
      return "TOML";
    case In::JsonText:
      return "JSON text";
    case In::JsonValue:
      return "JSON value";
  }
  return "?";
}

template <class T>
std::expected<T, ReadError> read_as(In in, const std::string& doc) {
  switch (in) {
    case In::Toml:
      return T::from_toml(doc);
    case In::JsonText:
      return T::from_json(doc);
    case In::JsonValue: {
      auto j = nlohmann::json::parse(doc, nullptr, false);
      if (j.is_discarded()) {
        ReadError e;
        e.description = "test document is not JSON";
        return std::unexpected(e);
      }
      return T::from_json_value(j);
    }
  }
  return std::unexpected(ReadError{});
}

// One document in the forms it is written in; an empty `error` means it reads.
struct Case {
  const char* what;
  std::optional<std::string> toml;
  std::optional<std::string> json;  // read as text and as a parsed value
  std::string error;                // the fault's description, or its start when ending in "..."
};

void expect_outcome(const Case& c, In in, const std::string& doc, const std::string& error,
                    const std::expected<NetworkConfig, ReadError>& got) {
  SCOPED_TRACE(std::string(c.what) + " as " + name(in) + ":\n" + doc);
  if (error.empty()) {
    EXPECT_TRUE(got.has_value()) << got.error().message();
    return;
  }
  ASSERT_FALSE(got.has_value());
  if (error.ends_with("...")) {
    EXPECT_TRUE(got.error().description.starts_with(error.substr(0, error.size() - 3))) << got.error().description;
  } else {
    EXPECT_EQ(got.error().description, error);
  }
}

void run(const Case& c) {
  if (c.toml) {
    std::string doc = with_keys(*c.toml);
    expect_outcome(c, In::Toml, doc, c.error, read_as<NetworkConfig>(In::Toml, doc));
  }
  if (c.json) {
    std::string doc = with_keys(*c.json);
    for (In in : {In::JsonText, In::JsonValue}) expect_outcome(c, in, doc, c.error, read_as<NetworkConfig>(in, doc));
  }
}

TEST(NetworkConfigReaderTest, RequiredAndOptionalKeys) {
  const Case cases[] = {
      {"only network", R"(network = "10.0.0.0/24")", R"({"network": "10.0.0.0/24"})", ""},
      {"no network", R"(name = "x")", R"({"name": "x"})", "missing field `network`"},
      {"node with only pk", "network = \"10.0.0.0/24\"\n[[node]]\npk = \"K1\"",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1"}]})", "missing field `ip`"},
      {"node without hostname", "network = \"10.0.0.0/24\"\n[[node]]\npk = \"K1\"\nip = \"10.0.0.1\"",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0.1"}]})", "missing field `hostname`"},
      {"empty node", "network = \"10.0.0.0/24\"\nnode = [{}]", R"({"network": "10.0.0.0/24", "node": [{}]})",
       "missing field `pk`"},
      {"route without groups", "network = \"10.0.0.0/24\"\n[[route]]\ndest = \"10.1.0.0/16\"\ngw = \"K1\"",
       R"({"network": "10.0.0.0/24", "route": [{"dest": "10.1.0.0/16", "gw": "K1"}]})", ""},
      {"route without gw", "network = \"10.0.0.0/24\"\n[[route]]\ndest = \"10.1.0.0/16\"",
       R"({"network": "10.0.0.0/24", "route": [{"dest": "10.1.0.0/16"}]})", "missing field `gw`"},
      {"policy without destination_groups", "network = \"10.0.0.0/24\"\n[[policy]]\nsource_groups = [\"a\"]",
       R"({"network": "10.0.0.0/24", "policy": [{"source_groups": ["a"]}]})", "missing field `destination_groups`"},
      {"policy without either list", "network = \"10.0.0.0/24\"\npolicy = [{}]",
       R"({"network": "10.0.0.0/24", "policy": [{}]})", "missing field `source_groups`"},
      {"extra keys everywhere",
       "network = \"10.0.0.0/24\"\nextra = { deep = [1, [2, {x = 3}]] }\n"
       "[[node]]\npk = \"K1\"\nip = \"10.0.0.1\"\nhostname = \"a\"\ncolour = \"red\"\n"
       "[[route]]\ndest = \"10.1.0.0/16\"\ngw = \"K1\"\nmetric = 5\n"
       "[[policy]]\nsource_groups = []\ndestination_groups = []\nnote = true",
       R"({"extra": {"deep": [1, [2, {"x": null}]]}, "network": "10.0.0.0/24",
           "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": "a", "colour": "red"}],
           "route": [{"dest": "10.1.0.0/16", "gw": "K1", "metric": 5}],
           "policy": [{"source_groups": [], "destination_groups": [], "note": true}]})",
       ""},
      {"missing network reported after a duplicate node key",
       "[[node]]\npk = \"K1\"\nip = \"10.0.0.1\"\nhostname = \"a\"\n"
       "[[node]]\npk = \"K1\"\nip = \"10.0.0.2\"\nhostname = \"b\"",
       R"({"node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": "a"},
                    {"pk": "K1", "ip": "10.0.0.2", "hostname": "b"}]})",
       "duplicate public key: " + key_text(1)},
  };
  for (const auto& c : cases) run(c);
}

TEST(NetworkConfigReaderTest, ValueTypesAndTheirTexts) {
  const Case cases[] = {
      {"network without prefix", R"(network = "10.0.0.0")", R"({"network": "10.0.0.0"})", "invalid IPv4 network..."},
      {"network prefix 33", R"(network = "10.0.0.0/33")", R"({"network": "10.0.0.0/33"})",
       "invalid IPv4 network..."},
      {"network as number", "network = 10", R"({"network": 10})", "invalid type: integer `10`, expected IPv4 network"},
      {"id not a UUID", "id = \"nope\"\nnetwork = \"10.0.0.0/24\"", R"({"id": "nope", "network": "10.0.0.0/24"})",
       "UUID parsing failed: ..."},
      {"id as number", "id = 7\nnetwork = \"10.0.0.0/24\"", R"({"id": 7, "network": "10.0.0.0/24"})",
       "invalid type: integer `7`, expected a UUID string"},
      {"name as list", "name = []\nnetwork = \"10.0.0.0/24\"", R"({"name": [], "network": "10.0.0.0/24"})",
       "invalid type: sequence, expected a string"},
      {"node as single table", "network = \"10.0.0.0/24\"\n[node]\npk = \"K1\"",
       R"({"network": "10.0.0.0/24", "node": {"pk": "K1"}})", "invalid type: map, expected a sequence"},
      {"node as string", "network = \"10.0.0.0/24\"\nnode = \"K1\"", R"({"network": "10.0.0.0/24", "node": "K1"})",
       "invalid type: string \"" + key_text(1) + "\", expected a sequence"},
      {"node entry as string", "network = \"10.0.0.0/24\"\nnode = [\"x\"]",
       R"({"network": "10.0.0.0/24", "node": ["x"]})", "invalid type: string \"x\", expected struct NetworkNode"},
      {"hostname as integer", "network = \"10.0.0.0/24\"\nnode = [{pk = \"K1\", ip = \"10.0.0.1\", hostname = 5}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": 5}]})",
       "invalid type: integer `5`, expected a string"},
      {"hostname as boolean",
       "network = \"10.0.0.0/24\"\nnode = [{pk = \"K1\", ip = \"10.0.0.1\", hostname = true}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": true}]})",
       "invalid type: boolean `true`, expected a string"},
      {"hostname as float", "network = \"10.0.0.0/24\"\nnode = [{pk = \"K1\", ip = \"10.0.0.1\", hostname = 1.5}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": 1.5}]})",
       "invalid type: floating point `1.5`, expected a string"},
      {"bad public key", "network = \"10.0.0.0/24\"\nnode = [{pk = \"abc\", ip = \"10.0.0.1\", hostname = \"a\"}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "abc", "ip": "10.0.0.1", "hostname": "a"}]})",
       "invalid public key: expected 64 hexadecimal digits"},
      {"bad node address", "network = \"10.0.0.0/24\"\nnode = [{pk = \"K1\", ip = \"10.0.0\", hostname = \"a\"}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0", "hostname": "a"}]})",
       "invalid IPv4 address syntax"},
      {"route dest without prefix", "network = \"10.0.0.0/24\"\nroute = [{dest = \"10.1.0.0\", gw = \"K1\"}]",
       R"({"network": "10.0.0.0/24", "route": [{"dest": "10.1.0.0", "gw": "K1"}]})", "invalid IPv4 network..."},
      {"groups as string",
       "network = \"10.0.0.0/24\"\nnode = [{pk = \"K1\", ip = \"10.0.0.1\", hostname = \"a\", groups = \"g\"}]",
       R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": "a", "groups": "g"}]})",
       "invalid type: string \"g\", expected a sequence"},
      {"group name as number", "network = \"10.0.0.0/24\"\npolicy = [{source_groups = [1], destination_groups = []}]",
       R"({"network": "10.0.0.0/24", "policy": [{"source_groups": [1], "destination_groups": []}]})",
       "invalid type: integer `1`, expected a string"},
  };
  for (const auto& c : cases) run(c);
}

TEST(NetworkConfigReaderTest, PositionalRecords) {
  const Case cases[] = {
      {"node as array", "network = \"10.0.0.0/24\"\nnode = [[\"K1\", \"10.0.0.1\", \"a\"]]",
       R"({"network": "10.0.0.0/24", "node": [["K1", "10.0.0.1", "a"]]})", ""},
      {"node as array with groups", "network = \"10.0.0.0/24\"\nnode = [[\"K1\", \"10.0.0.1\", \"a\", [\"g\"]]]",
       R"({"network": "10.0.0.0/24", "node": [["K1", "10.0.0.1", "a", ["g"]]]})", ""},
      {"node array stops before ip", "network = \"10.0.0.0/24\"\nnode = [[\"K1\"]]",
       R"({"network": "10.0.0.0/24", "node": [["K1"]]})", "invalid length 1, expected struct NetworkNode with 4 elements"},
      {"empty node array", "network = \"10.0.0.0/24\"\nnode = [[]]", R"({"network": "10.0.0.0/24", "node": [[]]})",
       "invalid length 0, expected struct NetworkNode with 4 elements"},
      {"node array too long", "network = \"10.0.0.0/24\"\nnode = [[\"K1\", \"10.0.0.1\", \"a\", [], \"x\"]]",
       R"({"network": "10.0.0.0/24", "node": [["K1", "10.0.0.1", "a", [], "x"]]})",
       "invalid length 5, expected struct NetworkNode with 4 elements"},
      {"route array stops before gw", "network = \"10.0.0.0/24\"\nroute = [[\"10.1.0.0/16\"]]",
       R"({"network": "10.0.0.0/24", "route": [["10.1.0.0/16"]]})",
       "invalid length 1, expected struct NetworkRoute with 3 elements"},
      {"route as array", "network = \"10.0.0.0/24\"\nroute = [[\"10.1.0.0/16\", \"K1\"]]",
       R"({"network": "10.0.0.0/24", "route": [["10.1.0.0/16", "K1"]]})", ""},
      {"policy array with one list", "network = \"10.0.0.0/24\"\npolicy = [[[\"a\"]]]",
       R"({"network": "10.0.0.0/24", "policy": [[["a"]]]})",
       "invalid length 1, expected struct NetworkPolicy with 2 elements"},
      {"policy as array", "network = \"10.0.0.0/24\"\npolicy = [[[\"a\"], [\"b\"]]]",
       R"({"network": "10.0.0.0/24", "policy": [[["a"], ["b"]]]})", ""},
      // A whole configuration can only be an array in JSON: TOML's root is a table.
      {"empty configuration array", std::nullopt, "[]",
       "invalid length 1, expected struct NetworkConfig with 6 elements"},
      {"configuration array without network", std::nullopt, "[null]",
       "invalid length 1, expected struct NetworkConfig with 6 elements"},
      {"configuration array", std::nullopt, R"([null, "10.0.0.0/24", "n", [["K1", "10.0.0.1", "a"]]])", ""},
      {"configuration as string", std::nullopt, R"("10.0.0.0/24")",
       "invalid type: string \"10.0.0.0/24\", expected struct NetworkConfig"},
  };
  for (const auto& c : cases) run(c);

  auto got = NetworkConfig::from_json(with_keys(R"(["67e55044-10b1-426f-9247-bb680e5fe0c8", "10.0.0.7/24", "n",
                                                    [["K1", "10.0.0.1", "a", ["g"]]], [["10.1.0.0/16", "K1"]],
                                                    [[["a"], ["b"]]]])"));
  ASSERT_TRUE(got) << got.error().message();
  EXPECT_EQ(got->id->to_string(), "67e55044-10b1-426f-9247-bb680e5fe0c8");
  EXPECT_EQ(got->network.to_string(), "10.0.0.7/24");
  EXPECT_EQ(got->name, "n");
  ASSERT_EQ(got->node.size(), 1u);
  EXPECT_EQ(got->node.at(key(1)).groups, GroupSet{"g"});
  EXPECT_EQ(got->route.size(), 1u);
  EXPECT_EQ(got->policy, (PolicySet{NetworkPolicy{{"a"}, {"b"}}}));
}

TEST(NetworkConfigReaderTest, ReadsEveryFieldAsWritten) {
  const std::string toml = with_keys(R"(
id = "67E55044-10B1-426F-9247-BB680E5FE0C8"
network = "10.0.0.7/24"
name = "Office"

[[node]]
pk = "K1"
ip = "10.0.0.1"
hostname = "Web-01"
groups = ["b", "a", "a"]

[[route]]
dest = "10.1.0.0/16"
gw = "K1"
groups = ["b"]

[[policy]]
source_groups = ["a"]
destination_groups = ["ALL"]
)");
  const std::string json = with_keys(R"({
  "id": "67E55044-10B1-426F-9247-BB680E5FE0C8", "network": "10.0.0.7/24", "name": "Office",
  "node": [{"pk": "K1", "ip": "10.0.0.1", "hostname": "Web-01", "groups": ["b", "a", "a"]}],
  "route": [{"dest": "10.1.0.0/16", "gw": "K1", "groups": ["b"]}],
  "policy": [{"source_groups": ["a"], "destination_groups": ["ALL"]}]
})");
  NetworkConfig want;
  want.id = *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
  want.network = *Ipv4Net::parse("10.0.0.7/24");
  want.name = "Office";
  want.node.emplace(key(1), NetworkNode{key(1), Ipv4Addr(10, 0, 0, 1), "Web-01", {"a", "b"}});
  want.route.emplace(*Ipv4Net::parse("10.1.0.0/16"), NetworkRoute{*Ipv4Net::parse("10.1.0.0/16"), key(1), {"b"}});
  want.policy.insert(NetworkPolicy{{"a"}, {"ALL"}});
  for (In in : {In::Toml, In::JsonText, In::JsonValue}) {
    auto got = read_as<NetworkConfig>(in, in == In::Toml ? toml : json);
    ASSERT_TRUE(got) << name(in) << ": " << got.error().message();
    EXPECT_EQ(*got, want) << name(in);
  }
  auto only = NetworkConfig::from_toml("network = \"10.0.0.0/24\"");
  ASSERT_TRUE(only);
  EXPECT_FALSE(only->id);
  EXPECT_FALSE(only->name);
  EXPECT_TRUE(only->node.empty());
  EXPECT_TRUE(only->route.empty());
  EXPECT_TRUE(only->policy.empty());
}

TEST(NetworkConfigReaderTest, JsonNullIsNoneOnlyForIdAndName) {
  auto got = NetworkConfig::from_json(R"({"id": null, "network": "10.0.0.0/24", "name": null})");
  ASSERT_TRUE(got) << got.error().message();
  EXPECT_FALSE(got->id);
  EXPECT_FALSE(got->name);
  struct {
    const char* doc;
    const char* error;
  } cases[] = {
      {R"({"network": null})", "invalid type: null, expected IPv4 network"},
      {R"({"network": "10.0.0.0/24", "node": null})", "invalid type: null, expected a sequence"},
      {R"({"network": "10.0.0.0/24", "policy": [{"source_groups": null, "destination_groups": []}]})",
       "invalid type: null, expected a sequence"},
      {R"({"network": "10.0.0.0/24", "node": [null]})", "invalid type: null, expected struct NetworkNode"},
  };
  for (const auto& c : cases) {
    for (In in : {In::JsonText, In::JsonValue}) {
      auto r = read_as<NetworkConfig>(in, c.doc);
      ASSERT_FALSE(r) << c.doc;
      EXPECT_EQ(r.error().description, c.error) << name(in) << " " << c.doc;
    }
  }
}

TEST(NetworkConfigReaderTest, TomlDateTimeWhereARecordIsExpected) {
  struct {
    const char* doc;
    const char* error;
  } cases[] = {
      {"network = \"10.0.0.0/24\"\nnode = [1979-05-27T07:32:00Z]", "missing field `pk`"},
      {"network = \"10.0.0.0/24\"\nroute = [1979-05-27]", "missing field `dest`"},
      {"network = \"10.0.0.0/24\"\npolicy = [07:32:00]", "missing field `source_groups`"},
      {"network = 1979-05-27", "invalid type: map, expected IPv4 network"},
      {"network = \"10.0.0.0/24\"\nnode = 1979-05-27", "invalid type: map, expected a sequence"},
  };
  for (const auto& c : cases) {
    auto r = NetworkConfig::from_toml(c.doc);
    ASSERT_FALSE(r) << c.doc;
    EXPECT_EQ(r.error().description, c.error) << c.doc;
  }
  auto multi = MultiNetworkConfig::from_toml("network = [1979-05-27T07:32:00]");
  ASSERT_FALSE(multi);
  EXPECT_EQ(multi.error().description, "missing field `network`");
}

TEST(NetworkConfigReaderTest, KeyOrderDecidesWhichFaultIsReported) {
  // JSON text hands keys over as written; TOML tables and parsed JSON objects
  // in ascending byte order ("ip" < "pk").
  const std::string json = with_keys(R"({"network": "10.0.0.0/24", "node": [{"pk": 5, "ip": 7, "hostname": "a"}]})");
  auto text = NetworkConfig::from_json(json);
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().description, "invalid type: integer `5`, expected a public key");
  auto value = NetworkConfig::from_json_value(nlohmann::json::parse(json));
  ASSERT_FALSE(value);
  EXPECT_EQ(value.error().description, "invalid type: integer `7`, expected IPv4 address");
  auto toml = NetworkConfig::from_toml("network = \"10.0.0.0/24\"\nnode = [{pk = 5, ip = 7, hostname = \"a\"}]");
  ASSERT_FALSE(toml);
  EXPECT_EQ(toml.error().description, "invalid type: integer `7`, expected IPv4 address");

  // A fault in a value comes before a missing key of the same record.
  auto both = NetworkConfig::from_json(R"({"name": 3})");
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().description, "invalid type: integer `3`, expected a string");
}

TEST(NetworkConfigReaderTest, JsonTextRules) {
  struct {
    const char* what;
    std::string doc;
    const char* error;  // empty: reads; ends in "...": prefix
  } cases[] = {
      {"repeated key", R"({"network": "10.0.0.0/24", "network": "10.0.0.0/24"})", "duplicate field `network`"},
      {"repeated key in a node",
       with_keys(R"({"network": "10.0.0.0/24", "node": [{"pk": "K1", "pk": "K1", "ip": "10.0.0.1", "hostname": "a"}]})"),
       "duplicate field `pk`"},
      {"repeated unknown key", R"({"x": 1, "x": 2, "network": "10.0.0.0/24"})", ""},
      {"trailing white space", "{\"network\": \"10.0.0.0/24\"}  \n\t", ""},
      {"trailing input", R"({"network": "10.0.0.0/24"} x)", "syntax error..."},
      {"second document", R"({"network": "10.0.0.0/24"} {})", "syntax error..."},
      {"empty text", "", "syntax error..."},
      {"not JSON", "network = 1", "syntax error..."},
      // Read as a stream: the value fault stands before the syntax error.
      {"value fault before a syntax error", R"({"network": 5, )", "invalid type: integer `5`, expected IPv4 network"},
      {"syntax error inside a skipped value", R"({"x": [1, 2, {"network": "10.0.0.0/24"})", "syntax error..."},
      {"unterminated", R"({"network": "10.0.0.0/24")", "syntax error..."},
  };
  for (const auto& c : cases) {
    auto r = NetworkConfig::from_json(c.doc);
    std::string error = c.error;
    if (error.empty()) {
      EXPECT_TRUE(r) << c.what << ": " << r.error().message();
      continue;
    }
    ASSERT_FALSE(r) << c.what;
    if (error.ends_with("...")) {
      EXPECT_TRUE(r.error().description.starts_with(error.substr(0, error.size() - 3)))
          << c.what << ": " << r.error().description;
    } else {
      EXPECT_EQ(r.error().description, error) << c.what;
    }
  }
}

TEST(NetworkConfigReaderTest, ErrorsCarryWhatTheirInputFormGives) {
  // TOML: key path, line and the quoted line.
  auto toml = NetworkConfig::from_toml(with_keys(
      "network = \"10.0.0.0/24\"\n\n[[node]]\npk = \"K1\"\nip = \"10.0.0.1\"\nhostname = 5\n"));
  ASSERT_FALSE(toml);
  EXPECT_EQ(toml.error().key_path, "node[0].hostname");
  ASSERT_TRUE(toml.error().position);
  EXPECT_EQ(toml.error().position->line, 6u);
  EXPECT_EQ(toml.error().source_line, "hostname = 5");
  EXPECT_EQ(toml.error().message(),
            "invalid type: integer `5`, expected a string for key `node[0].hostname` at line 6 column " +
                std::to_string(toml.error().position->column) + "\n    6 | hostname = 5");

  auto syntax = NetworkConfig::from_toml("network = \"10.0.0.0/24\"\nnode = [\n");
  ASSERT_FALSE(syntax);
  ASSERT_TRUE(syntax.error().position);
  EXPECT_FALSE(syntax.error().description.empty());

  // JSON text: line and column, no key path.
  auto json = NetworkConfig::from_json("{\n  \"network\": \"10.0.0.0/24\",\n  \"name\": 5\n}");
  ASSERT_FALSE(json);
  EXPECT_TRUE(json.error().key_path.empty());
  ASSERT_TRUE(json.error().position);
  EXPECT_EQ(json.error().position->line, 3u);
  EXPECT_EQ(json.error().message(), "invalid type: integer `5`, expected a string at line 3 column " +
                                        std::to_string(json.error().position->column));

  // A parsed JSON value: the description alone.
  auto value = NetworkConfig::from_json_value(nlohmann::json::parse(R"({"network": "10.0.0.0/24", "name": 5})"));
  ASSERT_FALSE(value);
  EXPECT_FALSE(value.error().position);
  EXPECT_EQ(value.error().message(), "invalid type: integer `5`, expected a string");
}

// Characters the TOML library cannot classify are refused before it reads the
// text, with the place they stand; the same characters inside strings read.
TEST(NetworkConfigReaderTest, CharactersTheTomlLibraryCannotReadAreRefusedFirst) {
  for (const std::string& text : {std::string("\xca\x99"), std::string("network = \"10.0.0.0/24\"\n\xca\x99 = 1\n")}) {
    auto single = NetworkConfig::from_toml(text);
    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().description, "unsupported character U+0299 outside a string or comment");
    ASSERT_TRUE(single.error().position);
    EXPECT_EQ(single.error().position->column, 1u);
    auto multi = MultiNetworkConfig::from_toml(text);
    ASSERT_FALSE(multi);
    EXPECT_EQ(multi.error().description, single.error().description);
  }
  auto named = NetworkConfig::from_toml("network = \"10.0.0.0/24\"\nname = \"Caf\xc3\xa9 \xca\x99\" # d\xc3\xa9j\xc3\xa0\n");
  ASSERT_TRUE(named) << named.error().message();
  EXPECT_EQ(named->name, "Caf\xc3\xa9 \xca\x99");
}

TEST(MultiNetworkConfigReaderTest, ListsNetworksInDocumentOrder) {
  const std::string toml = with_keys(R"(
version = 3

[[network]]
network = "10.1.0.0/24"
name = "second by address, first in the document"
[[network.node]]
pk = "K1"
ip = "10.1.0.1"
hostname = "a"

[[network]]
network = "10.0.0.0/24"
[[network.route]]
dest = "10.9.0.0/16"
gw = "K2"
)");
  const std::string json = with_keys(R"({"version": 3, "network": [
      {"network": "10.1.0.0/24", "name": "second by address, first in the document",
       "node": [{"pk": "K1", "ip": "10.1.0.1", "hostname": "a"}]},
      {"network": "10.0.0.0/24", "route": [{"dest": "10.9.0.0/16", "gw": "K2"}]}]})");
  for (In in : {In::Toml, In::JsonText, In::JsonValue}) {
    auto got = read_as<MultiNetworkConfig>(in, in == In::Toml ? toml : json);
    ASSERT_TRUE(got) << name(in) << ": " << got.error().message();
    ASSERT_EQ(got->network.size(), 2u) << name(in);
    EXPECT_EQ(got->network[0].network.to_string(), "10.1.0.0/24");
    EXPECT_EQ(got->network[0].node.size(), 1u);
    EXPECT_EQ(got->network[1].network.to_string(), "10.0.0.0/24");
    EXPECT_EQ(got->network[1].route.size(), 1u);
  }
}

TEST(MultiNetworkConfigReaderTest, Failures) {
  struct {
    const char* what;
    std::optional<std::string> toml;
    std::optional<std::string> json;
    std::string error;  // empty: reads to an empty list
  } cases[] = {
      {"empty list", "network = []", R"({"network": []})", ""},
      {"no network key", "networks = []", R"({"networks": []})", "missing field `network`"},
      {"network not a list", "[network]\nnetwork = \"10.0.0.0/24\"", R"({"network": {"network": "10.0.0.0/24"}})",
       "invalid type: map, expected a sequence"},
      {"second network repeats a node key",
       with_keys("[[network]]\nnetwork = \"10.0.0.0/24\"\n"
                 "[[network]]\nnetwork = \"10.1.0.0/24\"\n"
                 "[[network.node]]\npk = \"K1\"\nip = \"10.1.0.1\"\nhostname = \"a\"\n"
                 "[[network.node]]\npk = \"K1\"\nip = \"10.1.0.2\"\nhostname = \"b\"\n"),
       with_keys(R"({"network": [{"network": "10.0.0.0/24"}, {"network": "10.1.0.0/24", "node": [
                   {"pk": "K1", "ip": "10.1.0.1", "hostname": "a"},
                   {"pk": "K1", "ip": "10.1.0.2", "hostname": "b"}]}]})"),
       "duplicate public key: " + key_text(1)},
      {"positional empty", std::nullopt, "[]", "invalid length 0, expected struct MultiNetworkConfig with 1 element"},
      {"positional", std::nullopt, R"([[{"network": "10.0.0.0/24"}]])", ""},
      {"positional with extra value", std::nullopt, R"([[], 1])",
       "invalid length 2, expected struct MultiNetworkConfig with 1 element"},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<In, std::string>> runs;
    if (c.toml) runs.emplace_back(In::Toml, *c.toml);
    if (c.json) {
      runs.emplace_back(In::JsonText, *c.json);
      runs.emplace_back(In::JsonValue, *c.json);
    }
    for (const auto& [in, doc] : runs) {
      auto r = read_as<MultiNetworkConfig>(in, doc);
      if (c.error.empty()) {
        EXPECT_TRUE(r) << c.what << " as " << name(in) << ": " << r.error().message();
      } else {
        ASSERT_FALSE(r) << c.what << " as " << name(in);
        EXPECT_EQ(r.error().description, c.error) << c.what << " as " << name(in);
      }
    }
  }
}

}  // namespace
}  // namespace velarix::network

namespace velarix::network {
namespace {

TEST(NetworkConfigReaderTest, DeepNestingIsRefusedOrSkippedWithoutExhaustingTheStack) {
  const std::string network = "network = \"10.0.0.0/24\"\n";
  std::string dotted;
  for (int i = 0; i < 100000; ++i) dotted += "a.";
  struct {
    const char* what;
    std::string toml;
    bool ok;
  } cases[] = {
      {"dotted key of 100000 parts", network + dotted + "b = 1\n", false},
      {"table header of 100000 parts", network + "[" + dotted + "b]\n", false},
      {"nested inline tables and arrays", network + "x = " + std::string(300, '[') + std::string(300, ']') + "\n",
       false},
      {"dotted keys inside nested inline tables", [&network] {
         std::string value = "1";
         for (int i = 0; i < 60; ++i) value = "{k.k = " + value + "}";
         return network + "x.y.z = " + value + "\n";
       }(),
       true},
      {"many floats and dotted strings on one line", [] {
         std::string doc = "network = \"10.0.0.0/24\"\nx = [";
         for (int i = 0; i < 2000; ++i) doc += "1.5, \"a.b.c\", ";
         return doc + "2.5]\n\"q.u.o.t.e.d\".k = 'l.i.t.e.r.a.l' # c.o.m.m.e.n.t\n";
       }(),
       true},
  };
  for (const auto& c : cases) {
    auto r = NetworkConfig::try_from(c.toml);
    EXPECT_EQ(r.has_value(), c.ok) << c.what << ": " << (r ? "" : r.error().message().substr(0, 200));
    if (!r) {
      EXPECT_LT(r.error().message().size(), 400u) << c.what;  // the quoted line is shortened
    }
  }
  // JSON is read without recursion: a deep value under an unknown key is skipped.
  std::string json = "{\"x\": " + std::string(100000, '[') + std::string(100000, ']') + ", \"network\": \"10.0.0.0/24\"}";
  EXPECT_TRUE(NetworkConfig::from_json(json));
  EXPECT_TRUE(NetworkConfig::from_json_value(nlohmann::json::parse(json)));
}

}  // namespace
}  // namespace velarix::network
