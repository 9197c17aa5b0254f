#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node/error.h"

namespace velarix::p2p {
namespace {

namespace ip = boost::asio::ip;

PubKey key(std::uint8_t fill) {
  PubKey::Bytes b{};
  b.fill(fill);
  return PubKey(b);
}

TEST(NodeError, EveryAlternativeInOrderWithItsText) {
  const auto refused = std::make_error_code(std::errc::connection_refused);
  const auto refused_text = refused.message();
  const ip::udp::endpoint v4(ip::make_address("192.0.2.1"), 4000);
  const ip::udp::endpoint v6(ip::make_address("2001:db8::1"), 53);
  const std::string k1 = key(0x11).to_string();
  const std::string k2 = key(0x22).to_string();
  struct Case {
    Error error;
    Error::Kind kind;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Error::SendFailed{refused}, Error::Kind::SendFailed, "Send failed: " + refused_text},
      {Error::MessageError{{MessageError::Kind::AuthFailed}}, Error::Kind::MessageError,
       "Message error: Message authentication failed"},
      {Error::PeerError{PeerError::SuperPeerResolveEmpty{}}, Error::Kind::PeerError,
       "Peer error: Super peer address resolved to no addresses"},
      {Error::CryptoError{{CryptoError::Kind::KeyConversionFailed}}, Error::Kind::CryptoError,
       "Crypto error: Failed to convert Ed25519 key to Curve25519"},
      {Error::BindParseError{"1.2.3"}, Error::Kind::BindParseError, "Invalid bind address: 1.2.3"},
      {Error::BindError{refused, v6}, Error::Kind::BindError, "Failed to bind to [2001:db8::1]:53: " + refused_text},
      {Error::NetworkIdInvalid{{0xde, 0xad, 0xbe, 0xef}}, Error::Kind::NetworkIdInvalid, "Invalid network id: deadbeef"},
      {Error::SuperPeerNetworkIdMismatch{{0, 0, 0, 1}, {0, 0, 0, 2}}, Error::Kind::SuperPeerNetworkIdMismatch,
       "Super peers have different network ids: 00000001 and 00000002"},
      {Error::PowInvalid{}, Error::Kind::PowInvalid, "Invalid proof of work"},
      {Error::MessageUnarmed{}, Error::Kind::MessageUnarmed, "Message is unarmed but messages must be armed"},
      {Error::MessageArmed{}, Error::Kind::MessageArmed, "Message is armed but messages must be unarmed"},
      {Error::MessageTypeUnexpected{3}, Error::Kind::MessageTypeUnexpected, "Unexpected message type UNITE"},
      {Error::NoSuperPeers{}, Error::Kind::NoSuperPeers, "No super peers configured"},
      {Error::MessageInvalidRecipient{}, Error::Kind::MessageInvalidRecipient, "Message is addressed to another node"},
      {Error::HelloTooOld{10, 70'000'010}, Error::Kind::HelloTooOld, "HELLO too old: sent at 10 µs, now 70000010 µs"},
      {Error::AckTimeIsInFuture{20, 10}, Error::Kind::AckTimeIsInFuture, "ACK time is in the future: 20 µs, now 10 µs"},
      {Error::AckTooOld{1, 2}, Error::Kind::AckTooOld, "ACK too old: HELLO sent at 1 µs, now 2 µs"},
      {Error::RecvBufDisconnected{}, Error::Kind::RecvBufDisconnected, "Receive buffer disconnected"},
      {Error::MessageTypeInvalid{4}, Error::Kind::MessageTypeInvalid, "Invalid message type 4"},
      {Error::GetAddrsFailed{refused}, Error::Kind::GetAddrsFailed, "Failed to get interface addresses: " + refused_text},
      {Error::SendingDirectError{refused, v4}, Error::Kind::SendingDirectError,
       "Failed to send directly to 192.0.2.1:4000: " + refused_text},
      {Error::SendingRelayedError{key(0x11), key(0x22)}, Error::Kind::SendingRelayedError,
       "Failed to relay message to " + k2 + " via super peer " + k1},
      {Error::UdpLocalAddrError{refused}, Error::Kind::UdpLocalAddrError,
       "Failed to get local UDP address: " + refused_text},
      {Error::PeerNotPresent{key(0x11)}, Error::Kind::PeerNotPresent, "Peer " + k1 + " not present"},
      {Error::TcpShutdownError{refused}, Error::Kind::TcpShutdownError,
       "Failed to shut down TCP connection: " + refused_text},
      {Error::HousekeepingFailed{"boom"}, Error::Kind::HousekeepingFailed, "Housekeeping failed: boom"},
      {Error::HelloEndpointInvalid{v4}, Error::Kind::HelloEndpointInvalid, "Invalid endpoint in HELLO: 192.0.2.1:4000"},
      {Error::HelloAddressInvalid{ip::make_address("0.0.0.0")}, Error::Kind::HelloAddressInvalid,
       "Invalid address in HELLO: 0.0.0.0"},
      {Error::AppLenInvalid{1233, 1232}, Error::Kind::AppLenInvalid,
       "Message of 1233 bytes exceeds the network MTU of 1232 bytes"},
      {Error::PeersListCapacityExceeded{2}, Error::Kind::PeersListCapacityExceeded,
       "Peers list capacity exceeded: at most 2 peers"},
      {Error::SuperPeerResolveWrongFamily{v6}, Error::Kind::SuperPeerResolveWrongFamily,
       "Super peer address has the wrong address family: [2001:db8::1]:53"},
      {Error::SendHandleAlreadyCreated{key(0x11)}, Error::Kind::SendHandleAlreadyCreated,
       "Send handle for " + k1 + " already created"},
      {Error::ShortIdOutdated{}, Error::Kind::ShortIdOutdated, "Short id no longer matches a peer"},
      {Error::SendHandleClosed{}, Error::Kind::SendHandleClosed, "Send handle closed"},
      {Error::RecipientIsSuperPeer{key(0x22)}, Error::Kind::RecipientIsSuperPeer, "Recipient " + k2 + " is a super peer"},
      {Error::SendToSelf{}, Error::Kind::SendToSelf, "Cannot send to self"},
      {Error::HelloTimeIsInFuture{5, 1}, Error::Kind::HelloTimeIsInFuture,
       "HELLO time is in the future: sent at 5 µs, now 1 µs"},
      {Error::MessageReplayed{}, Error::Kind::MessageReplayed, "Message was received before (replayed) or is too old"},
      {Error::AckUnmatched{7}, Error::Kind::AckUnmatched, "ACK for a HELLO at 7 µs that was not sent on its path"},
      {Error::NewcomersThrottled{512}, Error::Kind::NewcomersThrottled,
       "Too many messages from unknown senders: at most 512 key exchanges per second"},
  };
  ASSERT_EQ(cases.size(), Error::kAlternatives);
  ASSERT_EQ(Error::kAlternatives, 40u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(static_cast<std::size_t>(c.kind), i) << "order of " << kind_name(c.kind);
    EXPECT_EQ(c.error.kind(), c.kind) << kind_name(c.kind);
    EXPECT_EQ(c.error.message(), c.text) << kind_name(c.kind);
  }
  EXPECT_EQ(kind_name(Error::Kind::SendFailed), "SendFailed");
  EXPECT_EQ(kind_name(Error::Kind::SendToSelf), "SendToSelf");
}

TEST(NodeError, InnerErrorsConvertAndKeepTheirPayload) {
  const Error m = MessageError{MessageError::Kind::TooShort, 3, 79};
  ASSERT_EQ(m.kind(), Error::Kind::MessageError);
  EXPECT_EQ(m.get<Error::MessageError>()->inner.actual, 3u);
  const Error c = CryptoError{CryptoError::Kind::KeyExchangeFailed};
  EXPECT_EQ(c.message(), "Crypto error: Key exchange failed");
  const Error p = PeerError(CryptoError{CryptoError::Kind::KeyExchangeFailed});
  EXPECT_EQ(p.message(), "Peer error: Crypto error: Key exchange failed");
  const Error len = Error::AppLenInvalid{1300, 1232};
  ASSERT_NE(len.get<Error::AppLenInvalid>(), nullptr);
  EXPECT_EQ(len.get<Error::AppLenInvalid>()->len, 1300u);
  EXPECT_EQ(len.get<Error::SendToSelf>(), nullptr);
  // Usable as the error of a result.
  std::expected<int, Error> r = std::unexpected(Error::NoSuperPeers{});
  EXPECT_EQ(r.error().kind(), Error::Kind::NoSuperPeers);
}

TEST(PeerError, Texts) {
  struct Case {
    PeerError error;
    PeerError::Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {PeerError::Crypto{{CryptoError::Kind::KeyConversionFailed}}, PeerError::Kind::Crypto,
       "Crypto error: Failed to convert Ed25519 key to Curve25519"},
      {PeerError::SuperPeerLookupFailed{"sp.example:4000", "host not found"}, PeerError::Kind::SuperPeerLookupFailed,
       "Failed to resolve super peer address sp.example:4000: host not found"},
      {PeerError::SuperPeerResolveTimeout{"sp.example:4000", 5000}, PeerError::Kind::SuperPeerResolveTimeout,
       "Timeout of 5000 ms exceeded while resolving super peer address sp.example:4000"},
      {PeerError::SuperPeerResolveEmpty{}, PeerError::Kind::SuperPeerResolveEmpty,
       "Super peer address resolved to no addresses"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.text);
  }
  EXPECT_EQ(cases[2].error.get<PeerError::SuperPeerResolveTimeout>()->timeout_ms, 5000u);
}

}  // namespace
}  // namespace velarix::p2p
