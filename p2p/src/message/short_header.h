#pragma once
// Short-header application messages between two nodes on a direct path:
//
//   0..3   short id (big-endian), chosen by the receiver
//   4..    unarmed: the payload
//          armed:   nonce (24) | ciphertext of the payload | tag (16),
//                   with the 4 short-id bytes as associated data
//
// A receiver tells the two header forms apart by the first four bytes: a short
// id registered with it means a short header, anything else is read as a long
// header. Short ids are never 0 and never the long header's magic 1E 3F 50 01.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "crypto/crypto.h"
#include "message/message_error.h"
#include "node/short_id.h"

namespace velarix::p2p {

class ShortHeader {
 public:
  static constexpr std::size_t kSize = ShortId::kSize;

  // Where the payload starts in a built message.
  static constexpr std::size_t payload_offset(bool armed) noexcept { return kSize + (armed ? 24 : 0); }
  static constexpr std::size_t wire_size(bool armed, std::size_t payload_len) noexcept {
    return kSize + (armed ? 40 : 0) + payload_len;
  }

  // Reads a short-header message; an armed one is decrypted in place, so on
  // success the payload is a span into `packet`.
  static std::expected<ShortHeader, MessageError> parse(std::span<std::uint8_t> packet,
                                                        const std::optional<crypto::SessionKey>& key) noexcept;

  // Writes the message into `out` and returns its length. `payload` may already
  // lie at `out.subspan(payload_offset(armed))` (then it is not copied); no other
  // overlap with `out` is allowed.
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, ShortId short_id,
                                                             const std::optional<crypto::SessionKey>& key,
                                                             std::span<const std::uint8_t> payload) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(ShortId short_id,
                                                                      const std::optional<crypto::SessionKey>& key,
                                                                      std::span<const std::uint8_t> payload);

  ShortId short_id() const noexcept { return short_id_; }
  std::span<const std::uint8_t> payload() const noexcept { return payload_; }

 private:
  ShortHeader(ShortId id, std::span<const std::uint8_t> payload) : short_id_(id), payload_(payload) {}
  ShortId short_id_;
  std::span<const std::uint8_t> payload_;
};

}  // namespace velarix::p2p
