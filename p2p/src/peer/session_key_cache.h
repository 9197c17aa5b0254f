#pragma once
// SessionKeyCache: session keys derived for senders the caller keeps no record of, so that one
// sender's repeated messages cost one key exchange (about 70 µs) and not one each. A fixed table
// of `Slots` slots in sets of `Ways`, the set chosen by a keyed hash of the key (nobody can aim at
// another key's set); a key new to a full set takes the place of the set's oldest entry, so keys
// that cycle through the cache stay in it as long as no set gets more than `Ways` of them. Under
// `Locks` striped locks. A key without a session key (not a valid point) can be remembered as such.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "util/keyed_hash.h"

namespace velarix::p2p {

template <std::size_t Slots, std::size_t Locks, std::size_t Ways = 1>
class SessionKeyCache {
  static_assert(Ways >= 1 && Ways <= 255 && Slots % Ways == 0, "whole sets of slots");
  static constexpr std::size_t kSets = Slots / Ways;
  static_assert(kSets % Locks == 0, "each lock guards the same number of sets");

 public:
  enum class Found { No, Key, NoKey };

  SessionKeyCache() : slots_(Slots), oldest_(kSets, 0) {}
  SessionKeyCache(const SessionKeyCache&) = delete;
  SessionKeyCache& operator=(const SessionKeyCache&) = delete;

  // What the cache holds for `pk`; with Found::Key the session key is in `out`.
  Found find(const PubKey& pk, crypto::SessionKey& out) {
    const std::size_t set = set_of(pk);
    std::lock_guard lock(locks_[set % Locks]);
    for (std::size_t w = 0; w < Ways; ++w) {
      const Slot& slot = slots_[set * Ways + w];
      if (!slot.used || slot.pk != pk) continue;
      if (!slot.key) return Found::NoKey;
      out = *slot.key;
      return Found::Key;
    }
    return Found::No;
  }
  // Keeps `key` (none: `pk` has no session key) for `pk`: in its slot, else in a free one of its
  // set, else in place of the set's oldest entry.
  void put(const PubKey& pk, const std::optional<crypto::SessionKey>& key) {
    const std::size_t set = set_of(pk);
    std::lock_guard lock(locks_[set % Locks]);
    Slot* const first = &slots_[set * Ways];
    Slot* target = nullptr;
    for (std::size_t w = 0; w < Ways && target == nullptr; ++w) {
      if (first[w].used && first[w].pk == pk) target = &first[w];
    }
    for (std::size_t w = 0; w < Ways && target == nullptr; ++w) {
      if (!first[w].used) target = &first[w];
    }
    if (target == nullptr) {
      std::uint8_t& oldest = oldest_[set];
      target = &first[oldest];
      oldest = static_cast<std::uint8_t>((oldest + 1) % Ways);
    }
    *target = Slot{true, pk, key};
  }

 private:
  struct Slot {
    bool used = false;
    PubKey pk;
    std::optional<crypto::SessionKey> key;
  };
  static std::size_t set_of(const PubKey& pk) noexcept {
    return static_cast<std::size_t>(util::keyed_hash(pk.data(), PubKey::kSize) % kSets);
  }
  std::array<std::mutex, Locks> locks_;
  std::vector<Slot> slots_;
  // Per set, the way that a key new to the full set replaces next: the set's slots are filled in
  // order, so that way holds its oldest entry.
  std::vector<std::uint8_t> oldest_;
};

}  // namespace velarix::p2p
