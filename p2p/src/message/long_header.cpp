#include "message/long_header.h"

#include <algorithm>
#include <cstring>

#include "message/wire_io.h"

namespace velarix::p2p {

std::string_view message_type_name(std::uint8_t type) noexcept {
  switch (type) {
    case 0: return "ACK";
    case 1: return "APP";
    case 2: return "HELLO";
    case 3: return "UNITE";
    default: return "unknown";
  }
}

std::expected<LongHeader, MessageError> LongHeader::parse(std::span<const std::uint8_t> packet) noexcept {
  using K = MessageError::Kind;
  if (packet.size() > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, packet.size(), kMaxMessageSize});
  // The magic is checked first so that a stray short datagram reads as what it is.
  const std::size_t magic_len = std::min(packet.size(), kMagic.size());
  if (!std::equal(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(magic_len), kMagic.begin())) {
    return std::unexpected(MessageError{K::MagicInvalid});
  }
  if (packet.size() < kSize) return std::unexpected(MessageError{K::TooShort, packet.size(), kSize});
  if (packet[4] != kProtocolVersion) return std::unexpected(MessageError{K::VersionUnsupported, packet[4], kProtocolVersion});
  if ((packet[5] & ~kFlagArmed) != 0) return std::unexpected(MessageError{K::FlagsInvalid, packet[5]});
  return LongHeader(packet.data());
}

void LongHeader::write(std::span<std::uint8_t, kSize> out, MessageType type, bool armed, const NetworkId& network_id,
                       const PubKey& sender, Pow pow, const PubKey& recipient) noexcept {
  std::uint8_t* p = out.data();
  std::memcpy(p, kMagic.data(), kMagic.size());
  p[4] = kProtocolVersion;
  p[5] = armed ? kFlagArmed : 0;
  std::memcpy(p + kNetworkIdOffset, network_id.data(), network_id.size());
  std::memcpy(p + kRecipientOffset, recipient.data(), PubKey::kSize);
  std::memcpy(p + kSenderOffset, sender.data(), PubKey::kSize);
  wire::put_u32(p + kPowOffset, static_cast<std::uint32_t>(pow.to_i32()));
  p[kTypeOffset] = static_cast<std::uint8_t>(type);
}

NetworkId LongHeader::network_id() const noexcept {
  NetworkId id{};
  std::memcpy(id.data(), data_ + kNetworkIdOffset, id.size());
  return id;
}

Pow LongHeader::pow() const noexcept {
  return Pow::from_i32(static_cast<std::int32_t>(wire::get_u32(data_ + kPowOffset)));
}

std::optional<MessageType> LongHeader::type() const noexcept {
  const std::uint8_t t = type_byte();
  if (t > static_cast<std::uint8_t>(MessageType::Unite)) return std::nullopt;
  return static_cast<MessageType>(t);
}

}  // namespace velarix::p2p
