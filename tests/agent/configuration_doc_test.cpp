// docs/configuration.md against the code: every key the readers read and every
// environment setting the agent reads has its row, and every row is a key the
// code reads; the files in examples/ load and mean what they say.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include "agent/agent.h"
#include "agent/env_settings.h"
#include "common/agent_harness.h"
#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "network/config/access_rules.h"
#include "network/config/network_config.h"
#include "network/config/reader.h"
#include "network/config/routes.h"
#include "util/system.h"

using namespace velarix::agent;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::AgentHarness;
using velarix::test::eventually;
using velarix::test::LogCapture;
using velarix::test::read_text;
using velarix::test::ScopedEnv;
using velarix::test::TempDir;
using velarix::test::write_text;

namespace {

const std::string kSourceDir = VELARIX_SOURCE_DIR;

std::string trim(std::string_view s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out;
  std::string_view rest(row);
  rest.remove_prefix(1);  // the leading '|'
  for (auto bar = rest.find('|'); bar != std::string_view::npos; bar = rest.find('|')) {
    out.push_back(trim(rest.substr(0, bar)));
    rest.remove_prefix(bar + 1);
  }
  return out;
}

// The rows of the tables under the heading `section` ("## ..." up to the next
// "## ") whose header's first cell is `first`, each as key (the first cell
// without its backquotes) and the cell in column `column`.
std::map<std::string, std::string> documented(std::string_view section, std::string_view first, std::size_t column) {
  std::istringstream doc(read_text(kSourceDir + "/docs/configuration.md"));
  std::map<std::string, std::string> out;
  bool in_section = false;
  bool in_table = false;
  bool wanted = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) in_section = line.substr(3) == section;
    if (!in_section || !line.starts_with("|")) {
      in_table = false;
      continue;
    }
    const auto row = cells(line);
    if (!in_table) {
      in_table = true;
      wanted = !row.empty() && row[0] == first;
      continue;
    }
    if (!wanted || line.starts_with("|---")) continue;
    EXPECT_GT(row.size(), column) << line;
    const std::string& key = row[0];
    EXPECT_TRUE(key.size() > 2 && key.front() == '`' && key.back() == '`') << "a key in backquotes: " << line;
    const std::string name = key.substr(1, key.size() - 2);
    EXPECT_TRUE(out.emplace(name, row.size() > column ? row[column] : "").second) << "documented twice: " << name;
  }
  EXPECT_FALSE(out.empty()) << "no table under \"## " << section << "\" starting with " << first;
  return out;
}

// Both directions: what the code has and the documentation lacks, and the reverse.
void expect_same_keys(const std::set<std::string>& code, const std::map<std::string, std::string>& doc) {
  for (const auto& k : code) EXPECT_TRUE(doc.contains(k)) << k << " is read by the code but not documented";
  for (const auto& [k, v] : doc) EXPECT_TRUE(code.contains(k)) << k << " is documented but the code does not read it";
}

}  // namespace

TEST(ConfigurationReference, DocumentsEveryKeyOfTheAgentFile) {
  std::set<std::string> code;
  for (const auto& k : kConfigKeys) code.emplace(k.path);
  expect_same_keys(code, documented("The agent configuration file", "Key", 1));
}

TEST(ConfigurationReference, DocumentsEveryKeyOfTheNetworkDocumentAndWhichAreRequired) {
  const auto doc = documented("The network document", "Key", 2);
  std::set<std::string> code;
  for (const auto& k : velarix::network::detail::network_document_keys()) {
    code.insert(k.path);
    if (auto it = doc.find(k.path); it != doc.end()) {
      EXPECT_EQ(it->second, k.required ? "yes" : "no") << "the Required column of " << k.path;
    }
  }
  expect_same_keys(code, doc);
}

TEST(ConfigurationReference, DocumentsEveryEnvironmentSettingWithItsDefault) {
  const auto doc = documented("Environment settings", "Variable", 2);
  std::set<std::string> code;
  for (const auto& s : env::all_settings()) {
    code.insert(s.key);
    if (auto it = doc.find(s.key); it != doc.end()) {
      EXPECT_EQ(it->second, s.fallback) << "the default of " << s.key;
    }
  }
  expect_same_keys(code, doc);
}

// A setting read straight from the environment, past the table, would be
// missing from the documentation: every key the agent asks for while it loads,
// starts and runs its runners must be one of the table's.
TEST(ConfigurationReference, EverySettingTheAgentReadsIsInTheTable) {
  std::set<std::string> table;
  for (const auto& s : env::all_settings()) table.insert(s.key.substr(std::string_view("VELARIX_").size()));

  AgentHarness harness;
  Runtime rt(2);
  auto cfg = AgentConfig::load_or_generate(harness.write_config());
  ASSERT_TRUE(cfg) << cfg.error().message();
  auto started =
      block_on(rt, Agent::start(*cfg, harness.path(), PlatformDependent{}, AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(started) << started.error().message();
  auto has = [](std::string_view key) {
    const auto read = velarix::p2p::util::env_keys_read();
    return std::find(read.begin(), read.end(), key) != read.end();
  };
  EXPECT_TRUE(eventually([&] { return has("C2D_THREADS"); })) << "the node runner has read its settings";
  block_on(rt, started->shutdown());

  const auto read = velarix::p2p::util::env_keys_read();
  EXPECT_GE(read.size(), 10u);
  for (const auto& key : read) {
    EXPECT_TRUE(table.contains(key)) << "VELARIX_" << key << " is read past agent/env_settings.h: not documented";
  }
}

TEST(ConfigurationExamples, TheAgentFileLoadsAboveAGeneratedIdentityWithoutAWarning) {
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  TempDir dir;
  const auto path = dir.file("agent.toml");
  const std::string example = read_text(kSourceDir + "/examples/agent.toml");
  ASSERT_FALSE(example.empty());

  // As shipped it has no identity: refused and left as it is, as a file that lost its
  // identity would be.
  write_text(path, example);
  auto refused = AgentConfig::load_or_generate(path);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::TomlDe);
  EXPECT_NE(refused.error().message().find("missing field `identity`"), std::string::npos) << refused.error().message();
  EXPECT_EQ(read_text(path), example);

  // What its comment says to do: the agent makes the identity, the example goes above it.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  auto generated = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(generated) << generated.error().message();
  write_text(path, example + read_text(path));
  if (LogCapture::get().installed()) LogCapture::get().clear();

  auto cfg = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(cfg) << cfg.error().message();
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("unknown key"), 0u);
  }
  EXPECT_EQ(cfg->identity, generated->identity);
  EXPECT_FALSE(cfg->super_peers) << "the example leaves the super peers to its reader";
  ASSERT_EQ(cfg->network.size(), 1u);
  const auto& [url, net] = *cfg->network.begin();
  EXPECT_EQ(url.scheme(), "file");
  EXPECT_FALSE(net.disabled);
  ASSERT_TRUE(net.name);
  EXPECT_EQ(*net.name, "example");
}

TEST(ConfigurationExamples, TheNetworkDocumentValidatesAndLetsItsTwoMembersReachEachOther) {
  auto config = velarix::network::NetworkConfig::try_from(read_text(kSourceDir + "/examples/network.toml"));
  ASSERT_TRUE(config) << config.error().message();
  ASSERT_EQ(config->node.size(), 2u);
  EXPECT_EQ(config->policy.size(), 1u);
  EXPECT_TRUE(config->route.empty());
  EXPECT_EQ(config->network.to_string(), "198.19.0.0/24");

  std::vector<const velarix::network::NetworkNode*> members;
  for (const auto& [pk, node] : config->node) members.push_back(&node);
  std::sort(members.begin(), members.end(), [](auto* a, auto* b) { return a->hostname < b->hostname; });
  ASSERT_EQ(members[0]->hostname, "alpha");
  ASSERT_EQ(members[1]->hostname, "beta");
  for (int i = 0; i < 2; ++i) {
    const auto& me = *members[i];
    const auto& other = *members[1 - i];
    SCOPED_TRACE(me.hostname);
    auto rules = config->effective_access_rule_list(me.pk);
    ASSERT_TRUE(rules) << rules.error().message();
    ASSERT_EQ(rules->rules.size(), 2u) << "one OUT and one IN rule, towards the other member";
    for (const auto& [key, rule] : rules->rules) {
      EXPECT_EQ(rule.action, velarix::network::Action::Allow);
      EXPECT_EQ(rule.pk, other.pk);
    }
    const auto names = config->hostnames(me.pk);
    EXPECT_EQ(names.hostnames.size(), 2u);
    EXPECT_EQ(names.hostnames.at(other.ip), other.hostname);
    EXPECT_EQ(names.hostnames.at(me.ip), me.hostname);
    auto routes = config->effective_routing_list(me.pk);
    ASSERT_TRUE(routes);
    EXPECT_TRUE(routes->routes.empty());
  }
}
