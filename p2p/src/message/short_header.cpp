#include "message/short_header.h"

#include <cstring>

#include "message/armor.h"
#include "message/long_header.h"

namespace velarix::p2p {

using K = MessageError::Kind;

std::expected<ShortHeader, MessageError> ShortHeader::parse(std::span<std::uint8_t> packet,
                                                            const std::optional<crypto::SessionKey>& key) noexcept {
  if (packet.size() > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, packet.size(), kMaxMessageSize});
  if (packet.size() < kSize) return std::unexpected(MessageError{K::TooShort, packet.size(), kSize});
  const ShortId id = ShortId::from_bytes(packet.first<kSize>());
  if (!id.is_valid()) return std::unexpected(MessageError{K::ShortIdInvalid, id.value()});
  // The form is fixed by whether the peer holds a key; there is no flag to read.
  auto payload = armor::open(packet.subspan(kSize), key.has_value(), packet.first(kSize), key, kSize);
  if (!payload) return std::unexpected(payload.error());
  return ShortHeader(id, *payload);
}

std::expected<std::size_t, MessageError> ShortHeader::build_into(std::span<std::uint8_t> out, ShortId short_id,
                                                                 const std::optional<crypto::SessionKey>& key,
                                                                 std::span<const std::uint8_t> payload) noexcept {
  if (!short_id.is_valid()) return std::unexpected(MessageError{K::ShortIdInvalid, short_id.value()});
  const bool armed = key.has_value();
  if (payload.size() > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, payload.size(), kMaxMessageSize});
  const std::size_t total = wire_size(armed, payload.size());
  if (total > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, total, kMaxMessageSize});
  if (out.size() < total) return std::unexpected(MessageError{K::BufferTooSmall, out.size(), total});
  const auto id = short_id.to_bytes();
  std::memcpy(out.data(), id.data(), id.size());
  if (armed) crypto::next_nonce(out.subspan<kSize, armor::kNonceSize>());
  return armor::seal(out, kSize, out.subspan(payload_offset(armed), payload.size()), payload, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> ShortHeader::build(ShortId short_id,
                                                                          const std::optional<crypto::SessionKey>& key,
                                                                          std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, payload.size(), kMaxMessageSize});
  std::vector<std::uint8_t> out(wire_size(key.has_value(), payload.size()));
  auto n = build_into(out, short_id, key, payload);
  if (!n) return std::unexpected(n.error());
  out.resize(*n);
  return out;
}

}  // namespace velarix::p2p
