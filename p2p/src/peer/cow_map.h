#pragma once
// CowMap<K, V>: a map whose readers never wait on its writers.
//
// Readers load an immutable snapshot of the whole map (util::Snapshot: one
// reference-count increment) and look up or walk it without any lock. Writers
// are serialised by a mutex, copy the current map, change the copy and publish
// it. This suits the node's maps: looked up on every packet, changed when a
// peer or path comes or goes. Values should be cheap to copy (shared_ptr).

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "util/snapshot.h"

namespace velarix::p2p {

template <class K, class V, class Hash = std::hash<K>, class Eq = std::equal_to<K>>
class CowMap {
 public:
  using Map = std::unordered_map<K, V, Hash, Eq>;
  using Ptr = std::shared_ptr<const Map>;

  explicit CowMap(std::size_t capacity = 0, Hash hash = Hash()) : map_(make_empty(capacity, std::move(hash))) {}
  CowMap(const CowMap&) = delete;
  CowMap& operator=(const CowMap&) = delete;

  // The whole map as it is now; it does not change while the caller holds it.
  Ptr snapshot() const noexcept { return map_.load(); }

  std::optional<V> get(const K& key) const {
    const auto m = map_.load();
    auto it = m->find(key);
    if (it == m->end()) return std::nullopt;
    return it->second;
  }
  bool contains(const K& key) const { return map_.load()->contains(key); }
  std::size_t size() const noexcept { return map_.load()->size(); }
  bool empty() const noexcept { return size() == 0; }

  // Inserts when absent; returns the value in the map and whether this call put it there.
  std::pair<V, bool> insert_if_absent(const K& key, V value) {
    std::lock_guard lock(write_);
    auto cur = map_.load();
    if (auto it = cur->find(key); it != cur->end()) return {it->second, false};
    auto next = std::make_shared<Map>(*cur);
    auto [it, inserted] = next->emplace(key, std::move(value));
    V out = it->second;
    map_.store(Ptr(std::move(next)));
    return {std::move(out), true};
  }

  // Inserts when absent and `admit(size before)` holds; std::nullopt when refused.
  template <class Admit>
  std::optional<std::pair<V, bool>> insert_if_absent_admitted(const K& key, V value, Admit admit) {
    std::lock_guard lock(write_);
    auto cur = map_.load();
    if (auto it = cur->find(key); it != cur->end()) return std::pair<V, bool>{it->second, false};
    if (!admit(cur->size())) return std::nullopt;
    auto next = std::make_shared<Map>(*cur);
    auto [it, inserted] = next->emplace(key, std::move(value));
    V out = it->second;
    map_.store(Ptr(std::move(next)));
    return std::pair<V, bool>{std::move(out), true};
  }

  void insert_or_assign(const K& key, V value) {
    std::lock_guard lock(write_);
    auto next = std::make_shared<Map>(*map_.load());
    next->insert_or_assign(key, std::move(value));
    map_.store(Ptr(std::move(next)));
  }

  std::optional<V> erase(const K& key) {
    std::lock_guard lock(write_);
    auto cur = map_.load();
    auto it = cur->find(key);
    if (it == cur->end()) return std::nullopt;
    V old = it->second;
    auto next = std::make_shared<Map>(*cur);
    next->erase(key);
    map_.store(Ptr(std::move(next)));
    return old;
  }

  // Removes the entries for which pred(key, value) holds; returns how many.
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    std::lock_guard lock(write_);
    auto cur = map_.load();
    std::size_t n = 0;
    for (const auto& [k, v] : *cur) n += pred(k, v) ? 1 : 0;
    if (n == 0) return 0;
    auto next = std::make_shared<Map>(*cur);
    std::erase_if(*next, [&](const auto& kv) { return pred(kv.first, kv.second); });
    map_.store(Ptr(std::move(next)));
    return n;
  }

  void clear() {
    std::lock_guard lock(write_);
    auto cur = map_.load();
    if (cur->empty()) return;
    map_.store(Ptr(std::make_shared<Map>(0, cur->hash_function())));
  }

 private:
  static Ptr make_empty(std::size_t capacity, Hash hash) {
    auto m = std::make_shared<Map>(0, std::move(hash));
    if (capacity > 0) m->reserve(capacity);
    return m;
  }

  util::Snapshot<Map> map_;
  std::mutex write_;
};

}  // namespace velarix::p2p
