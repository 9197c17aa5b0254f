#include "crypto/crypto.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>

#include <sodium.h>

namespace velarix::p2p {

std::string CryptoError::message() const {
  switch (kind) {
    case Kind::InitFailed: return "Failed to initialise the crypto library";
    case Kind::KeyConversionFailed: return "Failed to convert Ed25519 key to Curve25519";
    case Kind::KeyExchangeFailed: return "Key exchange failed";
    case Kind::HashFailed: return "Hashing failed";
    case Kind::SigningFailed: return "Signing failed";
    case Kind::EncryptionFailed: return "Encryption failed";
    case Kind::DecryptionFailed: return "Decryption failed";
  }
  return "Unknown crypto error";
}

namespace crypto {

namespace {

// Seed of an Ed25519 key expanded to libsodium's 64-byte secret key form. Wiped on exit.
struct ExpandedSecretKey {
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
  ~ExpandedSecretKey() { sodium_memzero(sk.data(), sk.size()); }
  bool expand(const SecKey& seed) {
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
    return crypto_sign_seed_keypair(pk.data(), sk.data(), seed.seed().data()) == 0;
  }
};

// libsodium declares its pointer arguments non-null, also for empty inputs.
const std::uint8_t kNothing = 0;
const std::uint8_t* ptr(std::span<const std::uint8_t> s) noexcept { return s.data() ? s.data() : &kNothing; }
std::uint8_t* mut_ptr(std::span<std::uint8_t> s) noexcept {
  static thread_local std::uint8_t scratch = 0;
  return s.data() ? s.data() : &scratch;
}

// Bumped in the child after fork, so that threads of the child draw new nonce streams.
std::atomic<std::uint64_t> g_fork_generation{1};
std::once_flag g_atfork_once;

void on_fork_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// A stream is given up before its counter reaches this, so that receivers can keep its window
// in 32-bit words tagged with 27-bit block numbers.
constexpr std::uint64_t kStreamMessages = std::uint64_t{1} << 32;

struct NonceState {
  std::uint64_t stream = 0;
  std::uint64_t counter = 0;
  std::uint64_t generation = 0;  // 0: never seeded
};
thread_local NonceState t_nonce;

// A nonce a test fixed for the next message this thread seals.
struct TestNonce {
  std::array<std::uint8_t, kAeadNonceSize> bytes{};
  bool set = false;
};
thread_local TestNonce t_test_nonce;

void reseed(NonceState& s, std::uint64_t generation) noexcept {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, on_fork_child); });
  (void)init();
  do {
    randombytes_buf(&s.stream, sizeof s.stream);
  } while (s.stream == 0);  // receivers take 0 for "no stream"
  s.counter = 0;
  s.generation = generation;
}

}  // namespace

std::expected<void, CryptoError> init() noexcept {
  static const bool ok = sodium_init() >= 0;
  if (!ok) return std::unexpected(CryptoError{CryptoError::Kind::InitFailed});
  return {};
}

void random_bytes(std::span<std::uint8_t> buf) noexcept {
  (void)init();
  if (!buf.empty()) randombytes_buf(buf.data(), buf.size());
}

std::expected<X25519Key, CryptoError> convert_ed25519_sk_to_curve25519_sk(const SecKey& sk) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  ExpandedSecretKey ed;
  X25519Key out{};
  if (!ed.expand(sk) || crypto_sign_ed25519_sk_to_curve25519(out.data(), ed.sk.data()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::KeyConversionFailed});
  }
  return out;
}

std::expected<X25519Key, CryptoError> convert_ed25519_pk_to_curve25519_pk(const PubKey& pk) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  X25519Key out{};
  if (crypto_sign_ed25519_pk_to_curve25519(out.data(), pk.data()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::KeyConversionFailed});
  }
  return out;
}

std::expected<SessionKey, CryptoError> compute_kx_session_keys(const X25519Key& my_pk, const X25519Key& my_sk,
                                                               const X25519Key& peer_pk) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  SessionKey rx{};
  SessionKey tx{};
  const bool client = std::memcmp(my_pk.data(), peer_pk.data(), kKeySize) <= 0;
  int rc;
  if (client) {
    rc = crypto_kx_client_session_keys(rx.data(), tx.data(), my_pk.data(), my_sk.data(), peer_pk.data());
  } else {
    rc = crypto_kx_server_session_keys(rx.data(), tx.data(), my_pk.data(), my_sk.data(), peer_pk.data());
  }
  if (rc != 0) return std::unexpected(CryptoError{CryptoError::Kind::KeyExchangeFailed});
  SessionKey key = client ? tx : rx;
  sodium_memzero(rx.data(), rx.size());
  sodium_memzero(tx.data(), tx.size());
  return key;
}

std::expected<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  Sha256Digest out{};
  if (crypto_hash_sha256(out.data(), ptr(data), data.size()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::HashFailed});
  }
  return out;
}

std::expected<Sha256Digest, CryptoError> sha256(std::string_view data) noexcept {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) noexcept {
  (void)init();
  crypto_auth_hmacsha256_state state;
  Sha256Digest out{};
  crypto_auth_hmacsha256_init(&state, ptr(key), key.size());
  crypto_auth_hmacsha256_update(&state, ptr(message), message.size());
  crypto_auth_hmacsha256_final(&state, out.data());
  sodium_memzero(&state, sizeof state);
  return out;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) noexcept {
  return hmac_sha256(key, std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
}

std::expected<Ed25519Signature, CryptoError> sign_ed25519(const SecKey& sk,
                                                          std::span<const std::uint8_t> message) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  ExpandedSecretKey ed;
  Ed25519Signature sig{};
  if (!ed.expand(sk) || crypto_sign_detached(sig.data(), nullptr, ptr(message), message.size(), ed.sk.data()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::SigningFailed});
  }
  return sig;
}

void next_nonce(std::span<std::uint8_t, kAeadNonceSize> nonce) noexcept {
  if (auto& next = t_test_nonce; next.set) [[unlikely]] {
    std::memcpy(nonce.data(), next.bytes.data(), nonce.size());
    next.set = false;
    return;
  }
  NonceState& s = t_nonce;
  const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (s.generation != generation || s.counter >= kStreamMessages) reseed(s, generation);
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  const std::uint64_t time =
      static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
  const std::uint64_t fields[3] = {time, s.stream, s.counter++};
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 8; ++i) nonce[8 * f + i] = static_cast<std::uint8_t>(fields[f] >> (56 - 8 * i));
  }
}

void set_thread_nonce_for_testing(std::span<const std::uint8_t, kAeadNonceSize> nonce) noexcept {
  auto& next = t_test_nonce;
  std::memcpy(next.bytes.data(), nonce.data(), nonce.size());
  next.set = true;
}

std::expected<void, CryptoError> aead_encrypt(std::span<std::uint8_t> out, std::span<std::uint8_t, kAeadTagSize> tag,
                                              std::span<const std::uint8_t> in, std::span<const std::uint8_t> ad,
                                              std::span<const std::uint8_t, kAeadNonceSize> nonce,
                                              const SessionKey& key) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  if (out.size() != in.size()) return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed});
  unsigned long long tag_len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt_detached(mut_ptr(out), tag.data(), &tag_len, ptr(in), in.size(),
                                                          ptr(ad), ad.size(), nullptr, nonce.data(),
                                                          key.data()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::EncryptionFailed});
  }
  return {};
}

std::expected<void, CryptoError> aead_decrypt_in_place(std::span<std::uint8_t> data,
                                                       std::span<const std::uint8_t, kAeadTagSize> tag,
                                                       std::span<const std::uint8_t> ad,
                                                       std::span<const std::uint8_t, kAeadNonceSize> nonce,
                                                       const SessionKey& key) noexcept {
  if (auto r = init(); !r) return std::unexpected(r.error());
  if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(mut_ptr(data), nullptr, mut_ptr(data), data.size(),
                                                          tag.data(), ptr(ad), ad.size(), nonce.data(), key.data()) != 0) {
    return std::unexpected(CryptoError{CryptoError::Kind::DecryptionFailed});
  }
  return {};
}

}  // namespace crypto
}  // namespace velarix::p2p
