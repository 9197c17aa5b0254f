#pragma once
// Framing shared by the message codecs: laying out a long-header message,
// arming (encrypting) its body, and opening it again. An armed body is
//   nonce (24) | ciphertext | tag (16)
// with the bytes before it (the long header, or the short id) as associated data.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "crypto/crypto.h"
#include "message/long_header.h"
#include "message/message_error.h"

namespace velarix::p2p::armor {

using crypto::SessionKey;

inline constexpr std::size_t kNonceSize = crypto::kAeadNonceSize;
inline constexpr std::size_t kTagSize = crypto::kAeadTagSize;
inline constexpr std::size_t kOverhead = kNonceSize + kTagSize;

// Where the body (plaintext) starts behind a prefix of `prefix_len` bytes.
constexpr std::size_t body_offset(std::size_t prefix_len, bool armed) noexcept {
  return prefix_len + (armed ? kNonceSize : 0);
}
constexpr std::size_t message_size(std::size_t prefix_len, bool armed, std::size_t body_len) noexcept {
  return prefix_len + (armed ? kOverhead : 0) + body_len;
}

// Checks that a message with `body_len` body bytes fits `out` and the size limit,
// writes the long header and, when armed, a fresh nonce. Returns the region the
// body goes to.
std::expected<std::span<std::uint8_t>, MessageError> begin_long(std::span<std::uint8_t> out, MessageType type,
                                                                const NetworkId& network_id, const PubKey& sender,
                                                                Pow pow, const std::optional<SessionKey>& key,
                                                                const PubKey& recipient,
                                                                std::size_t body_len) noexcept;

// Moves `plain` into `region` (a no-op when `plain` is `region` itself; any other
// overlap is not allowed) and, when armed, encrypts it with the bytes of `out`
// before the nonce as associated data and appends the tag. `region` must come
// from `begin_long` (or the short-header layout) on the same `out`. Returns the
// message length.
std::expected<std::size_t, MessageError> seal(std::span<std::uint8_t> out, std::size_t prefix_len,
                                              std::span<std::uint8_t> region, std::span<const std::uint8_t> plain,
                                              const std::optional<SessionKey>& key) noexcept;

// Checks that an armed body arrives exactly when a key is held, and decrypts it
// in place with `ad` as associated data. Returns the plaintext, a span into `body`.
// `extra` is added to the lengths reported in errors (the prefix before the body).
std::expected<std::span<std::uint8_t>, MessageError> open(std::span<std::uint8_t> body, bool armed,
                                                          std::span<const std::uint8_t> ad,
                                                          const std::optional<SessionKey>& key,
                                                          std::size_t extra) noexcept;

// `open` for the body of a long-header message of the given type.
std::expected<std::span<std::uint8_t>, MessageError> open_long(std::span<std::uint8_t> body, const LongHeader& header,
                                                               MessageType type,
                                                               const std::optional<SessionKey>& key) noexcept;

}  // namespace velarix::p2p::armor
