#include "node/error.h"

#include <fmt/format.h>

#include "util/text.h"

#include "message/long_header.h"
#include "util/hex.h"

namespace velarix::p2p {

namespace {

using velarix::util::Overloaded;

std::string endpoint_text(const boost::asio::ip::udp::endpoint& ep) {
  if (ep.address().is_v6()) return fmt::format("[{}]:{}", ep.address().to_string(), ep.port());
  return fmt::format("{}:{}", ep.address().to_string(), ep.port());
}

std::string type_text(std::uint8_t type) {
  if (type <= static_cast<std::uint8_t>(MessageType::Unite)) return std::string(message_type_name(type));
  return std::to_string(type);
}

}  // namespace

std::string PeerError::message() const {
  return std::visit(
      Overloaded{
          [](const Crypto& e) { return "Crypto error: " + e.inner.message(); },
          [](const SuperPeerLookupFailed& e) {
            return fmt::format("Failed to resolve super peer address {}: {}", e.address, e.reason);
          },
          [](const SuperPeerResolveTimeout& e) {
            return fmt::format("Timeout of {} ms exceeded while resolving super peer address {}", e.timeout_ms,
                               e.address);
          },
          [](const SuperPeerResolveEmpty&) { return std::string("Super peer address resolved to no addresses"); },
      },
      v_);
}

std::string Error::message() const {
  using util::hex::bytes_to_hex;
  return std::visit(
      Overloaded{
          [](const SendFailed& e) { return "Send failed: " + e.io.message(); },
          [](const MessageError& e) { return "Message error: " + e.inner.message(); },
          [](const PeerError& e) { return "Peer error: " + e.inner.message(); },
          [](const CryptoError& e) { return "Crypto error: " + e.inner.message(); },
          [](const BindParseError& e) { return "Invalid bind address: " + e.text; },
          [](const BindError& e) { return fmt::format("Failed to bind to {}: {}", endpoint_text(e.addr), e.io.message()); },
          [](const NetworkIdInvalid& e) { return "Invalid network id: " + bytes_to_hex(e.received); },
          [](const SuperPeerNetworkIdMismatch& e) {
            return fmt::format("Super peers have different network ids: {} and {}", bytes_to_hex(e.first),
                               bytes_to_hex(e.other));
          },
          [](const PowInvalid&) { return std::string("Invalid proof of work"); },
          [](const MessageUnarmed&) { return std::string("Message is unarmed but messages must be armed"); },
          [](const MessageArmed&) { return std::string("Message is armed but messages must be unarmed"); },
          [](const MessageTypeUnexpected& e) { return "Unexpected message type " + type_text(e.type); },
          [](const NoSuperPeers&) { return std::string("No super peers configured"); },
          [](const MessageInvalidRecipient&) { return std::string("Message is addressed to another node"); },
          [](const HelloTooOld& e) { return fmt::format("HELLO too old: sent at {} µs, now {} µs", e.time, e.now); },
          [](const AckTimeIsInFuture& e) {
            return fmt::format("ACK time is in the future: {} µs, now {} µs", e.time, e.now);
          },
          [](const AckTooOld& e) { return fmt::format("ACK too old: HELLO sent at {} µs, now {} µs", e.time, e.now); },
          [](const RecvBufDisconnected&) { return std::string("Receive buffer disconnected"); },
          [](const MessageTypeInvalid& e) { return fmt::format("Invalid message type {}", e.type); },
          [](const GetAddrsFailed& e) { return "Failed to get interface addresses: " + e.io.message(); },
          [](const SendingDirectError& e) {
            return fmt::format("Failed to send directly to {}: {}", endpoint_text(e.addr), e.io.message());
          },
          [](const SendingRelayedError& e) {
            return fmt::format("Failed to relay message to {} via super peer {}", e.recipient.to_string(),
                               e.super_peer.to_string());
          },
          [](const UdpLocalAddrError& e) { return "Failed to get local UDP address: " + e.io.message(); },
          [](const PeerNotPresent& e) { return fmt::format("Peer {} not present", e.key.to_string()); },
          [](const TcpShutdownError& e) { return "Failed to shut down TCP connection: " + e.io.message(); },
          [](const HousekeepingFailed& e) { return "Housekeeping failed: " + e.reason; },
          [](const HelloEndpointInvalid& e) { return "Invalid endpoint in HELLO: " + endpoint_text(e.endpoint); },
          [](const HelloAddressInvalid& e) { return "Invalid address in HELLO: " + e.address.to_string(); },
          [](const AppLenInvalid& e) {
            return fmt::format("Message of {} bytes exceeds the network MTU of {} bytes", e.len, e.mtu);
          },
          [](const PeersListCapacityExceeded& e) {
            return fmt::format("Peers list capacity exceeded: at most {} peers", e.max_peers);
          },
          [](const SuperPeerResolveWrongFamily& e) {
            return "Super peer address has the wrong address family: " + endpoint_text(e.addr);
          },
          [](const SendHandleAlreadyCreated& e) {
            return fmt::format("Send handle for {} already created", e.key.to_string());
          },
          [](const ShortIdOutdated&) { return std::string("Short id no longer matches a peer"); },
          [](const SendHandleClosed&) { return std::string("Send handle closed"); },
          [](const RecipientIsSuperPeer& e) { return fmt::format("Recipient {} is a super peer", e.key.to_string()); },
          [](const SendToSelf&) { return std::string("Cannot send to self"); },
          [](const HelloTimeIsInFuture& e) {
            return fmt::format("HELLO time is in the future: sent at {} µs, now {} µs", e.time, e.now);
          },
          [](const MessageReplayed&) { return std::string("Message was received before (replayed) or is too old"); },
          [](const AckUnmatched& e) {
            return fmt::format("ACK for a HELLO at {} µs that was not sent on its path", e.time);
          },
          [](const NewcomersThrottled& e) {
            return fmt::format("Too many messages from unknown senders: at most {} key exchanges per second",
                               e.per_second);
          },
      },
      v_);
}

std::string_view kind_name(Error::Kind kind) noexcept {
  static constexpr std::string_view kNames[] = {
      "SendFailed",         "MessageError",
      "PeerError",          "CryptoError",
      "BindParseError",     "BindError",
      "NetworkIdInvalid",   "SuperPeerNetworkIdMismatch",
      "PowInvalid",         "MessageUnarmed",
      "MessageArmed",       "MessageTypeUnexpected",
      "NoSuperPeers",       "MessageInvalidRecipient",
      "HelloTooOld",        "AckTimeIsInFuture",
      "AckTooOld",          "RecvBufDisconnected",
      "MessageTypeInvalid", "GetAddrsFailed",
      "SendingDirectError", "SendingRelayedError",
      "UdpLocalAddrError",  "PeerNotPresent",
      "TcpShutdownError",   "HousekeepingFailed",
      "HelloEndpointInvalid", "HelloAddressInvalid",
      "AppLenInvalid",      "PeersListCapacityExceeded",
      "SuperPeerResolveWrongFamily", "SendHandleAlreadyCreated",
      "ShortIdOutdated",    "SendHandleClosed",
      "RecipientIsSuperPeer", "SendToSelf",
      "HelloTimeIsInFuture", "MessageReplayed",
      "AckUnmatched",       "NewcomersThrottled",
  };
  static_assert(std::size(kNames) == Error::kAlternatives);
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(kNames) ? kNames[i] : "Unknown";
}

}  // namespace velarix::p2p
