#pragma once
// Cryptographic primitives of the node, all on libsodium: key conversion and key
// exchange for per-peer session keys, the AEAD that arms messages, hashes,
// HMAC, signatures and random bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "identity/identity.h"

namespace velarix::p2p {

struct CryptoError {
  enum class Kind : std::uint8_t {
    InitFailed,           // libsodium could not be initialised
    KeyConversionFailed,  // an Ed25519 key has no Curve25519 form (invalid point)
    KeyExchangeFailed,    // the peer's key is a low-order point
    HashFailed,
    SigningFailed,
    EncryptionFailed,
    DecryptionFailed,     // authentication tag did not verify
  };
  Kind kind;

  std::string message() const;
  friend bool operator==(const CryptoError&, const CryptoError&) = default;
};

namespace crypto {

inline constexpr std::size_t kKeySize = 32;
using X25519Key = std::array<std::uint8_t, kKeySize>;
// The symmetric key two nodes share; both directions use it.
using SessionKey = std::array<std::uint8_t, kKeySize>;
using Sha256Digest = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

// Initialises libsodium once per process; every function below calls it itself.
std::expected<void, CryptoError> init() noexcept;

// Fills `buf` with bytes from the system's CSPRNG.
void random_bytes(std::span<std::uint8_t> buf) noexcept;

std::expected<X25519Key, CryptoError> convert_ed25519_sk_to_curve25519_sk(const SecKey& sk) noexcept;
std::expected<X25519Key, CryptoError> convert_ed25519_pk_to_curve25519_pk(const PubKey& pk) noexcept;

// The session key of this node and a peer, from X25519 key exchange. Both ends
// get the same key: the end with the lexicographically smaller X25519 public key
// takes libsodium's client role, the other the server role, and the key is the
// client-to-server key (the client's tx, the server's rx). Fails when the peer's
// key is a low-order point.
std::expected<SessionKey, CryptoError> compute_kx_session_keys(const X25519Key& my_pk, const X25519Key& my_sk,
                                                               const X25519Key& peer_pk) noexcept;

std::expected<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data) noexcept;
std::expected<Sha256Digest, CryptoError> sha256(std::string_view data) noexcept;

// HMAC-SHA-256 with a key of any length (empty included; a key longer than the
// 64-byte block is hashed first).
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) noexcept;
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) noexcept;

// Detached Ed25519 signature of `message` under `sk`.
std::expected<Ed25519Signature, CryptoError> sign_ed25519(const SecKey& sk,
                                                          std::span<const std::uint8_t> message) noexcept;

// --- authenticated encryption of messages (XChaCha20-Poly1305 IETF) ---------------

inline constexpr std::size_t kAeadNonceSize = 24;
inline constexpr std::size_t kAeadTagSize = 16;

// A nonce that is never handed out twice, laid out for the receiver's replay window:
//   time (8): the sender's clock, µs since the Unix epoch
//   stream (8): random, drawn per thread (again after fork, and after 2^32 messages)
//   counter (8): the stream's message count
// all big-endian. Session keys are static per pair of identities, so a counter alone would
// repeat after a restart; the random stream and the time prevent that.
void next_nonce(std::span<std::uint8_t, kAeadNonceSize> nonce) noexcept;

// Makes `nonce` the next nonce the calling thread draws (once), so that a test
// can build messages with a known nonce and compare them byte for byte.
void set_thread_nonce_for_testing(std::span<const std::uint8_t, kAeadNonceSize> nonce) noexcept;

// Encrypts `in` into `out` (same length; `out` may be `in` itself) and writes the tag.
std::expected<void, CryptoError> aead_encrypt(std::span<std::uint8_t> out, std::span<std::uint8_t, kAeadTagSize> tag,
                                              std::span<const std::uint8_t> in, std::span<const std::uint8_t> ad,
                                              std::span<const std::uint8_t, kAeadNonceSize> nonce,
                                              const SessionKey& key) noexcept;

// Verifies the tag and decrypts `data` in place. On failure `data` is wiped.
std::expected<void, CryptoError> aead_decrypt_in_place(std::span<std::uint8_t> data,
                                                       std::span<const std::uint8_t, kAeadTagSize> tag,
                                                       std::span<const std::uint8_t> ad,
                                                       std::span<const std::uint8_t, kAeadNonceSize> nonce,
                                                       const SessionKey& key) noexcept;

}  // namespace crypto
}  // namespace velarix::p2p
