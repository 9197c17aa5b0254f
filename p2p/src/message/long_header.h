#pragma once
// The long header that starts every message but short-header application
// messages. Layout (offsets in bytes, multi-byte numbers big-endian):
//
//   0..3    magic 1E 3F 50 01
//   4       version (1)
//   5       flags: bit 0 set = armed (body encrypted), other bits zero
//   6..9    network id
//   10..41  recipient public key
//   42..73  sender public key
//   74..77  sender's proof of work (signed 32-bit)
//   78      message type: 0 ACK, 1 APP, 2 HELLO, 3 UNITE
//
// The body follows at offset 79. An armed body is nonce (24) | ciphertext | tag
// (16), with the 79 header bytes as associated data.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "identity/identity.h"
#include "message/message_error.h"

namespace velarix::p2p {

using NetworkId = std::array<std::uint8_t, 4>;

// The four big-endian bytes of a network id number.
constexpr NetworkId network_id_from_u32(std::uint32_t id) noexcept {
  return {static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 8),
          static_cast<std::uint8_t>(id)};
}

enum class MessageType : std::uint8_t { Ack = 0, App = 1, Hello = 2, Unite = 3 };

// "ACK", "APP", "HELLO", "UNITE"; "unknown" for any other byte.
std::string_view message_type_name(std::uint8_t type) noexcept;

inline constexpr std::array<std::uint8_t, 4> kMagic = {0x1E, 0x3F, 0x50, 0x01};
inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::uint8_t kFlagArmed = 0x01;
// No message, header included, is longer than this.
inline constexpr std::size_t kMaxMessageSize = 65535;

// A checked view of the first 79 bytes of a packet; it borrows the packet.
class LongHeader {
 public:
  static constexpr std::size_t kSize = 79;
  static constexpr std::size_t kNetworkIdOffset = 6;
  static constexpr std::size_t kRecipientOffset = 10;
  static constexpr std::size_t kSenderOffset = 42;
  static constexpr std::size_t kPowOffset = 74;
  static constexpr std::size_t kTypeOffset = 78;

  // Checks length, magic, version and flags. Any type byte is accepted (the
  // dispatch refuses unknown types itself); the body is `packet.subspan(kSize)`.
  static std::expected<LongHeader, MessageError> parse(std::span<const std::uint8_t> packet) noexcept;

  // Writes a header into `out`.
  static void write(std::span<std::uint8_t, kSize> out, MessageType type, bool armed, const NetworkId& network_id,
                    const PubKey& sender, Pow pow, const PubKey& recipient) noexcept;

  std::span<const std::uint8_t, kSize> bytes() const noexcept { return std::span<const std::uint8_t, kSize>(data_, kSize); }
  std::span<const std::uint8_t, 4> network_id_bytes() const noexcept {
    return std::span<const std::uint8_t, 4>(data_ + kNetworkIdOffset, 4);
  }
  NetworkId network_id() const noexcept;
  std::span<const std::uint8_t, PubKey::kSize> recipient_bytes() const noexcept {
    return std::span<const std::uint8_t, PubKey::kSize>(data_ + kRecipientOffset, PubKey::kSize);
  }
  std::span<const std::uint8_t, PubKey::kSize> sender_bytes() const noexcept {
    return std::span<const std::uint8_t, PubKey::kSize>(data_ + kSenderOffset, PubKey::kSize);
  }
  PubKey recipient() const noexcept { return PubKey::from_bytes(data_ + kRecipientOffset); }
  PubKey sender() const noexcept { return PubKey::from_bytes(data_ + kSenderOffset); }
  Pow pow() const noexcept;
  std::uint8_t version() const noexcept { return data_[4]; }
  bool armed() const noexcept { return (data_[5] & kFlagArmed) != 0; }
  std::uint8_t type_byte() const noexcept { return data_[kTypeOffset]; }
  // The type, when the byte names one.
  std::optional<MessageType> type() const noexcept;

 private:
  explicit LongHeader(const std::uint8_t* data) : data_(data) {}
  const std::uint8_t* data_;
};

}  // namespace velarix::p2p
