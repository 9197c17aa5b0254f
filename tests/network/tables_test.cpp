// Text forms of the rule, route and hostname lists and of single rules.

#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "network/config/access_rules.h"
#include "network/config/routes.h"
#include "network/config/tables.h"
#include "rules_test_support.h"

namespace velarix::network {
namespace {

using rules_test::ip;
using rules_test::net;
using rules_test::pk;

std::string pad(std::string_view s, std::size_t w) {
  std::string out(s);
  if (out.size() < w) out.append(w - out.size(), ' ');
  return out;
}

std::string rule_row(const char* type, const char* src, const char* dst, int key, const char* action) {
  return pad(type, 4) + " " + pad(src, 18) + " " + pad(dst, 18) + " " + pad(pk(key).to_string(), 64) + " " +
         pad(action, 6) + "\n";
}

const std::string kRuleHeader = "Type Source             Destination        " + pad("PubKey", 64) + " Action\n";

EffectiveAccessRuleList list_of(std::initializer_list<EffectiveAccessRule> rules) {
  EffectiveAccessRuleList list;
  for (const auto& r : rules) list.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
  return list;
}

TEST(EnumTextTest, DisplayAndDebug) {
  EXPECT_EQ(to_string(Direction::IN), "IN");
  EXPECT_EQ(to_string(Direction::OUT), "OUT");
  EXPECT_EQ(debug_text(Direction::OUT), "OUT");
  EXPECT_EQ(to_string(Action::Allow), "ALLOW");
  EXPECT_EQ(to_string(Action::Deny), "DENY");
  EXPECT_EQ(debug_text(Action::Allow), "Allow");
  EXPECT_EQ(debug_text(Action::Deny), "Deny");
  EXPECT_EQ(fmt::format("{} {}", Direction::IN, Action::Deny), "IN DENY");
}

TEST(EffectiveAccessRuleTextTest, DebugAndLine) {
  const EffectiveAccessRule r{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), pk(3), Action::Allow};
  EXPECT_EQ(r.debug(), "EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, dest: 10.0.0.2/32, pk: " +
                           pk(3).debug() + ", action: Allow }");
  EXPECT_EQ(r.to_string(),
            "direction=OUT source=10.0.0.1/32 dest=10.0.0.2/32 pk=" + pk(3).debug() + " action=Allow\n");
  const EffectiveAccessRule in{Direction::IN, net("10.1.0.0/16"), net("10.0.0.1/32"), pk(4), Action::Deny};
  EXPECT_EQ(in.to_string(),
            "direction=IN source=10.1.0.0/16 dest=10.0.0.1/32 pk=" + pk(4).debug() + " action=Deny\n");
}

TEST(EffectiveAccessRuleListTextTest, SortedTable) {
  EXPECT_EQ(EffectiveAccessRuleList{}.to_string(), kRuleHeader);

  const auto list = list_of({
      {Direction::IN, net("0.0.0.0/0"), net("0.0.0.0/0"), pk(1), Action::Allow},
      {Direction::OUT, net("10.0.0.1/32"), net("10.0.0.10/32"), pk(2), Action::Deny},
      {Direction::OUT, net("10.0.0.1/32"), net("10.0.0.9/32"), pk(3), Action::Allow},
      {Direction::OUT, net("10.0.0.9/32"), net("10.0.0.1/32"), pk(4), Action::Allow},
      {Direction::OUT, net("10.0.0.0/24"), net("10.0.0.1/32"), pk(5), Action::Allow},
      {Direction::OUT, net("10.0.0.0/8"), net("10.0.0.1/32"), pk(6), Action::Allow},
      {Direction::IN, net("255.255.255.255/32"), net("10.0.0.1/32"), pk(7), Action::Deny},
  });
  EXPECT_EQ(list.to_string(), kRuleHeader + rule_row("OUT", "10.0.0.0/8", "10.0.0.1/32", 6, "ALLOW") +
                                  rule_row("OUT", "10.0.0.0/24", "10.0.0.1/32", 5, "ALLOW") +
                                  rule_row("OUT", "10.0.0.1/32", "10.0.0.9/32", 3, "ALLOW") +
                                  rule_row("OUT", "10.0.0.1/32", "10.0.0.10/32", 2, "DENY") +
                                  rule_row("OUT", "10.0.0.9/32", "10.0.0.1/32", 4, "ALLOW") +
                                  rule_row("IN", "0.0.0.0/0", "0.0.0.0/0", 1, "ALLOW") +
                                  rule_row("IN", "255.255.255.255/32", "10.0.0.1/32", 7, "DENY"));
  // Row ends: the action column is 6 wide; an 18-character network fills its column.
  const std::string text = list.to_string();
  EXPECT_NE(text.find(" DENY  \n"), std::string::npos);
  EXPECT_NE(text.find(" ALLOW \n"), std::string::npos);
  EXPECT_NE(text.find("IN   255.255.255.255/32 10.0.0.1/32 "), std::string::npos);
}

TEST(EffectiveRoutingListTextTest, SortedTable) {
  EffectiveRoutingList list;
  EXPECT_EQ(list.to_string(), "Destination        Gateway        \n");
  for (auto [d, g] : {std::pair{"10.1.0.0/24", "10.0.0.2"}, {"10.1.0.0/16", "10.0.0.3"},
                      {"9.0.0.0/8", "10.0.0.4"}, {"255.255.255.255/32", "255.255.255.255"}}) {
    list.routes.emplace(net(d), EffectiveRoute{net(d), ip(g)});
  }
  EXPECT_EQ(list.to_string(),
            "Destination        Gateway        \n"
            "9.0.0.0/8          10.0.0.4       \n"
            "10.1.0.0/16        10.0.0.3       \n"
            "10.1.0.0/24        10.0.0.2       \n"
            "255.255.255.255/32 255.255.255.255\n");
  EXPECT_EQ(list.debug(),
            "EffectiveRoutingList({9.0.0.0/8: EffectiveRoute { dest: 9.0.0.0/8, gw: 10.0.0.4 }, "
            "10.1.0.0/16: EffectiveRoute { dest: 10.1.0.0/16, gw: 10.0.0.3 }, "
            "10.1.0.0/24: EffectiveRoute { dest: 10.1.0.0/24, gw: 10.0.0.2 }, "
            "255.255.255.255/32: EffectiveRoute { dest: 255.255.255.255/32, gw: 255.255.255.255 }})");
}

TEST(HostnameListTextTest, SortedTableWithZone) {
  HostnameList list;
  EXPECT_EQ(list.to_string(), "IP              Hostname\n");
  list.hostnames = {{ip("10.0.0.10"), "Web-01"}, {ip("10.0.0.9"), "db"}, {ip("255.255.255.255"), "x"}};
  const std::string zone(kOverlayDnsZone);
  EXPECT_EQ(list.to_string(), "IP              Hostname\n"
                              "10.0.0.9        db." + zone + "\n"
                              "10.0.0.10       Web-01." + zone + "\n"
                              "255.255.255.255 x." + zone + "\n");
  EXPECT_EQ(list.debug(), "HostnameList({10.0.0.9: \"db\", 10.0.0.10: \"Web-01\", 255.255.255.255: \"x\"})");
}

TEST(TableHelpersTest, CellsAndQuotes) {
  struct Cell {
    const char* text;
    std::size_t width;
    const char* expected;
  } cells[] = {{"ab", 4, "ab  "}, {"abcd", 4, "abcd"}, {"abcdef", 4, "abcdef"}, {"", 2, "  "}};
  for (const auto& c : cells) {
    std::string out;
    append_cell(out, c.text, c.width);
    EXPECT_EQ(out, c.expected);
  }
  EXPECT_EQ(debug_quoted("plain"), "\"plain\"");
  EXPECT_EQ(debug_quoted("say \"hi\"\\\n\t\x01"), "\"say \\\"hi\\\"\\\\\\n\\t\\u{1}\"");
  EXPECT_EQ(debug_quoted("K\xE2\x84\xAA"), "\"K\xE2\x84\xAA\"");  // non-ASCII stays as it is
}

}  // namespace
}  // namespace velarix::network
