#pragma once
// SessionKeyCache: session keys derived for senders the caller keeps no record of, so that one
// sender's repeated messages cost one key exchange (about 70 µs) and not one each. A fixed table
// of `Slots` slots chosen by a keyed hash of the key (keys that hash alike take each other's
// slot; nobody can aim at another key's slot), under `Locks` striped locks. A key without a
// session key (not a valid point) can be remembered as such.

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "util/keyed_hash.h"

namespace velarix::p2p {

template <std::size_t Slots, std::size_t Locks>
class SessionKeyCache {
  static_assert(Slots % Locks == 0, "each lock guards the same number of slots");

 public:
  enum class Found { No, Key, NoKey };

  SessionKeyCache() : slots_(Slots) {}
  SessionKeyCache(const SessionKeyCache&) = delete;
  SessionKeyCache& operator=(const SessionKeyCache&) = delete;

  // What the cache holds for `pk`; with Found::Key the session key is in `out`.
  Found find(const PubKey& pk, crypto::SessionKey& out) {
    const std::size_t i = index(pk);
    std::lock_guard lock(locks_[i % Locks]);
    const Slot& slot = slots_[i];
    if (!slot.used || slot.pk != pk) return Found::No;
    if (!slot.key) return Found::NoKey;
    out = *slot.key;
    return Found::Key;
  }
  // Keeps `key` (none: `pk` has no session key) in `pk`'s slot.
  void put(const PubKey& pk, const std::optional<crypto::SessionKey>& key) {
    const std::size_t i = index(pk);
    std::lock_guard lock(locks_[i % Locks]);
    slots_[i] = Slot{true, pk, key};
  }

 private:
  struct Slot {
    bool used = false;
    PubKey pk;
    std::optional<crypto::SessionKey> key;
  };
  static std::size_t index(const PubKey& pk) noexcept {
    return static_cast<std::size_t>(util::keyed_hash(pk.data(), PubKey::kSize) % Slots);
  }
  std::array<std::mutex, Locks> locks_;
  std::vector<Slot> slots_;
};

}  // namespace velarix::p2p
