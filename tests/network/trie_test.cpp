// Longest-prefix-match tries, the two-level route lookup, and the TX and RX
// tries built from an access-rule list.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "network/config/access_rules.h"
#include "network/config/trie.h"
#include "rules_test_support.h"

// Counts the allocations of the thread that asked for counting, so the
// lookup test can show that the packet path allocates nothing.
namespace {
thread_local bool g_count_allocations = false;
thread_local std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (g_count_allocations) ++g_allocations;
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace velarix::network {
namespace {

using rules_test::ip;
using rules_test::net;
using rules_test::pk;

TEST(IpnetTrieTest, LongestPrefixMatch) {
  IpnetTrie<int> trie;
  trie.insert(net("0.0.0.0/0"), 0);
  trie.insert(net("10.0.0.0/8"), 8);
  trie.insert(net("10.1.0.0/16"), 16);
  trie.insert(net("10.1.2.0/24"), 24);
  trie.insert(net("10.1.2.3/32"), 32);
  trie.insert(net("192.168.0.0/31"), 31);

  struct Case {
    const char* addr;
    std::optional<int> value;
  } cases[] = {
      {"10.1.2.3", 32},       {"10.1.2.4", 24},        {"10.1.3.0", 16},   {"10.2.0.0", 8},
      {"10.255.255.255", 8},  {"11.0.0.0", 0},         {"9.255.255.255", 0}, {"192.168.0.1", 31},
      {"192.168.0.2", 0},     {"255.255.255.255", 0},
  };
  for (const auto& c : cases) {
    const int* v = trie.lookup(ip(c.addr));
    ASSERT_EQ(v != nullptr, c.value.has_value()) << c.addr;
    if (v) {
      EXPECT_EQ(*v, *c.value) << c.addr;
    }
  }

  IpnetTrie<int> no_default;
  no_default.insert(net("10.0.0.0/8"), 8);
  EXPECT_EQ(no_default.lookup(ip("11.0.0.0")), nullptr);
  EXPECT_EQ(IpnetTrie<int>{}.lookup(ip("10.0.0.1")), nullptr);
}

TEST(IpnetTrieTest, EqualPrefixAfterMaskingReplacesValueAndNetwork) {
  IpnetTrie<std::string> trie;
  EXPECT_TRUE(trie.insert(net("10.1.0.0/16"), "first"));
  EXPECT_TRUE(trie.insert(net("10.1.0.0/24"), "longer"));
  EXPECT_FALSE(trie.insert(net("10.1.0.5/16"), "second"));
  EXPECT_EQ(trie.size(), 2u);

  const auto* e = trie.exact(net("10.1.0.0/16"));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->value, "second");
  EXPECT_EQ(e->net, net("10.1.0.5/16"));  // the stored network is replaced too
  EXPECT_EQ(trie.longest_match(ip("10.1.9.9"))->net, net("10.1.0.5/16"));
  EXPECT_EQ(trie.exact(net("10.1.0.0/17")), nullptr);
  EXPECT_EQ(trie.exact(net("10.2.0.0/16")), nullptr);
}

TEST(IpnetTrieTest, IteratesOverEveryEntryAndComparesIgnoringOrder) {
  IpnetTrie<int> a;
  IpnetTrie<int> b;
  const char* nets[] = {"10.0.0.0/8", "10.1.0.0/16", "0.0.0.0/0", "192.168.1.7/32", "172.16.0.0/12"};
  for (int i = 0; i < 5; ++i) a.insert(net(nets[i]), i);
  for (int i = 4; i >= 0; --i) b.insert(net(nets[i]), i);
  std::vector<std::string> seen;
  for (const auto& e : a) seen.push_back(e.net.to_string() + "=" + std::to_string(e.value));
  EXPECT_EQ(seen, (std::vector<std::string>{"10.0.0.0/8=0", "10.1.0.0/16=1", "0.0.0.0/0=2",
                                            "192.168.1.7/32=3", "172.16.0.0/12=4"}));
  EXPECT_EQ(a, b);
  b.insert(net("10.1.0.0/16"), 99);
  EXPECT_NE(a, b);
}

TEST(IpnetTrieTest, TwoLevelInnerMissIsFinal) {
  TwoLevelTrie<int> trie;
  IpnetTrie<int> wide;
  wide.insert(net("10.9.0.0/16"), 1);
  IpnetTrie<int> narrow;
  narrow.insert(net("10.7.0.0/16"), 2);
  trie.insert(net("10.0.0.0/8"), wide);
  trie.insert(net("10.1.0.0/16"), narrow);

  // 10.1.2.3 matches the /16 outer key, whose inner trie lacks the source:
  // the /8 that would hold it is not tried.
  EXPECT_EQ(lookup_route(trie, ip("10.1.2.3"), ip("10.9.0.1")), nullptr);
  ASSERT_NE(lookup_route(trie, ip("10.1.2.3"), ip("10.7.0.1")), nullptr);
  EXPECT_EQ(*lookup_route(trie, ip("10.1.2.3"), ip("10.7.0.1")), 2);
  EXPECT_EQ(*lookup_route(trie, ip("10.2.0.1"), ip("10.9.0.1")), 1);
  EXPECT_EQ(lookup_route(trie, ip("11.0.0.1"), ip("10.9.0.1")), nullptr);
}

// Reference: a list of entries with the same replacement rule, searched whole.
template <class T>
struct BruteTrie {
  struct Entry {
    Ipv4Net net;
    T value;
  };
  std::vector<Entry> entries;

  void insert(const Ipv4Net& n, T v) {
    for (auto& e : entries) {
      if (e.net.trunc() == n.trunc()) {
        e = Entry{n, std::move(v)};
        return;
      }
    }
    entries.push_back(Entry{n, std::move(v)});
  }
  const Entry* longest_match(Ipv4Addr a) const {
    const Entry* best = nullptr;
    for (const auto& e : entries) {
      if (e.net.contains(a) && (best == nullptr || e.net.prefix_len() > best->net.prefix_len())) best = &e;
    }
    return best;
  }
};

Ipv4Net random_net(std::mt19937& rng) {
  // Mostly inside 10.0.0.0/16 so that prefixes nest and collide often.
  std::uint32_t addr = (rng() % 8 == 0) ? static_cast<std::uint32_t>(rng()) : (0x0A000000u | (rng() & 0xFFFFu));
  const auto len = static_cast<std::uint8_t>(rng() % 33);
  return Ipv4Net(Ipv4Addr(addr), len);
}

Ipv4Addr random_addr(std::mt19937& rng) {
  return Ipv4Addr((rng() % 8 == 0) ? static_cast<std::uint32_t>(rng()) : (0x0A000000u | (rng() & 0xFFFFu)));
}

TEST(IpnetTrieTest, AgreesWithBruteForceOnRandomSets) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    IpnetTrie<int> trie;
    BruteTrie<int> brute;
    const int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
      const Ipv4Net nw = random_net(rng);
      trie.insert(nw, i);
      brute.insert(nw, i);
    }
    ASSERT_EQ(trie.size(), brute.entries.size());
    for (const auto& e : brute.entries) {
      const auto* t = trie.exact(e.net);
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(t->net, e.net);
      EXPECT_EQ(t->value, e.value);
    }
    for (int q = 0; q < 500; ++q) {
      const Ipv4Addr a = random_addr(rng);
      const auto* want = brute.longest_match(a);
      const auto* got = trie.longest_match(a);
      ASSERT_EQ(got != nullptr, want != nullptr) << "round " << round << " addr " << a.to_string();
      if (want) {
        EXPECT_EQ(got->net, want->net) << a.to_string();
        EXPECT_EQ(got->value, want->value) << a.to_string();
      }
    }
  }
}

// A random access-rule list; its tries must answer every (first, second)
// pair as a whole search over the allowing rules does.
TEST(RoutingTriesTest, AgreeWithBruteForceOverAllowingRules) {
  std::mt19937 rng(77);
  for (int round = 0; round < 60; ++round) {
    EffectiveAccessRuleList list;
    const int n = static_cast<int>(rng() % 400);
    for (int i = 0; i < n; ++i) {
      // Without host bits: equal prefixes then mean equal rule keys.
      EffectiveAccessRule r{rng() % 2 ? Direction::OUT : Direction::IN, random_net(rng).trunc(),
                            random_net(rng).trunc(), pk(i), rng() % 4 ? Action::Allow : Action::Deny};
      list.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
    }
    const auto [tx, rx] = list.routing_tries();

    // outer_of(rule) and inner_of(rule) pick the rule's networks for the trie.
    const auto brute = [&](Direction dir, bool outer_is_dest, Ipv4Addr first,
                           Ipv4Addr second) -> std::optional<p2p::PubKey> {
      std::optional<Ipv4Net> outer;
      for (const auto& [k, r] : list.rules) {
        if (r.direction != dir || r.action != Action::Allow) continue;
        const Ipv4Net& o = outer_is_dest ? r.dest : r.source;
        if (o.contains(first) && (!outer || o.prefix_len() > outer->prefix_len())) outer = o;
      }
      if (!outer) return std::nullopt;
      std::optional<Ipv4Net> inner;
      std::optional<p2p::PubKey> key;
      for (const auto& [k, r] : list.rules) {
        if (r.direction != dir || r.action != Action::Allow) continue;
        if ((outer_is_dest ? r.dest : r.source) != *outer) continue;
        const Ipv4Net& i = outer_is_dest ? r.source : r.dest;
        if (i.contains(second) && (!inner || i.prefix_len() > inner->prefix_len())) {
          inner = i;
          key = r.pk;
        }
      }
      return key;
    };

    for (int q = 0; q < 400; ++q) {
      const Ipv4Addr a = random_addr(rng);
      const Ipv4Addr b = random_addr(rng);
      const auto want_tx = brute(Direction::OUT, true, a, b);
      const p2p::PubKey* got_tx = lookup_route(tx, a, b);
      ASSERT_EQ(got_tx != nullptr, want_tx.has_value()) << a.to_string() << " " << b.to_string();
      if (got_tx) {
        EXPECT_EQ(*got_tx, *want_tx);
      }
      const auto want_rx = brute(Direction::IN, false, a, b);
      const p2p::PubKey* got_rx = lookup_route(rx, a, b);
      ASSERT_EQ(got_rx != nullptr, want_rx.has_value()) << a.to_string() << " " << b.to_string();
      if (got_rx) {
        EXPECT_EQ(*got_rx, *want_rx);
      }
    }
  }
}

TEST(IpnetTrieTest, LookupAllocatesNothing) {
  std::mt19937 rng(5);
  TwoLevelTrie<p2p::PubKey> trie;
  for (int i = 0; i < 2000; ++i) {
    IpnetTrie<p2p::PubKey> inner;
    for (int j = 0; j < 3; ++j) inner.insert(random_net(rng), pk(j));
    trie.insert(random_net(rng), std::move(inner));
  }
  std::vector<Ipv4Addr> addrs;
  for (int i = 0; i < 4096; ++i) addrs.push_back(random_addr(rng));

  std::size_t hits = 0;
  g_allocations = 0;
  g_count_allocations = true;
  for (std::size_t i = 0; i + 1 < addrs.size(); ++i) {
    if (lookup_route(trie, addrs[i], addrs[i + 1]) != nullptr) ++hits;
    if (trie.longest_match(addrs[i]) != nullptr) ++hits;
  }
  g_count_allocations = false;
  EXPECT_EQ(g_allocations, 0u);
  EXPECT_GT(hits, 0u);

  // The counter does see allocations, so the zero above means something.
  g_count_allocations = true;
  IpnetTrie<int> grows;
  grows.insert(net("10.0.0.0/8"), 1);
  g_count_allocations = false;
  EXPECT_GT(g_allocations, 0u);
}

// --- the TX and RX tries of one access-rule list --------------------------------

EffectiveAccessRuleList rule_list(std::initializer_list<EffectiveAccessRule> rules) {
  EffectiveAccessRuleList list;
  for (const auto& r : rules) list.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
  return list;
}

TEST(RoutingTriesTest, DenyRulesGiveNoEntries) {
  const auto empty = EffectiveAccessRuleList{}.routing_tries();
  EXPECT_TRUE(empty.tx.empty());
  EXPECT_TRUE(empty.rx.empty());

  const auto deny = rule_list({
                                  {Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), pk(2), Action::Deny},
                                  {Direction::IN, net("10.0.0.2/32"), net("10.0.0.1/32"), pk(2), Action::Deny},
                              })
                        .routing_tries();
  EXPECT_TRUE(deny.tx.empty());
  EXPECT_TRUE(deny.rx.empty());
}

TEST(RoutingTriesTest, OutRuleGoesToTxByDestinationThenSource) {
  const auto [tx, rx] =
      rule_list({{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), pk(7), Action::Allow}}).routing_tries();
  EXPECT_TRUE(rx.empty());
  ASSERT_EQ(tx.size(), 1u);
  const auto& outer = *tx.begin();
  EXPECT_EQ(outer.net, net("10.0.0.2/32"));
  ASSERT_EQ(outer.value.size(), 1u);
  EXPECT_EQ(outer.value.begin()->net, net("10.0.0.1/32"));
  EXPECT_EQ(outer.value.begin()->value, pk(7));
  EXPECT_EQ(*lookup_route(tx, ip("10.0.0.2"), ip("10.0.0.1")), pk(7));
  EXPECT_EQ(lookup_route(tx, ip("10.0.0.1"), ip("10.0.0.2")), nullptr);
}

TEST(RoutingTriesTest, InRuleGoesToRxBySourceThenDestination) {
  const auto [tx, rx] =
      rule_list({{Direction::IN, net("192.168.5.0/24"), net("10.0.0.1/32"), pk(9), Action::Allow}}).routing_tries();
  EXPECT_TRUE(tx.empty());
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_EQ(rx.begin()->net, net("192.168.5.0/24"));
  EXPECT_EQ(rx.begin()->value.begin()->net, net("10.0.0.1/32"));
  EXPECT_EQ(*lookup_route(rx, ip("192.168.5.77"), ip("10.0.0.1")), pk(9));
  EXPECT_EQ(lookup_route(rx, ip("192.168.6.1"), ip("10.0.0.1")), nullptr);
}

TEST(RoutingTriesTest, RulesWithOneDestinationShareAnInnerTrie) {
  const auto tries = rule_list({
                                   {Direction::OUT, net("10.0.0.1/32"), net("10.0.0.9/32"), pk(1), Action::Allow},
                                   {Direction::OUT, net("10.5.0.0/16"), net("10.0.0.9/32"), pk(2), Action::Allow},
                                   {Direction::OUT, net("10.6.0.0/16"), net("10.0.0.9/32"), pk(3), Action::Deny},
                                   {Direction::OUT, net("10.0.0.1/32"), net("10.0.0.8/32"), pk(4), Action::Allow},
                               })
                         .routing_tries();
  ASSERT_EQ(tries.tx.size(), 2u);
  const auto* shared = tries.tx.exact(net("10.0.0.9/32"));
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->value.size(), 2u);
  EXPECT_EQ(*lookup_route(tries.tx, ip("10.0.0.9"), ip("10.5.1.1")), pk(2));
  EXPECT_EQ(lookup_route(tries.tx, ip("10.0.0.9"), ip("10.6.1.1")), nullptr);
}

TEST(RoutingTriesTest, ResultDoesNotDependOnListOrder) {
  std::vector<EffectiveAccessRule> rules;
  for (int i = 0; i < 40; ++i) {
    const Ipv4Net me = net("10.0.0.1/32");
    const Ipv4Net peer(Ipv4Addr(10, 0, 0, static_cast<std::uint8_t>(i + 2)), 32);
    const Action a = i % 3 ? Action::Allow : Action::Deny;
    rules.push_back({Direction::OUT, me, peer, pk(i), a});
    rules.push_back({Direction::IN, peer, me, pk(i), a});
    rules.push_back({Direction::OUT, Ipv4Net(Ipv4Addr(10, 1, static_cast<std::uint8_t>(i), 0), 24), peer, pk(i), a});
  }
  EffectiveAccessRuleList forward;
  EffectiveAccessRuleList backward;
  backward.rules.reserve(1000);  // another bucket count, another visiting order
  for (const auto& r : rules) forward.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
  for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
    backward.rules.insert_or_assign({it->direction, it->source, it->dest}, *it);
  }
  const auto a = forward.routing_tries();
  const auto b = backward.routing_tries();
  EXPECT_EQ(a.tx, b.tx);
  EXPECT_EQ(a.rx, b.rx);
  EXPECT_FALSE(a.tx.empty());
}

}  // namespace
}  // namespace velarix::network
