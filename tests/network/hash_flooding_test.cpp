// A network document's author chooses its networks and keys; chosen to
// collide under an unkeyed hash, they must still spread over the maps.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "network/config/access_rules.h"
#include "network/config/network_config.h"
#include "network/config_test_support.h"

namespace velarix::network {
namespace {

template <class Map>
std::size_t largest_bucket(const Map& m) {
  std::size_t largest = 0;
  for (std::size_t i = 0; i < m.bucket_count(); ++i) largest = std::max(largest, m.bucket_size(i));
  return largest;
}

TEST(HashFlooding, CraftedRouteDestinationsDoNotShareABucket) {
  // The unkeyed hash of a network was (address << 8 | prefix length) itself,
  // so destinations whose value is a multiple of the bucket count all met in
  // bucket 0 of the route map the reader fills.
  constexpr std::size_t kRoutes = 4000;
  RouteMap probe;
  probe.reserve(kRoutes);
  const std::uint64_t buckets = probe.bucket_count();
  std::string doc = fmt::format("network = \"10.0.0.0/24\"\n[[node]]\npk = \"{}\"\nip = \"10.0.0.1\"\nhostname = \"gw\"\n",
                                testing::key_text(1));
  std::size_t made = 0;
  for (std::uint64_t addr = 0x0B000000; made < kRoutes; ++addr) {  // from 11.0.0.0 up
    if (((addr << 8) | 32) % buckets != 0) continue;
    doc += fmt::format("[[route]]\ndest = \"{}.{}.{}.{}/32\"\ngw = \"{}\"\n", addr >> 24, (addr >> 16) & 0xFF,
                       (addr >> 8) & 0xFF, addr & 0xFF, testing::key_text(1));
    ++made;
  }
  auto cfg = NetworkConfig::try_from(doc);
  ASSERT_TRUE(cfg) << cfg.error().message().substr(0, 300);
  ASSERT_EQ(cfg->route.size(), kRoutes);
  EXPECT_LT(largest_bucket(cfg->route), 16u);
}

TEST(HashFlooding, CraftedAccessRuleKeysDoNotShareABucket) {
  // The unkeyed hash the access-rule keys had.
  auto old_hash = [](const EffectiveAccessRuleListEntryKey& k) {
    const std::uint64_t src = (std::uint64_t{k.source.addr().to_uint()} << 8) | k.source.prefix_len();
    const std::uint64_t dst = (std::uint64_t{k.dest.addr().to_uint()} << 8) | k.dest.prefix_len();
    std::uint64_t h = src * 0x9e3779b97f4a7c15ULL;
    h ^= dst + 0x632be59bd9b4e019ULL + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(k.direction) + 0x85ebca6b + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
  };
  constexpr std::size_t kKeys = 2000;
  std::unordered_set<EffectiveAccessRuleListEntryKey> set;
  set.reserve(kKeys);
  const std::size_t buckets = set.bucket_count();
  std::mt19937 rng(5);
  const Ipv4Net source(Ipv4Addr(10, 0, 0, 1), 32);
  std::unordered_set<std::uint32_t> seen;
  while (set.size() < kKeys) {
    const EffectiveAccessRuleListEntryKey k{Direction::OUT, source, Ipv4Net(Ipv4Addr(rng()), 32)};
    if (old_hash(k) % buckets == 0 && seen.insert(k.dest.addr().to_uint()).second) set.insert(k);
  }
  ASSERT_EQ(set.bucket_count(), buckets);
  EXPECT_LT(largest_bucket(set), 16u);
}

}  // namespace
}  // namespace velarix::network
