// Value types of the network configuration: IPv4 addresses and networks,
// UUIDs, the lower-case mapping for hostnames, and error texts.

#include <gtest/gtest.h>

#include <unordered_set>

#include "network/config/error.h"
#include "network/config/ipv4_net.h"
#include "network/config/network_config.h"
#include "network/config/unicode_lower.h"
#include "network/config/uuid.h"
#include "config_test_support.h"

namespace velarix::network {
namespace {

using testing::key;

TEST(Ipv4AddrTest, ParsesOnlyPlainDottedDecimal) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"10.0.0.1", true},       {"0.0.0.0", true},      {"255.255.255.255", true},
      {"256.0.0.1", false},     {"10.0.0", false},      {"10.0.0.1.2", false},
      {"10.0.0.01", false},     {"10.0.0.", false},     {".10.0.0", false},
      {"10..0.1", false},       {"", false},            {" 10.0.0.1", false},
      {"10.0.0.1 ", false},     {"+1.0.0.1", false},    {"1000.0.0.1", false},
      {"0x0A.0.0.1", false},    {"10.0.0.1/32", false},
  };
  for (const auto& c : cases) {
    auto a = Ipv4Addr::parse(c.text);
    EXPECT_EQ(a.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(a->to_string(), c.text);
    } else {
      EXPECT_EQ(a.error(), "invalid IPv4 address syntax") << c.text;
    }
  }
}

TEST(Ipv4NetTest, KeepsHostBitsAsWritten) {
  auto n = Ipv4Net::parse("10.0.0.7/24");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->to_string(), "10.0.0.7/24");
  EXPECT_EQ(n->addr(), Ipv4Addr(10, 0, 0, 7));
  EXPECT_EQ(n->network(), Ipv4Addr(10, 0, 0, 0));
  EXPECT_EQ(n->broadcast(), Ipv4Addr(10, 0, 0, 255));
  EXPECT_EQ(n->trunc().to_string(), "10.0.0.0/24");
  EXPECT_NE(*n, n->trunc());
  EXPECT_EQ(fmt::format("{}", *n), "10.0.0.7/24");
}

TEST(Ipv4NetTest, ParseRefusesMissingOrOversizedPrefix) {
  const char* bad[] = {"10.0.0.0", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/024",
                       "10.0.0.0/2a", "10.0.0/8", "/8", "10.0.0.0/8/8", "10.0.0.0/100"};
  for (const char* text : bad) EXPECT_FALSE(Ipv4Net::parse(text)) << text;
  for (const char* text : {"0.0.0.0/0", "10.0.0.0/32", "10.0.0.0/8"}) {
    auto n = Ipv4Net::parse(text);
    ASSERT_TRUE(n) << text;
    EXPECT_EQ(n->to_string(), text);
  }
  EXPECT_FALSE(Ipv4Net::make(Ipv4Addr(1, 2, 3, 4), 33));
}

TEST(Ipv4NetTest, ContainmentIncludesBothEnds) {
  struct Case {
    const char* net;
    Ipv4Addr addr;
    bool inside;
  } cases[] = {
      {"10.0.0.0/24", Ipv4Addr(10, 0, 0, 0), true},     {"10.0.0.0/24", Ipv4Addr(10, 0, 0, 255), true},
      {"10.0.0.0/24", Ipv4Addr(10, 0, 1, 0), false},    {"10.0.0.0/24", Ipv4Addr(9, 255, 255, 255), false},
      {"10.0.0.9/24", Ipv4Addr(10, 0, 0, 1), true},     {"0.0.0.0/0", Ipv4Addr(255, 255, 255, 255), true},
      {"10.0.0.5/32", Ipv4Addr(10, 0, 0, 5), true},     {"10.0.0.5/32", Ipv4Addr(10, 0, 0, 4), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ipv4Net::parse(c.net)->contains(c.addr), c.inside) << c.net << " " << c.addr.to_string();
  }
}

TEST(Ipv4NetTest, OrdersByAddressAsNumberThenPrefix) {
  auto a = *Ipv4Net::parse("10.0.0.9/32");
  auto b = *Ipv4Net::parse("10.0.0.10/32");
  auto c = *Ipv4Net::parse("10.0.0.10/24");
  EXPECT_LT(a, b);
  EXPECT_LT(c, b);
  std::unordered_set<Ipv4Net> set{b, c, *Ipv4Net::parse("10.0.0.10/24")};
  EXPECT_EQ(set.size(), 2u);
}

TEST(UuidTest, AcceptsTheFourTextFormsAndPrintsLowerCaseHyphenated) {
  const char* forms[] = {
      "67e5504410b1426f9247bb680e5fe0c8",
      "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
  };
  for (const char* text : forms) {
    auto u = Uuid::parse(text);
    ASSERT_TRUE(u) << text << ": " << u.error();
    EXPECT_EQ(u->to_string(), "67e55044-10b1-426f-9247-bb680e5fe0c8");
  }
}

TEST(UuidTest, RefusesOtherTexts) {
  const char* bad[] = {
      "",
      "67e5504410b1426f9247bb680e5fe0c",                 // 31 digits
      "67e5504410b1426f9247bb680e5fe0c8a",               // 33 digits
      "67e55044-10b1-426f-9247-bb680e5fe0cg",            // not hex
      "67e5504410b1-426f-9247-bb680e5fe0c8-",            // hyphens misplaced
      "{67e5504410b1426f9247bb680e5fe0c8}",              // braces need the grouped form
      "{67e55044-10b1-426f-9247-bb680e5fe0c8",           // unclosed brace
      "urn:uuid:67e5504410b1426f9247bb680e5fe0c8",       // urn needs the grouped form
      "URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8",
      "not-a-uuid",
  };
  for (const char* text : bad) {
    auto u = Uuid::parse(text);
    ASSERT_FALSE(u) << text;
    EXPECT_FALSE(u.error().empty());
  }
}

TEST(UnicodeLowerTest, FullMapping) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"Web-01", "web-01"},
      {"\u212Aelvin", "kelvin"},          // KELVIN SIGN becomes an ASCII k
      {"\u0130stanbul", "i\u0307stanbul"},  // capital I with dot keeps its dot
      {"\u00C9T\u00C9", "\u00E9t\u00E9"},
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},  // word-final sigma
      {"\u03A3", "\u03C3"},                                      // a lone sigma is not final
      {"\u03A3\u0391", "\u03C3\u03B1"},                          // nor one that starts a word
      {"\u0391\u03A3'", "\u03B1\u03C2'"},                        // case-ignorable after it
      {"a\xFF" "B\xC3", "a\xFF" "b\xC3"},                        // bad bytes kept as they are
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(unicode_to_lower(c.in), c.out) << c.in;
}

TEST(ConfigErrorTest, TextsAndDebugForms) {
  auto net = *Ipv4Net::parse("10.0.0.9/24");
  auto dest = *Ipv4Net::parse("10.1.0.1/16");
  ReadError read;
  read.description = "missing field `network`";
  struct Case {
    ConfigError error;
    ConfigError::Kind kind;
    std::string text;
    std::string debug;
  } cases[] = {
      {ConfigError::IpNotInNetwork{Ipv4Addr(10, 0, 1, 1), net}, ConfigError::Kind::IpNotInNetwork,
       "IP address 10.0.1.1 is not in network 10.0.0.9/24", "IpNotInNetwork(10.0.1.1, 10.0.0.9/24)"},
      {ConfigError::GatewayNotFound{key(1)}, ConfigError::Kind::GatewayNotFound,
       "gateway " + key(1).to_string() + " not found in nodes", "GatewayNotFound(" + key(1).debug() + ")"},
      {ConfigError::TomlError{read}, ConfigError::Kind::TomlError,
       "TOML deserialization error: missing field `network`", "TomlError(\"missing field `network`\")"},
      {ConfigError::RouteDuplicate{}, ConfigError::Kind::RouteDuplicate, "duplicate route", "RouteDuplicate"},
      {ConfigError::IpReserved{Ipv4Addr(10, 0, 0, 254)}, ConfigError::Kind::IpReserved,
       "IP address 10.0.0.254 is reserved", "IpReserved(10.0.0.254)"},
      {ConfigError::HostnameInvalid{"Web_1"}, ConfigError::Kind::HostnameInvalid, "invalid hostname: Web_1",
       "HostnameInvalid(\"Web_1\")"},
      {ConfigError::NetworkAddressInvalid{dest}, ConfigError::Kind::NetworkAddressInvalid,
       "invalid network address: 10.1.0.1/16 is a host address", "NetworkAddressInvalid(10.1.0.1/16)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_EQ(fmt::format("{}", c.error), c.text);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(NetworkPolicyTest, EqualityAndHashIgnoreListingOrder) {
  NetworkPolicy a{{"b", "a"}, {"c"}};
  NetworkPolicy b{{"a", "b"}, {"c"}};
  NetworkPolicy swapped{{"c"}, {"a", "b"}};
  NetworkPolicy moved{{"a"}, {"b", "c"}};  // same names in the same order, split elsewhere
  std::hash<NetworkPolicy> h;
  EXPECT_EQ(a, b);
  EXPECT_EQ(h(a), h(b));
  EXPECT_NE(a, swapped);
  EXPECT_NE(a, moved);
  EXPECT_EQ(h(a), h(moved));  // the hash does not see the side; equality does
  PolicySet set{a, b, swapped, moved};
  EXPECT_EQ(set.size(), 3u);
}

}  // namespace
}  // namespace velarix::network
