#pragma once
// Keyed hashes for hash maps whose keys come from peers, controllers or files.
//
// An unkeyed hash lets whoever chooses the keys make them all collide, and a
// hash map of n such keys then costs n^2 to fill. These hashes are SipHash
// (a keyed pseudo-random function made for this) under a key drawn at random
// once per process, so collisions cannot be chosen in advance.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velarix::p2p::util {

using HashKey = std::array<std::uint64_t, 2>;

// SipHash-c-d of `len` bytes at `data` under `key` (the key's two 64-bit
// halves, read little-endian from its 16 bytes).
template <int C, int D>
std::uint64_t siphash(const HashKey& key, const void* data, std::size_t len) noexcept {
  std::uint64_t v0 = key[0] ^ 0x736f6d6570736575ull;
  std::uint64_t v1 = key[1] ^ 0x646f72616e646f6dull;
  std::uint64_t v2 = key[0] ^ 0x6c7967656e657261ull;
  std::uint64_t v3 = key[1] ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  };
  auto load_le = [](const unsigned char* p, std::size_t n) {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n; ++i) m |= std::uint64_t{p[i]} << (8 * i);
    return m;
  };
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t whole = len & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&m, p + i, 8);
    } else {
      m = load_le(p + i, 8);
    }
    v3 ^= m;
    for (int r = 0; r < C; ++r) round();
    v0 ^= m;
  }
  const std::uint64_t last = (std::uint64_t{len} << 56) | load_le(p + whole, len - whole);
  v3 ^= last;
  for (int r = 0; r < C; ++r) round();
  v0 ^= last;
  v2 ^= 0xff;
  for (int r = 0; r < D; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// A key drawn at random (from the kernel, else from the library's generator and the time).
HashKey draw_hash_key() noexcept;

// The key of this process: random, drawn on first use, never changed.
const HashKey& process_hash_key() noexcept;

// An odd multiplier drawn at random once per process, for tables that index
// by multiply-shift hashing (a universal family when the multiplier is secret).
std::uint64_t process_hash_multiplier() noexcept;

// SipHash-1-3 under the process key: fast enough for short keys on hot paths.
inline std::uint64_t keyed_hash(const void* data, std::size_t len) noexcept {
  return siphash<1, 3>(process_hash_key(), data, len);
}

inline std::uint64_t keyed_hash(std::uint64_t value) noexcept {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  return keyed_hash(bytes, sizeof bytes);
}

// A hasher for text keys of unordered containers; lookups may use any string-like type.
struct KeyedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(keyed_hash(s.data(), s.size()));
  }
  std::size_t operator()(const std::string& s) const noexcept { return (*this)(std::string_view(s)); }
  std::size_t operator()(const char* s) const noexcept { return (*this)(std::string_view(s)); }
};

}  // namespace velarix::p2p::util
