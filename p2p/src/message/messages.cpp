#include "message/messages.h"

#include <cstring>

#include "message/armor.h"
#include "message/wire_io.h"

namespace velarix::p2p {

namespace {

using K = MessageError::Kind;

std::expected<void, MessageError> expect_length(std::span<const std::uint8_t> body, std::size_t want) noexcept {
  if (body.size() < want) {
    return std::unexpected(MessageError{K::TooShort, LongHeader::kSize + body.size(), LongHeader::kSize + want});
  }
  if (body.size() > want) {
    return std::unexpected(MessageError{K::LengthMismatch, LongHeader::kSize + body.size(), LongHeader::kSize + want});
  }
  return {};
}

// Builds into a buffer of its own through the matching build_into.
template <class BuildInto>
std::expected<std::vector<std::uint8_t>, MessageError> build_owned(std::size_t size, BuildInto&& build_into) {
  if (size > kMaxMessageSize + armor::kOverhead) {
    return std::unexpected(MessageError{K::Oversized, size, kMaxMessageSize});
  }
  std::vector<std::uint8_t> out(size);
  auto n = build_into(std::span<std::uint8_t>(out));
  if (!n) return std::unexpected(n.error());
  out.resize(*n);
  return out;
}

}  // namespace

// --- ACK ------------------------------------------------------------------------

std::expected<AckMessage, MessageError> AckMessage::parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                          const MessageKey& key) noexcept {
  auto plain = armor::open_long(body, header, MessageType::Ack, key);
  if (!plain) return std::unexpected(plain.error());
  if (auto ok = expect_length(*plain, kBodySize); !ok) return std::unexpected(ok.error());
  return AckMessage(wire::get_u64(plain->data()));
}

std::expected<std::size_t, MessageError> AckMessage::build_into(std::span<std::uint8_t> out,
                                                                const NetworkId& network_id, const PubKey& sender,
                                                                Pow pow, const MessageKey& key,
                                                                const PubKey& recipient, std::uint64_t time) noexcept {
  auto region = armor::begin_long(out, MessageType::Ack, network_id, sender, pow, key, recipient, kBodySize);
  if (!region) return std::unexpected(region.error());
  wire::put_u64(region->data(), time);
  return armor::seal(out, LongHeader::kSize, *region, *region, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> AckMessage::build(const NetworkId& network_id,
                                                                         const PubKey& sender, Pow pow,
                                                                         const MessageKey& key,
                                                                         const PubKey& recipient, std::uint64_t time) {
  return build_owned(wire_size(key.has_value()), [&](std::span<std::uint8_t> out) {
    return build_into(out, network_id, sender, pow, key, recipient, time);
  });
}

// --- APP ------------------------------------------------------------------------

std::expected<AppMessage, MessageError> AppMessage::parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                          const MessageKey& key) noexcept {
  auto plain = armor::open_long(body, header, MessageType::App, key);
  if (!plain) return std::unexpected(plain.error());
  return AppMessage(*plain);
}

std::expected<std::size_t, MessageError> AppMessage::build_into(std::span<std::uint8_t> out,
                                                                const NetworkId& network_id, const PubKey& sender,
                                                                Pow pow, const MessageKey& key,
                                                                const PubKey& recipient,
                                                                std::span<const std::uint8_t> payload) noexcept {
  auto region = armor::begin_long(out, MessageType::App, network_id, sender, pow, key, recipient, payload.size());
  if (!region) return std::unexpected(region.error());
  return armor::seal(out, LongHeader::kSize, *region, payload, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> AppMessage::build(const NetworkId& network_id,
                                                                         const PubKey& sender, Pow pow,
                                                                         const MessageKey& key,
                                                                         const PubKey& recipient,
                                                                         std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxMessageSize) return std::unexpected(MessageError{K::Oversized, payload.size(), kMaxMessageSize});
  return build_owned(wire_size(key.has_value(), payload.size()), [&](std::span<std::uint8_t> out) {
    return build_into(out, network_id, sender, pow, key, recipient, payload);
  });
}

// --- HELLO to a node peer -------------------------------------------------------------

std::expected<HelloNodePeerMessage, MessageError> HelloNodePeerMessage::parse(std::span<std::uint8_t> body,
                                                                              const LongHeader& header,
                                                                              const MessageKey& key) noexcept {
  auto plain = armor::open_long(body, header, MessageType::Hello, key);
  if (!plain) return std::unexpected(plain.error());
  if (auto ok = expect_length(*plain, kBodySize); !ok) return std::unexpected(ok.error());
  return HelloNodePeerMessage(wire::get_u64(plain->data()), ShortId(wire::get_u32(plain->data() + 8)));
}

std::expected<std::size_t, MessageError> HelloNodePeerMessage::build_into(
    std::span<std::uint8_t> out, const NetworkId& network_id, const PubKey& sender, Pow pow, const MessageKey& key,
    const PubKey& recipient, std::uint64_t time, ShortId rx_short_id) noexcept {
  auto region = armor::begin_long(out, MessageType::Hello, network_id, sender, pow, key, recipient, kBodySize);
  if (!region) return std::unexpected(region.error());
  wire::put_u64(region->data(), time);
  wire::put_u32(region->data() + 8, rx_short_id.value());
  return armor::seal(out, LongHeader::kSize, *region, *region, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> HelloNodePeerMessage::build(
    const NetworkId& network_id, const PubKey& sender, Pow pow, const MessageKey& key, const PubKey& recipient,
    std::uint64_t time, ShortId rx_short_id) {
  return build_owned(wire_size(key.has_value()), [&](std::span<std::uint8_t> out) {
    return build_into(out, network_id, sender, pow, key, recipient, time, rx_short_id);
  });
}

// --- HELLO to a super peer ------------------------------------------------------------

std::size_t HelloSuperPeerMessage::wire_size(bool armed, std::span<const Endpoint> endpoints) noexcept {
  return LongHeader::kSize + (armed ? armor::kOverhead : 0) + 8 + EndpointList::encoded_size(endpoints);
}

std::expected<HelloSuperPeerMessage, MessageError> HelloSuperPeerMessage::parse(std::span<std::uint8_t> body,
                                                                                const LongHeader& header,
                                                                                const MessageKey& key) noexcept {
  auto plain = armor::open_long(body, header, MessageType::Hello, key);
  if (!plain) return std::unexpected(plain.error());
  if (plain->size() < 8 + 1) {
    return std::unexpected(MessageError{K::TooShort, LongHeader::kSize + plain->size(), LongHeader::kSize + 8 + 1});
  }
  auto eps = EndpointList::parse(plain->subspan(8));
  if (!eps) return std::unexpected(eps.error());
  return HelloSuperPeerMessage(wire::get_u64(plain->data()), *eps);
}

std::expected<std::size_t, MessageError> HelloSuperPeerMessage::build_into(
    std::span<std::uint8_t> out, const NetworkId& network_id, const PubKey& sender, Pow pow, const MessageKey& key,
    const PubKey& recipient, std::uint64_t time, std::span<const Endpoint> endpoints) noexcept {
  if (auto ok = EndpointList::check(endpoints); !ok) return std::unexpected(ok.error());
  const std::size_t body_len = 8 + EndpointList::encoded_size(endpoints);
  auto region = armor::begin_long(out, MessageType::Hello, network_id, sender, pow, key, recipient, body_len);
  if (!region) return std::unexpected(region.error());
  wire::put_u64(region->data(), time);
  EndpointList::encode(region->data() + 8, endpoints);
  return armor::seal(out, LongHeader::kSize, *region, *region, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> HelloSuperPeerMessage::build(
    const NetworkId& network_id, const PubKey& sender, Pow pow, const MessageKey& key, const PubKey& recipient,
    std::uint64_t time, std::span<const Endpoint> endpoints) {
  if (auto ok = EndpointList::check(endpoints); !ok) return std::unexpected(ok.error());
  return build_owned(wire_size(key.has_value(), endpoints), [&](std::span<std::uint8_t> out) {
    return build_into(out, network_id, sender, pow, key, recipient, time, endpoints);
  });
}

// --- UNITE ----------------------------------------------------------------------------

std::size_t UniteMessage::wire_size(bool armed, std::span<const Endpoint> endpoints) noexcept {
  return LongHeader::kSize + (armed ? armor::kOverhead : 0) + PubKey::kSize + EndpointList::encoded_size(endpoints);
}

std::expected<UniteMessage, MessageError> UniteMessage::parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                              const MessageKey& key) noexcept {
  auto plain = armor::open_long(body, header, MessageType::Unite, key);
  if (!plain) return std::unexpected(plain.error());
  if (plain->size() < PubKey::kSize + 1) {
    return std::unexpected(
        MessageError{K::TooShort, LongHeader::kSize + plain->size(), LongHeader::kSize + PubKey::kSize + 1});
  }
  auto eps = EndpointList::parse(plain->subspan(PubKey::kSize));
  if (!eps) return std::unexpected(eps.error());
  return UniteMessage(PubKey::from_bytes(plain->data()), *eps);
}

std::expected<std::size_t, MessageError> UniteMessage::build_into(std::span<std::uint8_t> out,
                                                                  const NetworkId& network_id, const PubKey& sender,
                                                                  Pow pow, const MessageKey& key,
                                                                  const PubKey& recipient, const PubKey& peer,
                                                                  std::span<const Endpoint> endpoints) noexcept {
  if (auto ok = EndpointList::check(endpoints); !ok) return std::unexpected(ok.error());
  const std::size_t body_len = PubKey::kSize + EndpointList::encoded_size(endpoints);
  auto region = armor::begin_long(out, MessageType::Unite, network_id, sender, pow, key, recipient, body_len);
  if (!region) return std::unexpected(region.error());
  std::memcpy(region->data(), peer.data(), PubKey::kSize);
  EndpointList::encode(region->data() + PubKey::kSize, endpoints);
  return armor::seal(out, LongHeader::kSize, *region, *region, key);
}

std::expected<std::vector<std::uint8_t>, MessageError> UniteMessage::build(
    const NetworkId& network_id, const PubKey& sender, Pow pow, const MessageKey& key, const PubKey& recipient,
    const PubKey& peer, std::span<const Endpoint> endpoints) {
  if (auto ok = EndpointList::check(endpoints); !ok) return std::unexpected(ok.error());
  return build_owned(wire_size(key.has_value(), endpoints), [&](std::span<std::uint8_t> out) {
    return build_into(out, network_id, sender, pow, key, recipient, peer, endpoints);
  });
}

}  // namespace velarix::p2p
