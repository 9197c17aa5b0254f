#pragma once
// CowMap<K, V>: a map whose readers never wait on its writers, and whose writers change one
// entry at a time.
//
// - Lookups (`find` inside a read section, util/rcu.h) take no lock and touch no reference
//   count: the table is a bucket array of singly linked entries that writers change in place
//   with atomic stores, and whatever a writer unlinks is destroyed only once no section can
//   still see it. This suits the node's maps: looked up on every packet, changed when a peer or
//   path comes or goes.
// - Writers are serialised by a mutex. Inserting or removing an entry is O(1): a new entry goes
//   to the head of its bucket, a removed one is unlinked. When the entries outnumber the
//   buckets, a table twice the size is built beside the old one (with copies of the entries,
//   so that a reader still walking the old table never strays into the new one) and published
//   whole: O(1) amortised per insertion.
// - `snapshot()` is the whole map at one moment, as an immutable std::unordered_map that the
//   caller may keep and walk (housekeeping, status). It is built on demand, O(n), and kept
//   until the next change, so repeated walks between changes cost nothing.
// - Values are replaced, never changed in place: a value read by a section stays as it was.
//   Values should be cheap to copy (shared_ptr). All members are thread-safe.

#include <atomic>
#include <bit>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/rcu.h"

namespace velarix::p2p {

template <class K, class V, class Hash = std::hash<K>, class Eq = std::equal_to<K>>
class CowMap {
 public:
  using Map = std::unordered_map<K, V, Hash, Eq>;
  using Ptr = std::shared_ptr<const Map>;

  explicit CowMap(std::size_t capacity = 0, Hash hash = Hash())
      : hash_(std::move(hash)), table_(new Table(std::bit_ceil(std::max<std::size_t>(capacity, kMinBuckets)))) {}
  ~CowMap() { destroy_table(table_.load(std::memory_order_relaxed)); }
  CowMap(const CowMap&) = delete;
  CowMap& operator=(const CowMap&) = delete;

  // The value under `key`, valid until `guard` ends; null when absent.
  const V* find(const K& key, const util::rcu::ReadGuard&) const noexcept {
    const Node* n = find_in(table_.load(std::memory_order_seq_cst), hash_(key), key);
    return n != nullptr ? &n->value : nullptr;
  }

  std::optional<V> get(const K& key) const {
    util::rcu::ReadGuard guard;
    if (const V* v = find(key, guard)) return *v;
    return std::nullopt;
  }
  bool contains(const K& key) const {
    util::rcu::ReadGuard guard;
    return find(key, guard) != nullptr;
  }
  std::size_t size() const noexcept { return size_.load(std::memory_order_acquire); }
  bool empty() const noexcept { return size() == 0; }

  // The whole map as it is now; it does not change while the caller holds it.
  Ptr snapshot() const {
    std::lock_guard lock(write_);
    if (!snapshot_) {
      auto map = std::make_shared<Map>(0, hash_);
      const Table* t = table_.load(std::memory_order_relaxed);
      map->reserve(size_.load(std::memory_order_relaxed));
      for_each_node(t, [&](const Node& n) { map->emplace(n.key, n.value); });
      snapshot_ = std::move(map);
    }
    return snapshot_;
  }

  // Inserts when absent; returns the value in the map and whether this call put it there.
  std::pair<V, bool> insert_if_absent(const K& key, V value) {
    auto r = insert_if_absent_admitted(key, std::move(value), [](std::size_t) { return true; });
    return std::move(*r);
  }

  // Inserts when absent and `admit(size before)` holds; std::nullopt when refused.
  template <class Admit>
  std::optional<std::pair<V, bool>> insert_if_absent_admitted(const K& key, V value, Admit admit) {
    Garbage garbage;
    std::optional<std::pair<V, bool>> out;
    {
      std::lock_guard lock(write_);
      const std::size_t h = hash_(key);
      if (const Node* n = find_in(table_.load(std::memory_order_relaxed), h, key)) {
        out.emplace(n->value, false);
      } else if (admit(size_.load(std::memory_order_relaxed))) {
        Node* n = new Node{key, std::move(value), h};
        out.emplace(n->value, true);
        link_new(n, garbage);
      }
    }
    return out;
  }

  void insert_or_assign(const K& key, V value) {
    Garbage garbage;
    std::lock_guard lock(write_);
    const std::size_t h = hash_(key);
    Node* n = new Node{key, std::move(value), h};
    if (auto* at = position_of(table_.load(std::memory_order_relaxed), h, key)) {
      // The new entry takes the old one's place in the chain in one store.
      Node* old = at->load(std::memory_order_relaxed);
      n->next.store(old->next.load(std::memory_order_relaxed), std::memory_order_relaxed);
      at->store(n, std::memory_order_seq_cst);
      garbage.nodes.push_back(old);
      changed(garbage);
    } else {
      link_new(n, garbage);
    }
  }

  std::optional<V> erase(const K& key) {
    return erase_if_key(key, [](const V&) { return true; });
  }

  // Removes the entry under `key` when pred(value) holds; returns the value removed.
  template <class Pred>
  std::optional<V> erase_if_key(const K& key, Pred pred) {
    Garbage garbage;
    std::lock_guard lock(write_);
    auto* at = position_of(table_.load(std::memory_order_relaxed), hash_(key), key);
    if (at == nullptr) return std::nullopt;
    Node* n = at->load(std::memory_order_relaxed);
    if (!pred(std::as_const(n->value))) return std::nullopt;
    std::optional<V> old(n->value);
    unlink(at, n, garbage);
    return old;
  }

  // Removes the entries for which pred(key, value) holds; returns how many. O(n).
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    Garbage garbage;
    std::lock_guard lock(write_);
    Table* t = table_.load(std::memory_order_relaxed);
    std::size_t n = 0;
    for (std::size_t b = 0; b <= t->mask; ++b) {
      std::atomic<Node*>* at = &t->buckets[b];
      while (Node* node = at->load(std::memory_order_relaxed)) {
        if (pred(std::as_const(node->key), std::as_const(node->value))) {
          unlink(at, node, garbage);
          ++n;
        } else {
          at = &node->next;
        }
      }
    }
    return n;
  }

  void clear() {
    Garbage garbage;
    std::lock_guard lock(write_);
    Table* t = table_.load(std::memory_order_relaxed);
    if (size_.load(std::memory_order_relaxed) == 0) return;
    table_.store(new Table(kMinBuckets), std::memory_order_seq_cst);
    size_.store(0, std::memory_order_release);
    garbage.table = t;
    changed(garbage);
  }

 private:
  static constexpr std::size_t kMinBuckets = 8;

  struct Node {
    K key;
    V value;
    std::size_t hash;
    std::atomic<Node*> next{nullptr};
  };
  struct Table {
    explicit Table(std::size_t n) : mask(n - 1), buckets(new std::atomic<Node*>[n]) {
      for (std::size_t i = 0; i < n; ++i) buckets[i].store(nullptr, std::memory_order_relaxed);
    }
    std::size_t mask;
    std::unique_ptr<std::atomic<Node*>[]> buckets;
  };

  // What a write unpublished; handed to the reclamation once the write lock is released (its
  // destruction may run destructors that use this map).
  struct Garbage {
    std::vector<Node*> nodes;
    Table* table = nullptr;  // with all its entries
    Ptr snapshot;            // the last snapshot, which no longer shows the map
    Garbage() = default;
    Garbage(const Garbage&) = delete;
    Garbage& operator=(const Garbage&) = delete;
    ~Garbage() {
      for (Node* n : nodes) util::rcu::retire_delete(n);
      if (table != nullptr) util::rcu::retire(table, [](void* t) { destroy_table(static_cast<Table*>(t)); });
    }
  };

  template <class F>
  static void for_each_node(const Table* t, F f) {
    for (std::size_t b = 0; b <= t->mask; ++b) {
      for (const Node* n = t->buckets[b].load(std::memory_order_seq_cst); n != nullptr;
           n = n->next.load(std::memory_order_seq_cst)) {
        f(*n);
      }
    }
  }

  static void destroy_table(Table* t) {
    for (std::size_t b = 0; b <= t->mask; ++b) {
      Node* n = t->buckets[b].load(std::memory_order_relaxed);
      while (n != nullptr) {
        Node* next = n->next.load(std::memory_order_relaxed);
        delete n;
        n = next;
      }
    }
    delete t;
  }

  const Node* find_in(const Table* t, std::size_t h, const K& key) const noexcept {
    for (const Node* n = t->buckets[h & t->mask].load(std::memory_order_seq_cst); n != nullptr;
         n = n->next.load(std::memory_order_seq_cst)) {
      if (n->hash == h && eq_(n->key, key)) return n;
    }
    return nullptr;
  }

  // Writers only: the link that points at the entry under `key`, or null.
  std::atomic<Node*>* position_of(Table* t, std::size_t h, const K& key) const noexcept {
    std::atomic<Node*>* at = &t->buckets[h & t->mask];
    for (Node* n = at->load(std::memory_order_relaxed); n != nullptr; n = at->load(std::memory_order_relaxed)) {
      if (n->hash == h && eq_(n->key, key)) return at;
      at = &n->next;
    }
    return nullptr;
  }

  // Writers only: adds `n` (absent), growing the table first when it is full.
  void link_new(Node* n, Garbage& garbage) {
    Table* t = table_.load(std::memory_order_relaxed);
    const std::size_t count = size_.load(std::memory_order_relaxed) + 1;
    if (count > t->mask + 1) {
      auto* bigger = new Table((t->mask + 1) * 2);
      for_each_node(t, [&](const Node& old) { push_front(bigger, new Node{old.key, old.value, old.hash}); });
      push_front(bigger, n);
      table_.store(bigger, std::memory_order_seq_cst);
      garbage.table = t;
    } else {
      push_front(t, n);
    }
    size_.store(count, std::memory_order_release);
    changed(garbage);
  }

  static void push_front(Table* t, Node* n) {
    auto& head = t->buckets[n->hash & t->mask];
    n->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
    head.store(n, std::memory_order_seq_cst);
  }

  void unlink(std::atomic<Node*>* at, Node* n, Garbage& garbage) {
    // A reader standing on `n` still finds its way on: `n` keeps its link until it is destroyed.
    at->store(n->next.load(std::memory_order_relaxed), std::memory_order_seq_cst);
    size_.fetch_sub(1, std::memory_order_release);
    garbage.nodes.push_back(n);
    changed(garbage);
  }

  // Under the write lock: the last snapshot no longer shows the map.
  void changed(Garbage& garbage) { garbage.snapshot = std::move(snapshot_); }

  Hash hash_;
  [[no_unique_address]] Eq eq_;
  std::atomic<Table*> table_;
  std::atomic<std::size_t> size_{0};
  mutable std::mutex write_;
  mutable Ptr snapshot_;  // guarded by write_
};

}  // namespace velarix::p2p
