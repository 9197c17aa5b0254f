// The configuration functions, driven only through the public C header.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "velarix_agent.h"

using velarix::test::ScopedEnv;
using velarix::test::TempDir;
using velarix::test::read_text;
using velarix::test::write_text;

namespace {

const std::string kIdentity =
    "[identity]\nsk = \"0101010101010101010101010101010101010101010101010101010101010101\"\npow = 7\n";
const char* const kBadUtf8 = "\xc3\x28";

class CConfig : public ::testing::Test {
 protected:
  ScopedEnv difficulty_{"VELARIX_MIN_POW_DIFFICULTY", "4"};
  TempDir dir_;
  std::string path_ = dir_.file("agent.toml");

  void write_config(const std::string& networks = "") { write_text(path_, kIdentity + networks); }

  // url -> (disabled, name or "<null>")
  std::map<std::string, std::pair<int, std::string>> list() {
    NetworkInfo* infos = nullptr;
    int32_t count = -1;
    EXPECT_EQ(velarix_agent_config_networks(path_.c_str(), &infos, &count), 0);
    std::map<std::string, std::pair<int, std::string>> out;
    for (int32_t i = 0; i < count; ++i) {
      const char* name = velarix_agent_network_name(infos, i);
      out[velarix_agent_network_url(infos, i)] = {velarix_agent_network_disabled(infos, i), name ? name : "<null>"};
    }
    velarix_agent_config_networks_free(infos, count);
    return out;
  }
};

using EditFn = int32_t (*)(const char*, const char*);

}  // namespace

TEST(CNetworkInfo, LayoutIsFixed) {
  static_assert(sizeof(NetworkInfo) == 24);
  static_assert(alignof(NetworkInfo) == 8);
  static_assert(offsetof(NetworkInfo, url) == 0);
  static_assert(offsetof(NetworkInfo, disabled) == 8);
  static_assert(offsetof(NetworkInfo, name) == 16);
}

TEST_F(CConfig, LoadOrGenerateCreatesAndReloads) {
  AgentConfigPtr* cfg = nullptr;
  ASSERT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), &cfg), 0);
  ASSERT_NE(cfg, nullptr);
  uint8_t pk1[32] = {};
  ASSERT_EQ(velarix_agent_config_id_pk(cfg, pk1), 0);
  velarix_agent_config_free(cfg);

  AgentConfigPtr* again = nullptr;
  ASSERT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), &again), 0);
  uint8_t pk2[32] = {};
  ASSERT_EQ(velarix_agent_config_id_pk(again, pk2), 0);
  EXPECT_TRUE(std::equal(pk1, pk1 + 32, pk2));
  EXPECT_EQ(velarix_agent_config_id_pk(again, nullptr), -2);
  EXPECT_EQ(velarix_agent_config_id_pk(nullptr, pk2), -2);
  velarix_agent_config_free(again);
  velarix_agent_config_free(nullptr);
}

TEST_F(CConfig, LoadOrGenerateFailures) {
  AgentConfigPtr* sentinel = reinterpret_cast<AgentConfigPtr*>(0x1);
  AgentConfigPtr* out = sentinel;
  EXPECT_EQ(velarix_agent_config_load_or_generate(nullptr, &out), -2);
  EXPECT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), nullptr), -2);
  EXPECT_EQ(velarix_agent_config_load_or_generate(kBadUtf8, &out), -1);
  write_text(path_, "");
  EXPECT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), &out), -106);
  EXPECT_EQ(read_text(path_), "");
  EXPECT_EQ(velarix_agent_config_load_or_generate(dir_.path().c_str(), &out), -105);
  EXPECT_EQ(out, sentinel);
}

TEST_F(CConfig, EditorsReturnEveryCode) {
  struct Case {
    const char* name;
    EditFn fn;
    const char* path;  // nullptr: NULL; "" : the test's file
    const char* url;
    std::string before;  // networks in the file before the call; "<missing>" removes the file
    int32_t code;
  } cases[] = {
      {"add null path", velarix_agent_config_network_add, nullptr, "https://a.example", "", -2},
      {"add null url", velarix_agent_config_network_add, "", nullptr, "", -2},
      {"add bad path", velarix_agent_config_network_add, kBadUtf8, "https://a.example", "", -1},
      {"add bad url text", velarix_agent_config_network_add, "", kBadUtf8, "", -1},
      {"add missing file", velarix_agent_config_network_add, "", "https://a.example", "<missing>", -2},
      {"add unparsable", velarix_agent_config_network_add, "", "no scheme", "", -3},
      {"add", velarix_agent_config_network_add, "", "https://a.example", "", 0},
      {"add other case", velarix_agent_config_network_add, "", "HTTPS://A.EXAMPLE/",
       "[[network]]\nconfig_url = \"https://a.example\"\n", -5},
      {"remove missing file", velarix_agent_config_network_remove, "", "https://a.example", "<missing>", -2},
      {"remove absent", velarix_agent_config_network_remove, "", "https://a.example", "", -4},
      {"remove", velarix_agent_config_network_remove, "", "https://A.example",
       "[[network]]\nconfig_url = \"https://a.example\"\n", 0},
      {"enable absent", velarix_agent_config_network_enable, "", "https://a.example", "", -4},
      {"enable enabled", velarix_agent_config_network_enable, "", "https://a.example",
       "[[network]]\nconfig_url = \"https://a.example\"\n", -6},
      {"enable", velarix_agent_config_network_enable, "", "https://a.example",
       "[[network]]\nconfig_url = \"https://a.example\"\ndisabled = true\n", 0},
      {"disable disabled", velarix_agent_config_network_disable, "", "https://a.example",
       "[[network]]\nconfig_url = \"https://a.example\"\ndisabled = true\n", -7},
      {"disable", velarix_agent_config_network_disable, "", "https://a.example",
       "[[network]]\nconfig_url = \"https://a.example\"\n", 0},
      {"disable bad url", velarix_agent_config_network_disable, "", "::", "", -3},
      {"enable broken file", velarix_agent_config_network_enable, "", "https://a.example", "garbage", -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before == "<missing>") {
      std::filesystem::remove(path_);
    } else if (c.before == "garbage") {
      write_text(path_, "not toml [");
    } else {
      write_config(c.before);
    }
    const std::string before = std::filesystem::exists(path_) ? read_text(path_) : "<missing>";
    const char* path = c.path == nullptr ? nullptr : (*c.path == 0 ? path_.c_str() : c.path);
    EXPECT_EQ(c.fn(path, c.url), c.code);
    const std::string after = std::filesystem::exists(path_) ? read_text(path_) : "<missing>";
    if (c.code != 0) {
      EXPECT_EQ(after, before) << "a failed edit must not rewrite the file";
    } else {
      EXPECT_NE(after, before);
    }
  }
}

// Enabling or disabling in a missing file makes the file first, with a new
// identity, and then finds no such network.
TEST_F(CConfig, EnableAndDisableOnAMissingFileCreateItWithAnIdentity) {
  const struct {
    const char* name;
    EditFn fn;
  } cases[] = {{"enable", velarix_agent_config_network_enable}, {"disable", velarix_agent_config_network_disable}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    EXPECT_EQ(c.fn(path_.c_str(), "https://a.example"), -4);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0) << "no file";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(read_text(path_).find("[identity]\nsk = \""), std::string::npos) << read_text(path_);
    AgentConfigPtr* cfg = nullptr;
    ASSERT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), &cfg), 0);
    velarix_agent_config_free(cfg);
  }
}

// A host app and its tunnel extension starting together (here: threads, each
// with its own descriptors, as processes have) on a file not made yet: every
// one of them ends with the identity the file holds.
TEST_F(CConfig, FirstLaunchesAtOnceAllEndWithTheFilesIdentity) {
  // The public key of a configuration handle, in hexadecimal.
  const auto key_of = [](AgentConfigPtr* cfg) {
    uint8_t pk[32] = {};
    std::string hex;
    if (velarix_agent_config_id_pk(cfg, pk) != 0) return hex;
    for (uint8_t b : pk) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    return hex;
  };
  constexpr int kLaunches = 6;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove(path_);
    std::vector<std::string> keys(kLaunches);
    std::vector<int32_t> codes(kLaunches, 1);
    int32_t enabled = 1;
    int32_t disabled = 1;
    std::latch go(kLaunches + 2);
    std::vector<std::thread> threads;
    for (int i = 0; i < kLaunches; ++i) {
      threads.emplace_back([&, i] {
        go.arrive_and_wait();
        AgentConfigPtr* cfg = nullptr;
        codes[i] = velarix_agent_config_load_or_generate(path_.c_str(), &cfg);
        if (cfg != nullptr) keys[i] = key_of(cfg);
        velarix_agent_config_free(cfg);
      });
    }
    threads.emplace_back([&] {
      go.arrive_and_wait();
      enabled = velarix_agent_config_network_enable(path_.c_str(), "https://a.example");
    });
    threads.emplace_back([&] {
      go.arrive_and_wait();
      disabled = velarix_agent_config_network_disable(path_.c_str(), "https://a.example");
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(enabled, -4);
    EXPECT_EQ(disabled, -4);
    AgentConfigPtr* file = nullptr;
    ASSERT_EQ(velarix_agent_config_load_or_generate(path_.c_str(), &file), 0);
    const std::string in_file = key_of(file);
    velarix_agent_config_free(file);
    for (int i = 0; i < kLaunches; ++i) {
      EXPECT_EQ(codes[i], 0) << i;
      EXPECT_EQ(keys[i], in_file) << "launch " << i << " holds an identity the file does not have";
    }
  }
}

TEST_F(CConfig, ListShowsNormalisedUrlWhileFileKeepsText) {
  write_config();
  ASSERT_EQ(velarix_agent_config_network_add(path_.c_str(), "https://Net.Example"), 0);
  ASSERT_EQ(velarix_agent_config_network_add(path_.c_str(), "file:///tmp/b.toml"), 0);
  ASSERT_EQ(velarix_agent_config_network_disable(path_.c_str(), "file:///tmp/b.toml"), 0);
  EXPECT_NE(read_text(path_).find("config_url = \"https://Net.Example\""), std::string::npos);
  const auto networks = list();
  ASSERT_EQ(networks.size(), 2u);
  EXPECT_EQ(networks.at("https://net.example/"), (std::pair<int, std::string>{0, "<null>"}));
  EXPECT_EQ(networks.at("file:///tmp/b.toml"), (std::pair<int, std::string>{1, "<null>"}));

  write_config("[[network]]\nconfig_url = \"https://n.example\"\nname = \"Home\"\n");
  EXPECT_EQ(list().at("https://n.example/").second, "Home");
}

TEST_F(CConfig, ListingFailuresAndEmptyList) {
  NetworkInfo* sentinel = reinterpret_cast<NetworkInfo*>(0x1);
  NetworkInfo* out = sentinel;
  int32_t count = 99;
  EXPECT_EQ(velarix_agent_config_networks(nullptr, &out, &count), -2);
  EXPECT_EQ(velarix_agent_config_networks(path_.c_str(), nullptr, &count), -2);
  EXPECT_EQ(velarix_agent_config_networks(path_.c_str(), &out, nullptr), -2);
  EXPECT_EQ(velarix_agent_config_networks(kBadUtf8, &out, &count), -1);
  EXPECT_EQ(velarix_agent_config_networks(path_.c_str(), &out, &count), -2);  // missing file
  EXPECT_EQ(out, sentinel);
  EXPECT_EQ(count, 99);

  write_config();
  EXPECT_EQ(velarix_agent_config_networks(path_.c_str(), &out, &count), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(count, 0);
  velarix_agent_config_networks_free(nullptr, 0);

  EXPECT_EQ(velarix_agent_network_url(nullptr, 0), nullptr);
  EXPECT_EQ(velarix_agent_network_disabled(nullptr, 0), -1);
  EXPECT_EQ(velarix_agent_network_name(nullptr, 0), nullptr);
}

// The array knows its length: an index outside it reads nothing.
TEST_F(CConfig, AccessorsRefuseAnIndexOutsideTheArray) {
  write_config("[[network]]\nconfig_url = \"https://a.example\"\ndisabled = true\n"
               "[[network]]\nconfig_url = \"https://b.example\"\nname = \"Bee\"\n");
  NetworkInfo* infos = nullptr;
  int32_t count = 0;
  ASSERT_EQ(velarix_agent_config_networks(path_.c_str(), &infos, &count), 0);
  ASSERT_EQ(count, 2);
  std::map<std::string, std::pair<int32_t, std::string>> seen;
  for (int32_t i = 0; i < count; ++i) {
    ASSERT_NE(velarix_agent_network_url(infos, i), nullptr);
    const char* name = velarix_agent_network_name(infos, i);
    seen[velarix_agent_network_url(infos, i)] = {velarix_agent_network_disabled(infos, i), name ? name : "<null>"};
  }
  EXPECT_EQ(seen, (std::map<std::string, std::pair<int32_t, std::string>>{{"https://a.example/", {1, "<null>"}},
                                                                          {"https://b.example/", {0, "Bee"}}}));
  const struct {
    int32_t index;
    int32_t disabled;
  } outside[] = {{-1, -1}, {INT32_MIN, -1}, {2, -2}, {3, -2}, {1 << 30, -2}, {INT32_MAX, -2}};
  for (const auto& c : outside) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(velarix_agent_network_url(infos, c.index), nullptr);
    EXPECT_EQ(velarix_agent_network_name(infos, c.index), nullptr);
    EXPECT_EQ(velarix_agent_network_disabled(infos, c.index), c.disabled);
  }
  velarix_agent_config_networks_free(infos, count);
}

TEST_F(CConfig, EditorsAtTheSameTimeLoseNoEdit) {
  write_config();
  // Each editor reads the file, changes it and writes it back; without taking
  // turns, one editor's write would drop what another wrote meanwhile.
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> editors;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    editors.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string url = "https://net" + std::to_string(t) + "-" + std::to_string(i) + ".example/";
        if (velarix_agent_config_network_add(path_.c_str(), url.c_str()) != 0) ++failures;
        if (i % 5 == 0 && velarix_agent_config_network_disable(path_.c_str(), url.c_str()) != 0) ++failures;
      }
    });
  }
  for (auto& e : editors) e.join();
  EXPECT_EQ(failures, 0);
  const auto networks = list();
  EXPECT_EQ(networks.size(), static_cast<std::size_t>(kThreads * kEach));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      const std::string url = "https://net" + std::to_string(t) + "-" + std::to_string(i) + ".example/";
      auto it = networks.find(url);
      ASSERT_NE(it, networks.end()) << url;
      EXPECT_EQ(it->second.first, i % 5 == 0 ? 1 : 0) << url;
    }
  }
}
