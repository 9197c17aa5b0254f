#include "util/keyed_hash.h"

#include <sys/random.h>

#include <chrono>
#include <random>

namespace velarix::p2p::util {
HashKey draw_hash_key() noexcept {
  HashKey key{};
  if (::getrandom(key.data(), sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
    // No kernel randomness (a very old kernel, a seccomp filter): the library's
    // generator, mixed with the time, still keeps the key unpredictable from outside.
    std::random_device rd;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key[0] = (std::uint64_t{rd()} << 32 | rd()) ^ now;
    key[1] = (std::uint64_t{rd()} << 32 | rd()) ^ (now * 0x9E3779B97F4A7C15ull);
  }
  return key;
}

const HashKey& process_hash_key() noexcept {
  static const HashKey key = draw_hash_key();
  return key;
}

std::uint64_t process_hash_multiplier() noexcept {
  // Derived from the key, so one draw serves both.
  static const std::uint64_t multiplier = keyed_hash("multiplier", 10) | 1;
  return multiplier;
}

}  // namespace velarix::p2p::util
