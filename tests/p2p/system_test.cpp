#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "util/system.h"

using velarix::test::ScopedEnv;
namespace util = velarix::p2p::util;

TEST(GetEnv, ParsesEachTypeOrFallsBack) {
  constexpr const char* kUnset = nullptr;
  const std::string u64_max_plus_one = "18446744073709551616";
  struct Case {
    const char* value;
    std::uint64_t max_peers;   // default 8192
    std::uint8_t difficulty;   // default 24
    bool enforce_tcp;          // default false
    bool arm_messages;         // default true
    std::int32_t threads;      // default 3
  } cases[] = {
      {kUnset, 8192, 24, false, true, 3},
      {"", 8192, 24, false, true, 3},
      {"abc", 8192, 24, false, true, 3},
      {"-1", 8192, 24, false, true, -1},
      {" 100", 8192, 24, false, true, 3},
      {"100 ", 8192, 24, false, true, 3},
      {"+100", 100, 100, false, true, 100},
      {"0", 0, 0, false, true, 0},
      {"007", 7, 7, false, true, 7},
      {"255", 255, 255, false, true, 255},
      {"256", 256, 24, false, true, 256},
      {"+", 8192, 24, false, true, 3},
      {"-", 8192, 24, false, true, 3},
      {"+-5", 8192, 24, false, true, 3},
      {"-5", 8192, 24, false, true, -5},
      {"0x10", 8192, 24, false, true, 3},
      {"2147483647", 2147483647, 24, false, true, 2147483647},
      {"2147483648", 2147483648u, 24, false, true, 3},
      {"-2147483648", 8192, 24, false, true, -2147483647 - 1},
      {"-2147483649", 8192, 24, false, true, 3},
      {"18446744073709551615", 18446744073709551615u, 24, false, true, 3},
      {u64_max_plus_one.c_str(), 8192, 24, false, true, 3},
      {"true", 8192, 24, true, true, 3},
      {"True", 8192, 24, false, true, 3},
      {"1", 1, 1, false, true, 1},
      {"yes", 8192, 24, false, true, 3},
      {"false", 8192, 24, false, false, 3},
      {"FALSE", 8192, 24, false, true, 3},
      {"\xff", 8192, 24, false, true, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    ScopedEnv env("VELARIX_TEST_SETTING", c.value);
    EXPECT_EQ(util::get_env<std::uint64_t>("TEST_SETTING", 8192), c.max_peers);
    EXPECT_EQ(util::get_env<std::size_t>("TEST_SETTING", 8192), c.max_peers);
    EXPECT_EQ(util::get_env<std::uint8_t>("TEST_SETTING", 24), c.difficulty);
    EXPECT_EQ(util::get_env<bool>("TEST_SETTING", false), c.enforce_tcp);
    EXPECT_EQ(util::get_env<bool>("TEST_SETTING", true), c.arm_messages);
    EXPECT_EQ(util::get_env<std::int32_t>("TEST_SETTING", 3), c.threads);
    const bool utf8 = c.value == nullptr || std::string_view(c.value) != "\xff";
    EXPECT_EQ(util::get_env("TEST_SETTING", "dflt"), c.value && utf8 ? std::string(c.value) : "dflt");
  }
}

TEST(GetEnv, UdpPortRule) {
  struct Case {
    const char* text;
    std::optional<std::uint16_t> port;
  } cases[] = {
      {"", std::nullopt},     {"   ", std::nullopt}, {"\t\n", std::nullopt}, {"65536", std::nullopt},
      {"-1", std::nullopt},   {"abc", std::nullopt}, {" 80", std::nullopt},  {"0", 0},
      {"+8080", 8080},        {"65535", 65535},
  };
  for (const auto& c : cases) EXPECT_EQ(util::parse_udp_port(c.text), c.port) << "'" << c.text << "'";
}

TEST(GetEnv, UdpAddressList) {
  struct Case {
    std::string text;
    std::vector<std::string> addrs;  // empty with `ok` false: the parse fails
    bool ok;
  } cases[] = {
      {"192.0.2.1  2001:db8::1", {"192.0.2.1", "2001:db8::1"}, true},
      {"\t10.0.0.1\n", {"10.0.0.1"}, true},
      {"", {}, true},
      {" \u3000 ", {}, true},
      {"10.0.0.1\u00a010.0.0.2", {"10.0.0.1", "10.0.0.2"}, true},
      {"10.0.0.1 10.0.0.1", {"10.0.0.1", "10.0.0.1"}, true},
      {"10.0.0.1,10.0.0.2", {}, false},
      {"10.0.0.1 nope", {}, false},
      {"10.0.0.1:80", {}, false},
      {"[::1]", {}, false},
      {"fe80::1%lo", {}, false},
      {"10.0.0", {}, false},
  };
  for (const auto& c : cases) {
    auto r = util::parse_udp_addrs(c.text);
    ASSERT_EQ(r.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    std::vector<std::string> got;
    for (const auto& a : *r) got.push_back(a.to_string());
    EXPECT_EQ(got, c.addrs) << c.text;
  }
}
