#pragma once
// ConcurrentMap<K, V, Hash>: a hash map that many tasks read and update at once.
//
// - Sharded: a key's shard is chosen by its (mixed) hash; each shard is a std::unordered_map
//   under its own mutex. A shard's mutex is held only inside one call and never while user code
//   runs (except `Hash`, `K`/`V` copies and the `erase_if` predicate, which must not call back
//   into the map). The API takes no awaitables, so no lock is ever held across a co_await.
// - Values are returned by copy: make V cheap to copy (typically a shared_ptr) to keep using
//   an entry after the call.
// - Each call is atomic for its key. `size()` is exact when no update runs concurrently.
//   `for_each` visits, shard by shard, a copy of each shard taken under that shard's lock, with
//   no lock held while the visitor runs: the visitor may call back into the map, and sees each
//   shard as it was at one moment (not the whole map at one moment).
// - All members are thread-safe.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velarix::p2p::util {

template <class K, class V, class Hash = std::hash<K>, class KeyEqual = std::equal_to<K>>
class ConcurrentMap {
 public:
  // `shards` is rounded up to a power of two; 0 chooses 4 per hardware thread (at least 16).
  // `capacity` entries are reserved ahead, spread over the shards.
  explicit ConcurrentMap(std::size_t capacity = 0, std::size_t shards = 0, Hash hash = Hash())
      : hash_(std::move(hash)) {
    if (shards == 0) shards = std::max<std::size_t>(16, 4 * std::thread::hardware_concurrency());
    shards = std::bit_ceil(shards);
    shard_bits_ = static_cast<unsigned>(std::countr_zero(shards));
    shards_ = std::make_unique<Shard[]>(shards);
    shard_count_ = shards;
    for (std::size_t i = 0; i < shards; ++i) {
      shards_[i].map = Map(0, hash_);
      if (capacity > 0) shards_[i].map.reserve(capacity / shards + 1);
    }
  }
  ConcurrentMap(const ConcurrentMap&) = delete;
  ConcurrentMap& operator=(const ConcurrentMap&) = delete;

  std::optional<V> get(const K& key) const {
    auto& s = shard(key);
    std::lock_guard lock(s.mutex);
    auto it = s.map.find(key);
    if (it == s.map.end()) return std::nullopt;
    return it->second;
  }

  bool contains(const K& key) const {
    auto& s = shard(key);
    std::lock_guard lock(s.mutex);
    return s.map.contains(key);
  }

  // Inserts when the key is absent. Returns the value now in the map and whether it was
  // inserted by this call.
  std::pair<V, bool> insert_if_absent(const K& key, V value) {
    auto& s = shard(key);
    std::lock_guard lock(s.mutex);
    auto [it, inserted] = s.map.try_emplace(key, std::move(value));
    if (inserted) size_.fetch_add(1, std::memory_order_relaxed);
    return {it->second, inserted};
  }

  // Inserts or replaces. Returns the value replaced, if any.
  std::optional<V> insert_or_assign(const K& key, V value) {
    auto& s = shard(key);
    std::optional<V> old;
    std::lock_guard lock(s.mutex);
    auto [it, inserted] = s.map.try_emplace(key, std::move(value));
    if (inserted) {
      size_.fetch_add(1, std::memory_order_relaxed);
    } else {
      old.emplace(std::exchange(it->second, std::move(value)));
    }
    return old;
  }

  // Removes the key. Returns the value removed, if any.
  std::optional<V> erase(const K& key) {
    auto& s = shard(key);
    std::optional<V> old;
    std::lock_guard lock(s.mutex);
    auto it = s.map.find(key);
    if (it == s.map.end()) return old;
    old.emplace(std::move(it->second));
    s.map.erase(it);
    size_.fetch_sub(1, std::memory_order_relaxed);
    return old;
  }

  // Removes every entry for which pred(key, value) holds, shard by shard. `pred` runs under a
  // shard's lock: it must not call into the map. Returns the number removed.
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    std::size_t removed = 0;
    for (std::size_t i = 0; i < shard_count_; ++i) {
      std::vector<V> dropped;  // destroyed after the lock
      std::lock_guard lock(shards_[i].mutex);
      auto& map = shards_[i].map;
      for (auto it = map.begin(); it != map.end();) {
        if (pred(std::as_const(it->first), std::as_const(it->second))) {
          dropped.push_back(std::move(it->second));
          it = map.erase(it);
        } else {
          ++it;
        }
      }
      removed += dropped.size();
      size_.fetch_sub(dropped.size(), std::memory_order_relaxed);
    }
    return removed;
  }

  // Calls visitor(key, value) for each entry of a per-shard copy; no lock is held meanwhile.
  template <class Visitor>
  void for_each(Visitor visitor) const {
    std::vector<std::pair<K, V>> entries;
    for (std::size_t i = 0; i < shard_count_; ++i) {
      entries.clear();
      {
        std::lock_guard lock(shards_[i].mutex);
        entries.assign(shards_[i].map.begin(), shards_[i].map.end());
      }
      for (const auto& [k, v] : entries) visitor(k, v);
    }
  }

  std::size_t size() const noexcept { return size_.load(std::memory_order_relaxed); }
  bool empty() const noexcept { return size() == 0; }

  void clear() {
    for (std::size_t i = 0; i < shard_count_; ++i) {
      Map dropped(0, hash_);  // destroyed after the lock
      std::lock_guard lock(shards_[i].mutex);
      dropped.swap(shards_[i].map);
      size_.fetch_sub(dropped.size(), std::memory_order_relaxed);
    }
  }

 private:
  using Map = std::unordered_map<K, V, Hash, KeyEqual>;
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    Map map;
  };

  // Fibonacci hashing of the key's hash: the shard takes the top bits, the shard's own table
  // the low ones, so they stay independent even for an identity hash.
  const Shard& shard(const K& key) const {
    const auto h = static_cast<std::uint64_t>(hash_(key)) * 0x9E3779B97F4A7C15ull;
    return shards_[shard_bits_ == 0 ? 0 : static_cast<std::size_t>(h >> (64 - shard_bits_))];
  }
  Shard& shard(const K& key) { return const_cast<Shard&>(std::as_const(*this).shard(key)); }

  Hash hash_;
  std::unique_ptr<Shard[]> shards_;
  std::size_t shard_count_ = 0;
  unsigned shard_bits_ = 0;
  std::atomic<std::size_t> size_{0};
};

}  // namespace velarix::p2p::util
