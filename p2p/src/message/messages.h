#pragma once
// The long-header messages. Each has `parse` (given the body, that is the bytes
// after the 79-byte long header, the parsed header and the sender's session key
// or none) and `build_into` / `build` (given network id, sender key, sender's
// proof of work, the session key or none, the recipient key and the message's
// own fields). With a key the body is armed: encrypted and authenticated
// together with the header; without one it travels in the clear.
//
// Parsing an armed message decrypts its body in place: on success the body
// bytes hold the plaintext, and the parsed message's spans point into them.
// `build_into` writes into a caller's buffer without allocating and returns the
// length; `build` returns a buffer of its own.
//
// Bodies (plaintext, big-endian numbers; times in microseconds since the Unix epoch):
//   ACK     time of the HELLO answered (8)
//   APP     payload (the rest)
//   HELLO   to a node peer:  time (8) | sender's rx short id (4)
//           to a super peer: time (8) | sender's endpoint candidates (list)
//   UNITE   other node's public key (32) | its endpoint candidates (list)
// Endpoint lists: see endpoints.h.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/endpoints.h"
#include "message/long_header.h"
#include "message/message_error.h"
#include "node/short_id.h"

namespace velarix::p2p {

using MessageKey = std::optional<crypto::SessionKey>;

// Answer to a HELLO; echoes the HELLO's time so that the sender can measure the
// round trip and tell a fresh answer from a stale one.
class AckMessage {
 public:
  static constexpr std::size_t kBodySize = 8;
  static constexpr std::size_t wire_size(bool armed) noexcept {
    return LongHeader::kSize + (armed ? 40 : 0) + kBodySize;
  }

  static std::expected<AckMessage, MessageError> parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                       const MessageKey& key) noexcept;
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, const NetworkId& network_id,
                                                             const PubKey& sender, Pow pow, const MessageKey& key,
                                                             const PubKey& recipient, std::uint64_t time) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(const NetworkId& network_id,
                                                                      const PubKey& sender, Pow pow,
                                                                      const MessageKey& key, const PubKey& recipient,
                                                                      std::uint64_t time);

  std::uint64_t time() const noexcept { return time_; }

 private:
  explicit AckMessage(std::uint64_t time) : time_(time) {}
  std::uint64_t time_;
};

// Application payload with a long header, sent before a short id is known or
// when relayed through a super peer.
class AppMessage {
 public:
  // Where the payload starts in a built message.
  static constexpr std::size_t payload_offset(bool armed) noexcept { return LongHeader::kSize + (armed ? 24 : 0); }
  static constexpr std::size_t wire_size(bool armed, std::size_t payload_len) noexcept {
    return LongHeader::kSize + (armed ? 40 : 0) + payload_len;
  }

  static std::expected<AppMessage, MessageError> parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                       const MessageKey& key) noexcept;
  // `payload` may already lie at `out.subspan(payload_offset(armed))` (then it is
  // not copied); no other overlap with `out` is allowed.
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, const NetworkId& network_id,
                                                             const PubKey& sender, Pow pow, const MessageKey& key,
                                                             const PubKey& recipient,
                                                             std::span<const std::uint8_t> payload) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(const NetworkId& network_id,
                                                                      const PubKey& sender, Pow pow,
                                                                      const MessageKey& key, const PubKey& recipient,
                                                                      std::span<const std::uint8_t> payload);

  std::span<const std::uint8_t> payload() const noexcept { return payload_; }

 private:
  explicit AppMessage(std::span<const std::uint8_t> payload) : payload_(payload) {}
  std::span<const std::uint8_t> payload_;
};

// HELLO from one node to another: keeps a path alive and tells the peer which
// short id to use towards the sender.
class HelloNodePeerMessage {
 public:
  static constexpr std::size_t kBodySize = 8 + ShortId::kSize;
  static constexpr std::size_t wire_size(bool armed) noexcept {
    return LongHeader::kSize + (armed ? 40 : 0) + kBodySize;
  }

  static std::expected<HelloNodePeerMessage, MessageError> parse(std::span<std::uint8_t> body,
                                                                 const LongHeader& header,
                                                                 const MessageKey& key) noexcept;
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, const NetworkId& network_id,
                                                             const PubKey& sender, Pow pow, const MessageKey& key,
                                                             const PubKey& recipient, std::uint64_t time,
                                                             ShortId rx_short_id) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(const NetworkId& network_id,
                                                                      const PubKey& sender, Pow pow,
                                                                      const MessageKey& key, const PubKey& recipient,
                                                                      std::uint64_t time, ShortId rx_short_id);

  std::uint64_t time() const noexcept { return time_; }
  // The short id the sender accepts from the recipient (0: none yet).
  ShortId short_id() const noexcept { return short_id_; }

 private:
  HelloNodePeerMessage(std::uint64_t time, ShortId id) : time_(time), short_id_(id) {}
  std::uint64_t time_;
  ShortId short_id_;
};

// HELLO from a node to a super peer: keeps the path alive and tells the super
// peer the node's endpoint candidates, which it passes on in UNITEs.
class HelloSuperPeerMessage {
 public:
  static std::size_t wire_size(bool armed, std::span<const Endpoint> endpoints) noexcept;
  static constexpr std::size_t kMaxWireSize = LongHeader::kSize + 40 + 8 + kMaxEndpointListSize;

  static std::expected<HelloSuperPeerMessage, MessageError> parse(std::span<std::uint8_t> body,
                                                                  const LongHeader& header,
                                                                  const MessageKey& key) noexcept;
  // Refuses more than kMaxEndpoints endpoints.
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, const NetworkId& network_id,
                                                             const PubKey& sender, Pow pow, const MessageKey& key,
                                                             const PubKey& recipient, std::uint64_t time,
                                                             std::span<const Endpoint> endpoints) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(const NetworkId& network_id,
                                                                      const PubKey& sender, Pow pow,
                                                                      const MessageKey& key, const PubKey& recipient,
                                                                      std::uint64_t time,
                                                                      std::span<const Endpoint> endpoints);

  std::uint64_t time() const noexcept { return time_; }
  const EndpointList& endpoints() const noexcept { return endpoints_; }

 private:
  HelloSuperPeerMessage(std::uint64_t time, EndpointList eps) : time_(time), endpoints_(eps) {}
  std::uint64_t time_;
  EndpointList endpoints_;
};

// From a super peer to a node: another node's key and endpoint candidates, so
// that the two can try a direct path.
class UniteMessage {
 public:
  static std::size_t wire_size(bool armed, std::span<const Endpoint> endpoints) noexcept;
  static constexpr std::size_t kMaxWireSize = LongHeader::kSize + 40 + PubKey::kSize + kMaxEndpointListSize;

  static std::expected<UniteMessage, MessageError> parse(std::span<std::uint8_t> body, const LongHeader& header,
                                                         const MessageKey& key) noexcept;
  // Refuses more than kMaxEndpoints endpoints.
  static std::expected<std::size_t, MessageError> build_into(std::span<std::uint8_t> out, const NetworkId& network_id,
                                                             const PubKey& sender, Pow pow, const MessageKey& key,
                                                             const PubKey& recipient, const PubKey& peer,
                                                             std::span<const Endpoint> endpoints) noexcept;
  static std::expected<std::vector<std::uint8_t>, MessageError> build(const NetworkId& network_id,
                                                                      const PubKey& sender, Pow pow,
                                                                      const MessageKey& key, const PubKey& recipient,
                                                                      const PubKey& peer,
                                                                      std::span<const Endpoint> endpoints);

  // The node the recipient is introduced to.
  const PubKey& peer() const noexcept { return peer_; }
  const EndpointList& endpoints() const noexcept { return endpoints_; }

 private:
  UniteMessage(const PubKey& peer, EndpointList eps) : peer_(peer), endpoints_(eps) {}
  PubKey peer_;
  EndpointList endpoints_;
};

}  // namespace velarix::p2p
