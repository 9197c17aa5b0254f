#pragma once
// Node identity: an Ed25519 key pair whose public key carries a proof of work.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace velarix::p2p {

// Errors of the key and identity types.
struct IdentityError {
  enum class Kind : std::uint8_t {
    InvalidSecretKey,     // text form of a secret key refused
    InvalidPublicKey,     // text form of a public key refused
    DifficultyTooHigh,    // proof-of-work search would not end
    KeyDerivationFailed,  // the cryptographic library refused a key
  };
  Kind kind;
  std::string detail;

  std::string message() const;
};

// A node's 32-byte Ed25519 public key.
class PubKey {
 public:
  static constexpr std::size_t kSize = 32;
  using Bytes = std::array<std::uint8_t, kSize>;

  constexpr PubKey() = default;
  constexpr explicit PubKey(const Bytes& bytes) : bytes_(bytes) {}
  // Copies 32 bytes from `data`.
  static PubKey from_bytes(const std::uint8_t* data) noexcept;
  // Parses the text form: 64 hexadecimal digits (either case).
  static std::expected<PubKey, IdentityError> from_text(std::string_view text);

  const Bytes& bytes() const noexcept { return bytes_; }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }

  // Text form: 64 lower-case hexadecimal digits.
  std::string to_string() const;
  // Debug form: "PubKey(" + text form + ")".
  std::string debug() const;
  // The UDP port a node listens on when none is configured: derived from all
  // 32 bytes, always in 20000..59999 so it stays clear of well-known and
  // ephemeral ports.
  std::uint16_t udp_port() const noexcept;

  friend constexpr auto operator<=>(const PubKey&, const PubKey&) = default;
  friend constexpr bool operator==(const PubKey&, const PubKey&) = default;

 private:
  Bytes bytes_{};
};

// An Ed25519 secret key, kept as its 32-byte seed. Wiped when destroyed.
class SecKey {
 public:
  static constexpr std::size_t kSize = 32;
  using Bytes = std::array<std::uint8_t, kSize>;

  SecKey() = default;
  explicit SecKey(const Bytes& seed) : seed_(seed) {}
  SecKey(const SecKey&) = default;
  SecKey& operator=(const SecKey&) = default;
  ~SecKey();

  // Parses the text form: 64 hexadecimal digits (either case).
  static std::expected<SecKey, IdentityError> from_text(std::string_view text);
  // Text form: 64 lower-case hexadecimal digits of the seed.
  std::string to_string() const;

  const Bytes& seed() const noexcept { return seed_; }
  friend bool operator==(const SecKey&, const SecKey&) = default;

 private:
  Bytes seed_{};
};

// Proof of work: a 32-bit nonce. The public key and the nonce together must hash
// (SHA-256 of key bytes then nonce big-endian) to at least `difficulty` leading zero bits.
class Pow {
 public:
  constexpr Pow() = default;
  constexpr explicit Pow(std::int32_t nonce) : nonce_(nonce) {}
  static constexpr Pow from_i32(std::int32_t v) noexcept { return Pow(v); }
  constexpr std::int32_t to_i32() const noexcept { return nonce_; }

  // Number of leading zero bits of the work hash for `key`.
  unsigned difficulty(const PubKey& key) const noexcept;
  bool is_valid(const PubKey& key, std::uint8_t min_difficulty) const noexcept {
    return difficulty(key) >= min_difficulty;
  }
  // Text form: the nonce in decimal.
  std::string to_string() const;

  friend constexpr bool operator==(const Pow&, const Pow&) = default;

 private:
  std::int32_t nonce_ = 0;
};

// The highest difficulty `Identity::generate` accepts.
inline constexpr std::uint8_t kMaxPowDifficulty = 32;

class Identity {
 public:
  // Derives the public key from the secret key; cannot fail.
  Identity(const SecKey& sk, Pow pow);

  // A fresh key pair whose proof of work meets `difficulty`.
  static std::expected<Identity, IdentityError> generate(std::uint8_t difficulty);

  const SecKey& sk() const noexcept { return sk_; }
  const PubKey& pk() const noexcept { return pk_; }
  Pow pow() const noexcept { return pow_; }
  // libsodium's 64-byte expanded secret key (seed followed by public key).
  const std::array<std::uint8_t, 64>& ed25519_sk() const noexcept { return ed_sk_; }

  friend bool operator==(const Identity& a, const Identity& b) { return a.sk_ == b.sk_ && a.pow_ == b.pow_; }

 private:
  SecKey sk_;
  PubKey pk_;
  Pow pow_;
  std::array<std::uint8_t, 64> ed_sk_{};
};

}  // namespace velarix::p2p

template <>
struct std::hash<velarix::p2p::PubKey> {
  std::size_t operator()(const velarix::p2p::PubKey& k) const noexcept;
};
