#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <thread>
#include <utility>

#include "agent/error.h"
#include "velarix_agent.h"
#include "version_info.h"

using namespace velarix::agent;
using velarix::VersionInfo;

TEST(AgentError, MessagesAndCodes) {
  struct Case {
    ErrorKind kind;
    const char* prefix;
    std::int32_t code;
  } cases[] = {
      {ErrorKind::HttpClient, "HTTP client error: ", -101},
      {ErrorKind::InvalidUri, "HTTP URI error: ", -102},
      {ErrorKind::Hyper, "hyper error: ", -103},
      {ErrorKind::Utf8, "UTF8 error: ", -104},
      {ErrorKind::Io, "I/O error: ", -105},
      {ErrorKind::TomlDe, "TOML error: ", -106},
      {ErrorKind::Http, "HTTP error: ", -107},
      {ErrorKind::UrlParse, "URL parsing error: ", -108},
      {ErrorKind::NetworkError, "Network error: ", -109},
      {ErrorKind::IdentityError, "Identity error: ", -110},
      {ErrorKind::NodeError, "Node error: ", -111},
      {ErrorKind::TomlSer, "TOML serialization error: ", -112},
      {ErrorKind::ConfigParse, "Configuration parse error: ", -113},
      {ErrorKind::NetworkAlreadyExists, "Network already exists: ", -114},
      {ErrorKind::NetworkNotFound, "Network not found: ", -115},
      {ErrorKind::ControllerManagedNetwork, "Controller-managed networks cannot be added or removed manually: ", -117},
  };
  for (const auto& c : cases) {
    const Error e{c.kind, "inner"};
    EXPECT_EQ(e.message(), std::string(c.prefix) + "inner");
    EXPECT_EQ(e.c_code(), c.code);
  }
  const Error tun{ErrorKind::UnsupportedTunPlatform, "ignored"};
  EXPECT_EQ(tun.message(), "Unsupported TUN creation platform");
  EXPECT_EQ(tun.c_code(), -116);
}

// A host knows the agent's errors only by the header's names: each must be
// the code the library returns for its kind.
TEST(AgentError, HeaderNamesEveryCode) {
  const std::pair<ErrorKind, std::int32_t> header[] = {
      {ErrorKind::HttpClient, VELARIX_AGENT_ERROR_HTTP_CLIENT},
      {ErrorKind::InvalidUri, VELARIX_AGENT_ERROR_INVALID_URI},
      {ErrorKind::Hyper, VELARIX_AGENT_ERROR_HYPER},
      {ErrorKind::Utf8, VELARIX_AGENT_ERROR_UTF8},
      {ErrorKind::Io, VELARIX_AGENT_ERROR_IO},
      {ErrorKind::TomlDe, VELARIX_AGENT_ERROR_TOML_DE},
      {ErrorKind::Http, VELARIX_AGENT_ERROR_HTTP},
      {ErrorKind::UrlParse, VELARIX_AGENT_ERROR_URL_PARSE},
      {ErrorKind::NetworkError, VELARIX_AGENT_ERROR_NETWORK_ERROR},
      {ErrorKind::IdentityError, VELARIX_AGENT_ERROR_IDENTITY_ERROR},
      {ErrorKind::NodeError, VELARIX_AGENT_ERROR_NODE_ERROR},
      {ErrorKind::TomlSer, VELARIX_AGENT_ERROR_TOML_SER},
      {ErrorKind::ConfigParse, VELARIX_AGENT_ERROR_CONFIG_PARSE},
      {ErrorKind::NetworkAlreadyExists, VELARIX_AGENT_ERROR_NETWORK_ALREADY_EXISTS},
      {ErrorKind::NetworkNotFound, VELARIX_AGENT_ERROR_NETWORK_NOT_FOUND},
      {ErrorKind::ControllerManagedNetwork, VELARIX_AGENT_ERROR_CONTROLLER_MANAGED_NETWORK},
      {ErrorKind::UnsupportedTunPlatform, VELARIX_AGENT_ERROR_UNSUPPORTED_TUN_PLATFORM},
  };
  static_assert(std::size(header) == kErrorKindCount);
  for (const auto& [kind, code] : header) EXPECT_EQ(c_code(kind), code) << static_cast<int>(kind);
}

TEST(VersionInfo, CommitAndProfileCompareExactly) {
  struct Case {
    const char* dirty;
    const char* debug;
    const char* full_commit;
    const char* profile;
  } cases[] = {
      {"true", "true", "abc1234-dirty", "debug"},   {"false", "false", "abc1234", "release"},
      {"True", "TRUE", "abc1234", "release"},       {"", "", "abc1234", "release"},
      {" true", "true ", "abc1234", "release"},
  };
  for (const auto& c : cases) {
    VersionInfo v{"1.2.3", "abc1234", c.dirty, "2026-01-02T03:04:05.123456789Z", c.debug, "ffi"};
    EXPECT_EQ(v.full_commit(), c.full_commit);
    EXPECT_EQ(v.profile(), c.profile);
    EXPECT_EQ(v.to_string(), std::string("  Version: 1.2.3\n  Git Commit: ") + c.full_commit +
                                 "\n  Build Profile: " + c.profile +
                                 "\n  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n  Features: ffi\n");
  }
}

TEST(VersionInfo, BuildFactsHaveTheirForms) {
  const auto v = VersionInfo::new_();
  EXPECT_TRUE(std::regex_match(v.version, std::regex(R"(\d+\.\d+\.\d+)")));
  EXPECT_TRUE(std::regex_match(v.git_commit, std::regex("[0-9a-f]{7}")));
  EXPECT_TRUE(v.git_dirty == "true" || v.git_dirty == "false");
  EXPECT_TRUE(std::regex_match(v.build_timestamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z)")))
      << v.build_timestamp;
  EXPECT_TRUE(v.debug == "true" || v.debug == "false");
  EXPECT_NE(v.features.find("ffi"), std::string::npos);
}

TEST(VersionInfo, VersionStringIsBuiltOnce) {
  const char* results[8];
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&r] { r = velarix_agent_version(); });
  for (auto& t : threads) t.join();
  for (const char* r : results) EXPECT_EQ(r, results[0]);
  const auto v = VersionInfo::new_();
  EXPECT_EQ(std::string(velarix_agent_version()), v.version + " (" + v.full_commit() + ")");
}
