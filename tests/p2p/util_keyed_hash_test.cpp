// Keyed hashes: the SipHash implementation, and public keys that an unkeyed
// hash would pile into one bucket.

#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <unordered_set>
#include <vector>

#include "identity/identity.h"
#include "util/keyed_hash.h"

using velarix::p2p::PubKey;
using velarix::p2p::util::HashKey;
using velarix::p2p::util::siphash;

TEST(KeyedHash, SipHash24MatchesAnIndependentImplementation) {
  ASSERT_GE(sodium_init(), 0);
  std::mt19937_64 rng(7);
  unsigned char key_bytes[crypto_shorthash_siphash24_KEYBYTES];
  std::vector<unsigned char> data(100);
  for (int round = 0; round < 50; ++round) {
    for (auto& b : key_bytes) b = static_cast<unsigned char>(rng());
    HashKey key{};
    for (int i = 0; i < 8; ++i) {
      key[0] |= std::uint64_t{key_bytes[i]} << (8 * i);
      key[1] |= std::uint64_t{key_bytes[8 + i]} << (8 * i);
    }
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    // Every length up to a few blocks, so each tail length is covered.
    for (std::size_t len = 0; len <= data.size(); len += (len < 24 ? 1 : 13)) {
      unsigned char out[crypto_shorthash_siphash24_BYTES];
      crypto_shorthash_siphash24(out, data.data(), len, key_bytes);
      std::uint64_t want = 0;
      for (int i = 0; i < 8; ++i) want |= std::uint64_t{out[i]} << (8 * i);
      ASSERT_EQ((siphash<2, 4>(key, data.data(), len)), want) << "length " << len;
    }
  }
}

TEST(KeyedHash, PublicKeysChosenToCollideSpreadOut) {
  // The unkeyed hash public keys had: 64-bit FNV-1a over the 32 bytes.
  auto old_hash = [](const PubKey& k) {
    std::uint64_t h = 1469598103934665603ull;
    for (auto b : k.bytes()) h = (h ^ b) * 1099511628211ull;
    return h;
  };
  constexpr std::size_t kKeys = 500;
  std::unordered_set<PubKey> set;
  set.reserve(kKeys);
  const std::size_t buckets = set.bucket_count();
  // Keys that all land in bucket 0 of such a set under the old hash.
  std::mt19937_64 rng(11);
  std::vector<PubKey> crafted;
  while (crafted.size() < kKeys) {
    PubKey::Bytes b;
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    const PubKey k(b);
    if (old_hash(k) % buckets == 0) crafted.push_back(k);
  }
  for (const auto& k : crafted) set.insert(k);
  ASSERT_EQ(set.bucket_count(), buckets);
  std::size_t largest = 0;
  for (std::size_t i = 0; i < set.bucket_count(); ++i) largest = std::max(largest, set.bucket_size(i));
  EXPECT_LT(largest, 16u) << "crafted keys share a bucket";
}
