#pragma once
// Longest-prefix-match tries over IPv4 networks, and the two-level tries the
// packet roads consult: first by one address of a packet, then by the other.
//
// A trie keeps one open-addressing hash table keyed by (network address,
// prefix length) and a bit set of the prefix lengths it holds. A lookup probes
// the table once per held length, longest first, so it costs at most 33
// probes, usually two or three. Lookups allocate nothing and take no lock; a
// trie that is no longer written can be read from any number of threads.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "network/config/ipv4_net.h"
#include "util/keyed_hash.h"

namespace velarix::network {

template <class T>
class IpnetTrie {
 public:
  struct Entry {
    Ipv4Net net;  // the network as it was inserted, host bits included
    T value;
  };
  using const_iterator = typename std::vector<Entry>::const_iterator;

  IpnetTrie() = default;

  // Puts `value` under `net`. Networks are compared with their host bits
  // cleared: inserting 10.1.0.5/16 where 10.1.0.0/16 is held replaces the value
  // and the stored network. Returns true when the prefix was new.
  bool insert(const Ipv4Net& net, T value) {
    const std::uint8_t len = net.prefix_len();
    const std::uint64_t key = slot_key(net.addr().to_uint() & mask(len), len);
    if (!slots_.empty()) {
      if (const std::uint32_t at = find(key); at != kNone) {
        entries_[at] = Entry{net, std::move(value)};
        return false;
      }
    }
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    entries_.push_back(Entry{net, std::move(value)});
    place(key, static_cast<std::uint32_t>(entries_.size() - 1));
    lengths_ |= std::uint64_t{1} << len;
    return true;
  }

  // The entry with the longest prefix that contains `addr`, or null.
  const Entry* longest_match(Ipv4Addr addr) const noexcept {
    const std::uint32_t a = addr.to_uint();
    std::uint64_t lengths = lengths_;
    while (lengths != 0) {
      const unsigned len = 63u - static_cast<unsigned>(std::countl_zero(lengths));
      lengths &= ~(std::uint64_t{1} << len);
      if (const std::uint32_t at = find(slot_key(a & mask(len), len)); at != kNone) return &entries_[at];
    }
    return nullptr;
  }

  // The value of the longest prefix that contains `addr`, or null.
  const T* lookup(Ipv4Addr addr) const noexcept {
    const Entry* e = longest_match(addr);
    return e != nullptr ? &e->value : nullptr;
  }

  // The entry held under `net` (host bits ignored), or null.
  const Entry* exact(const Ipv4Net& net) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::uint8_t len = net.prefix_len();
    const std::uint32_t at = find(slot_key(net.addr().to_uint() & mask(len), len));
    return at != kNone ? &entries_[at] : nullptr;
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Every entry, in insertion order of the prefixes.
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  // Same prefixes holding equal values and equal stored networks, whatever
  // the order they were inserted in.
  friend bool operator==(const IpnetTrie& a, const IpnetTrie& b) {
    if (a.size() != b.size()) return false;
    for (const Entry& e : a) {
      const Entry* other = b.exact(e.net);
      if (other == nullptr || !(other->net == e.net) || !(other->value == e.value)) return false;
    }
    return true;
  }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  struct Slot {
    std::uint64_t key = 0;  // 0: free
    std::uint32_t index = 0;
  };

  static constexpr std::uint32_t mask(unsigned len) noexcept {
    return len == 0 ? 0u : ~std::uint32_t{0} << (32 - len);
  }
  // Never 0, so 0 can mark a free slot.
  static constexpr std::uint64_t slot_key(std::uint32_t masked, unsigned len) noexcept {
    return ((std::uint64_t{len} + 1) << 32) | masked;
  }
  // Multiply-shift hashing: the top bits of the product index the table. The
  // multiplier is secret (drawn per process), so the networks of a document
  // cannot be chosen to fall into one run of slots.
  std::size_t hash(std::uint64_t k) const noexcept { return static_cast<std::size_t>((k * multiplier_) >> shift_); }

  // Only called with a non-empty table, which always has a free slot.
  std::uint32_t find(std::uint64_t key) const noexcept {
    const std::size_t m = slots_.size() - 1;
    for (std::size_t i = hash(key);; i = (i + 1) & m) {
      const Slot& s = slots_[i];
      if (s.key == key) return s.index;
      if (s.key == 0) return kNone;
    }
  }

  void place(std::uint64_t key, std::uint32_t index) noexcept {
    const std::size_t m = slots_.size() - 1;
    std::size_t i = hash(key);
    while (slots_[i].key != 0) i = (i + 1) & m;
    slots_[i] = Slot{key, index};
  }

  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 4 : slots_.size() * 2));
    shift_ = 64u - static_cast<unsigned>(std::countr_zero(slots_.size()));
    for (const Slot& s : old) {
      if (s.key != 0) place(s.key, s.index);
    }
  }

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;    // capacity a power of two, at most half full
  std::uint64_t lengths_ = 0;  // bit n set when some prefix has length n
  unsigned shift_ = 63;        // 64 - log2(table size)
  std::uint64_t multiplier_ = p2p::util::process_hash_multiplier();
};

// First level keyed by one address of a packet, second by the other.
template <class T>
using TwoLevelTrie = IpnetTrie<IpnetTrie<T>>;

// Longest match of `first` among the outer keys, then of `second` in that
// entry's inner trie only. A miss in the inner trie is final: a shorter outer
// prefix that also contains `first` is not tried.
template <class T>
const T* lookup_route(const TwoLevelTrie<T>& trie, Ipv4Addr first, Ipv4Addr second) noexcept {
  const IpnetTrie<T>* inner = trie.lookup(first);
  return inner != nullptr ? inner->lookup(second) : nullptr;
}

}  // namespace velarix::network
