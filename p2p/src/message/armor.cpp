#include "message/armor.h"

#include <cstring>

namespace velarix::p2p::armor {

using K = MessageError::Kind;

std::expected<std::span<std::uint8_t>, MessageError> begin_long(std::span<std::uint8_t> out, MessageType type,
                                                                const NetworkId& network_id, const PubKey& sender,
                                                                Pow pow, const std::optional<SessionKey>& key,
                                                                const PubKey& recipient,
                                                                std::size_t body_len) noexcept {
  const bool armed = key.has_value();
  if (body_len > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, body_len, kMaxMessageSize});
  const std::size_t total = message_size(LongHeader::kSize, armed, body_len);
  if (total > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, total, kMaxMessageSize});
  if (out.size() < total) return std::unexpected(MessageError{K::BufferTooSmall, out.size(), total});
  LongHeader::write(out.first<LongHeader::kSize>(), type, armed, network_id, sender, pow, recipient);
  if (armed) crypto::next_nonce(out.subspan<LongHeader::kSize, kNonceSize>());
  return out.subspan(body_offset(LongHeader::kSize, armed), body_len);
}

std::expected<std::size_t, MessageError> seal(std::span<std::uint8_t> out, std::size_t prefix_len,
                                              std::span<std::uint8_t> region, std::span<const std::uint8_t> plain,
                                              const std::optional<SessionKey>& key) noexcept {
  const std::size_t start = body_offset(prefix_len, key.has_value());
  if (!key) {
    if (plain.data() != region.data() && !plain.empty()) std::memcpy(region.data(), plain.data(), plain.size());
    return start + region.size();
  }
  const auto ad = out.first(prefix_len);
  const auto nonce = out.subspan(prefix_len).first<kNonceSize>();
  const auto tag = out.subspan(start + region.size()).first<kTagSize>();
  if (!crypto::aead_encrypt(region, tag, plain, ad, nonce, *key)) return std::unexpected(MessageError{K::EncryptionFailed});
  return start + region.size() + kTagSize;
}

std::expected<std::span<std::uint8_t>, MessageError> open(std::span<std::uint8_t> body, bool armed,
                                                          std::span<const std::uint8_t> ad,
                                                          const std::optional<SessionKey>& key,
                                                          std::size_t extra) noexcept {
  if (!key) {
    if (armed) return std::unexpected(MessageError{K::Armed});
    return body;
  }
  if (!armed) return std::unexpected(MessageError{K::Unarmed});
  if (body.size() < kOverhead) return std::unexpected(MessageError{K::TooShort, extra + body.size(), extra + kOverhead});
  const auto nonce = body.first<kNonceSize>();
  const auto tag = body.last<kTagSize>();
  const auto text = body.subspan(kNonceSize, body.size() - kOverhead);
  if (!crypto::aead_decrypt_in_place(text, tag, ad, nonce, *key)) return std::unexpected(MessageError{K::AuthFailed});
  return text;
}

std::expected<std::span<std::uint8_t>, MessageError> open_long(std::span<std::uint8_t> body, const LongHeader& header,
                                                               MessageType type,
                                                               const std::optional<SessionKey>& key) noexcept {
  if (header.type_byte() != static_cast<std::uint8_t>(type)) {
    return std::unexpected(MessageError{K::TypeMismatch, header.type_byte(), static_cast<std::uint8_t>(type)});
  }
  if (body.size() > kMaxMessageSize - LongHeader::kSize) {
    return std::unexpected(MessageError{K::Oversized, LongHeader::kSize + body.size(), kMaxMessageSize});
  }
  return open(body, header.armed(), header.bytes(), key, LongHeader::kSize);
}

}  // namespace velarix::p2p::armor
