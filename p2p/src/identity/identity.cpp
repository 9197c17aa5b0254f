#include "identity/identity.h"

#include <sodium.h>

#include <cstring>

#include "util/keyed_hash.h"

namespace velarix::p2p {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string to_hex(const std::uint8_t* data, std::size_t n) {
  std::string out(n * 2, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[data[i] >> 4];
    out[2 * i + 1] = kHexDigits[data[i] & 0x0F];
  }
  return out;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses exactly 2*N hex digits into `out`.
template <std::size_t N>
bool from_hex(std::string_view text, std::array<std::uint8_t, N>& out) noexcept {
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const int hi = hex_value(text[2 * i]);
    const int lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return true;
}

bool sodium_ready() noexcept {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

unsigned leading_zero_bits(const std::uint8_t* hash, std::size_t n) noexcept {
  unsigned bits = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (hash[i] == 0) {
      bits += 8;
      continue;
    }
    return bits + static_cast<unsigned>(__builtin_clz(hash[i])) - 24;
  }
  return bits;
}

void nonce_bytes(std::int32_t nonce, std::uint8_t out[4]) noexcept {
  const auto u = static_cast<std::uint32_t>(nonce);
  out[0] = static_cast<std::uint8_t>(u >> 24);
  out[1] = static_cast<std::uint8_t>(u >> 16);
  out[2] = static_cast<std::uint8_t>(u >> 8);
  out[3] = static_cast<std::uint8_t>(u);
}

}  // namespace

std::string IdentityError::message() const {
  switch (kind) {
    case Kind::InvalidSecretKey:
      return "invalid secret key: " + detail;
    case Kind::InvalidPublicKey:
      return "invalid public key: " + detail;
    case Kind::DifficultyTooHigh:
      return "proof-of-work difficulty too high: " + detail;
    case Kind::KeyDerivationFailed:
      return "key derivation failed: " + detail;
  }
  return "identity error";
}

PubKey PubKey::from_bytes(const std::uint8_t* data) noexcept {
  Bytes b;
  std::memcpy(b.data(), data, kSize);
  return PubKey(b);
}

std::expected<PubKey, IdentityError> PubKey::from_text(std::string_view text) {
  Bytes b;
  if (!from_hex(text, b)) {
    return std::unexpected(IdentityError{IdentityError::Kind::InvalidPublicKey, "expected 64 hexadecimal digits"});
  }
  return PubKey(b);
}

std::string PubKey::to_string() const { return to_hex(bytes_.data(), kSize); }

std::string PubKey::debug() const { return "PubKey(" + to_string() + ")"; }

std::uint16_t PubKey::udp_port() const noexcept {
  // FNV-1a over every byte, so keys that share a prefix still spread out.
  std::uint32_t h = 2166136261u;
  for (auto b : bytes_) h = (h ^ b) * 16777619u;
  return static_cast<std::uint16_t>(20000 + h % 40000);
}

SecKey::~SecKey() { sodium_memzero(seed_.data(), seed_.size()); }

std::expected<SecKey, IdentityError> SecKey::from_text(std::string_view text) {
  Bytes b;
  if (!from_hex(text, b)) {
    sodium_memzero(b.data(), b.size());
    return std::unexpected(IdentityError{IdentityError::Kind::InvalidSecretKey, "expected 64 hexadecimal digits"});
  }
  SecKey sk(b);
  sodium_memzero(b.data(), b.size());
  return sk;
}

std::string SecKey::to_string() const { return to_hex(seed_.data(), kSize); }

unsigned Pow::difficulty(const PubKey& key) const noexcept {
  sodium_ready();
  std::uint8_t input[PubKey::kSize + 4];
  std::memcpy(input, key.data(), PubKey::kSize);
  nonce_bytes(nonce_, input + PubKey::kSize);
  std::uint8_t hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, input, sizeof input);
  return leading_zero_bits(hash, sizeof hash);
}

std::string Pow::to_string() const { return std::to_string(nonce_); }

Identity::Identity(const SecKey& sk, Pow pow) : sk_(sk), pow_(pow) {
  sodium_ready();
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  // Deriving from a 32-byte seed cannot fail.
  crypto_sign_seed_keypair(pk.data(), ed_sk_.data(), sk_.seed().data());
  pk_ = PubKey(pk);
}

std::expected<Identity, IdentityError> Identity::generate(std::uint8_t difficulty) {
  if (difficulty > kMaxPowDifficulty) {
    return std::unexpected(IdentityError{IdentityError::Kind::DifficultyTooHigh,
                                         std::to_string(difficulty) + " > " + std::to_string(kMaxPowDifficulty)});
  }
  if (!sodium_ready()) {
    return std::unexpected(IdentityError{IdentityError::Kind::KeyDerivationFailed, "libsodium failed to initialise"});
  }
  for (;;) {
    SecKey::Bytes seed;
    randombytes_buf(seed.data(), seed.size());
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> esk{};
    crypto_sign_seed_keypair(pk.data(), esk.data(), seed.data());
    sodium_memzero(esk.data(), esk.size());

    // The key's part of the hash is absorbed once; each nonce only finishes it.
    crypto_hash_sha256_state prefix;
    crypto_hash_sha256_init(&prefix);
    crypto_hash_sha256_update(&prefix, pk.data(), pk.size());
    std::uint8_t hash[crypto_hash_sha256_BYTES];
    std::uint32_t n = 0;
    do {
      crypto_hash_sha256_state st = prefix;
      std::uint8_t nb[4];
      nonce_bytes(static_cast<std::int32_t>(n), nb);
      crypto_hash_sha256_update(&st, nb, 4);
      crypto_hash_sha256_final(&st, hash);
      if (leading_zero_bits(hash, sizeof hash) >= difficulty) {
        Identity id(SecKey(seed), Pow(static_cast<std::int32_t>(n)));
        sodium_memzero(seed.data(), seed.size());
        return id;
      }
    } while (++n != 0);
    // Every nonce of this key failed: start over with another key.
  }
}

}  // namespace velarix::p2p

std::size_t std::hash<velarix::p2p::PubKey>::operator()(const velarix::p2p::PubKey& k) const noexcept {
  // Keyed: anyone can pick public keys that an unkeyed hash would pile up.
  return static_cast<std::size_t>(velarix::p2p::util::keyed_hash(k.bytes().data(), k.bytes().size()));
}
