// Two-level TX lookups (destination, then source) on a trie built from
// 10,000 allowing rules, the per-packet cost of the outbound road.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "network/config/access_rules.h"
#include "network/config/trie.h"

namespace {

using velarix::network::Action;
using velarix::network::Direction;
using velarix::network::EffectiveAccessRule;
using velarix::network::EffectiveAccessRuleList;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;

velarix::p2p::PubKey key(std::uint32_t n) {
  velarix::p2p::PubKey::Bytes b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return velarix::p2p::PubKey(b);
}

// A network of 2,500 nodes in 10.0.0.0/16 and routes behind some of them:
// node-to-node rules (/32 to /32), routes out (/32 to /16../24) and routes
// through this node (/16../24 to /32), 10,000 OUT rules in all.
EffectiveAccessRuleList rules_10k(std::mt19937& rng) {
  EffectiveAccessRuleList list;
  const Ipv4Net me(Ipv4Addr(10, 0, 0, 1), 32);
  auto add = [&](Ipv4Net source, Ipv4Net dest, std::uint32_t k) {
    list.rules.insert_or_assign({Direction::OUT, source, dest},
                                EffectiveAccessRule{Direction::OUT, source, dest, key(k), Action::Allow});
  };
  std::uint32_t k = 0;
  while (list.size() < 10000) {
    const Ipv4Net node(Ipv4Addr(0x0A000000u | (rng() & 0xFFFFu)), 32);
    const auto len = static_cast<std::uint8_t>(16 + rng() % 9);
    const Ipv4Net routed = Ipv4Net(Ipv4Addr(0xAC000000u | (rng() & 0x00FFFFFFu)), len).trunc();
    switch (rng() % 3) {
      case 0: add(me, node, ++k); break;
      case 1: add(me, routed, ++k); break;
      default: add(routed, node, ++k); break;
    }
  }
  return list;
}

void BM_TxLookup(benchmark::State& state) {
  std::mt19937 rng(42);
  const auto list = rules_10k(rng);
  const auto tries = list.routing_tries();

  // Half the packets hit a rule, half go to addresses nothing covers.
  std::vector<std::pair<Ipv4Addr, Ipv4Addr>> packets;
  std::vector<const EffectiveAccessRule*> rules;
  for (const auto& [k, r] : list.rules) rules.push_back(&r);
  for (int i = 0; i < 4096; ++i) {
    const auto* r = rules[rng() % rules.size()];
    if (i % 2 == 0) {
      packets.emplace_back(Ipv4Addr(r->dest.network().to_uint() | (rng() & r->dest.hostmask().to_uint())),
                           Ipv4Addr(r->source.network().to_uint() | (rng() & r->source.hostmask().to_uint())));
    } else {
      packets.emplace_back(Ipv4Addr(static_cast<std::uint32_t>(rng())), Ipv4Addr(static_cast<std::uint32_t>(rng())));
    }
  }

  std::size_t i = 0;
  std::size_t hits = 0;
  for (auto _ : state) {
    const auto& [dst, src] = packets[i++ & 4095];
    const auto* peer = velarix::network::lookup_route(tries.tx, dst, src);
    hits += peer != nullptr;
    benchmark::DoNotOptimize(peer);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
  state.counters["outer_keys"] = static_cast<double>(tries.tx.size());
}
BENCHMARK(BM_TxLookup);

}  // namespace
