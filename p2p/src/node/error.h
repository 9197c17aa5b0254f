#pragma once
// Errors of the peer-to-peer node: the node `Error` and the peer error.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/message_error.h"

namespace velarix::p2p {

class PeerError {
 public:
  struct Crypto {
    CryptoError inner;
  };
  struct SuperPeerLookupFailed {
    std::string address;
    std::string reason;  // the resolver's error text
  };
  struct SuperPeerResolveTimeout {
    std::string address;
    std::uint64_t timeout_ms;
  };
  struct SuperPeerResolveEmpty {};

  using Variant = std::variant<Crypto, SuperPeerLookupFailed, SuperPeerResolveTimeout, SuperPeerResolveEmpty>;
  enum class Kind : std::uint8_t { Crypto, SuperPeerLookupFailed, SuperPeerResolveTimeout, SuperPeerResolveEmpty };

  template <class T>
    requires std::is_constructible_v<Variant, T&&>
  PeerError(T&& alternative) : v_(std::forward<T>(alternative)) {}
  PeerError(CryptoError e) : v_(Crypto{e}) {}

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  template <class T>
  const T* get() const noexcept {
    return std::get_if<T>(&v_);
  }
  const Variant& variant() const noexcept { return v_; }
  std::string message() const;

 private:
  Variant v_;
};

class Error {
 public:
  using NetworkIdBytes = std::array<std::uint8_t, 4>;
  using UdpEndpoint = boost::asio::ip::udp::endpoint;

  struct SendFailed {
    std::error_code io;
  };
  struct MessageError {
    p2p::MessageError inner;
  };
  struct PeerError {
    p2p::PeerError inner;
  };
  struct CryptoError {
    p2p::CryptoError inner;
  };
  struct BindParseError {
    std::string text;  // what could not be read as a bind address
  };
  struct BindError {
    std::error_code io;
    UdpEndpoint addr;
  };
  struct NetworkIdInvalid {
    NetworkIdBytes received;
  };
  struct SuperPeerNetworkIdMismatch {
    NetworkIdBytes first;
    NetworkIdBytes other;
  };
  struct PowInvalid {};
  struct MessageUnarmed {};
  struct MessageArmed {};
  struct MessageTypeUnexpected {
    std::uint8_t type;
  };
  struct NoSuperPeers {};
  struct MessageInvalidRecipient {};
  struct HelloTooOld {
    std::uint64_t time;  // the HELLO's time, µs since the Unix epoch
    std::uint64_t now;
  };
  struct AckTimeIsInFuture {
    std::uint64_t time;  // the echoed time, µs since the Unix epoch
    std::uint64_t now;
  };
  struct AckTooOld {
    std::uint64_t time;
    std::uint64_t now;
  };
  struct RecvBufDisconnected {};
  struct MessageTypeInvalid {
    std::uint8_t type;
  };
  struct GetAddrsFailed {
    std::error_code io;
  };
  struct SendingDirectError {
    std::error_code io;
    UdpEndpoint addr;
  };
  struct SendingRelayedError {
    PubKey super_peer;
    PubKey recipient;
  };
  struct UdpLocalAddrError {
    std::error_code io;
  };
  struct PeerNotPresent {
    PubKey key;
  };
  struct TcpShutdownError {
    std::error_code io;
  };
  struct HousekeepingFailed {
    std::string reason;
  };
  struct HelloEndpointInvalid {
    UdpEndpoint endpoint;
  };
  struct HelloAddressInvalid {
    boost::asio::ip::address address;
  };
  struct AppLenInvalid {
    std::size_t len;
    std::size_t mtu;
  };
  struct PeersListCapacityExceeded {
    std::uint64_t max_peers;
  };
  struct SuperPeerResolveWrongFamily {
    UdpEndpoint addr;
  };
  struct SendHandleAlreadyCreated {
    PubKey key;
  };
  struct ShortIdOutdated {};
  struct SendHandleClosed {};
  struct RecipientIsSuperPeer {
    PubKey key;
  };
  struct SendToSelf {};
  struct HelloTimeIsInFuture {
    std::uint64_t time;
    std::uint64_t now;
  };
  struct MessageReplayed {};
  struct AckUnmatched {
    std::uint64_t time;
  };
  struct NewcomersThrottled {
    std::uint32_t per_second;  // key exchanges allowed for unknown senders
  };

  using Variant =
      std::variant<SendFailed, MessageError, PeerError, CryptoError, BindParseError, BindError, NetworkIdInvalid,
                   SuperPeerNetworkIdMismatch, PowInvalid, MessageUnarmed, MessageArmed, MessageTypeUnexpected,
                   NoSuperPeers, MessageInvalidRecipient, HelloTooOld, AckTimeIsInFuture, AckTooOld,
                   RecvBufDisconnected, MessageTypeInvalid, GetAddrsFailed, SendingDirectError, SendingRelayedError,
                   UdpLocalAddrError, PeerNotPresent, TcpShutdownError, HousekeepingFailed, HelloEndpointInvalid,
                   HelloAddressInvalid, AppLenInvalid, PeersListCapacityExceeded, SuperPeerResolveWrongFamily,
                   SendHandleAlreadyCreated, ShortIdOutdated, SendHandleClosed, RecipientIsSuperPeer, SendToSelf,
                   HelloTimeIsInFuture, MessageReplayed, AckUnmatched, NewcomersThrottled>;

  // Same order as the alternatives of Variant.
  enum class Kind : std::uint8_t {
    SendFailed,
    MessageError,
    PeerError,
    CryptoError,
    BindParseError,
    BindError,
    NetworkIdInvalid,
    SuperPeerNetworkIdMismatch,
    PowInvalid,
    MessageUnarmed,
    MessageArmed,
    MessageTypeUnexpected,
    NoSuperPeers,
    MessageInvalidRecipient,
    HelloTooOld,
    AckTimeIsInFuture,
    AckTooOld,
    RecvBufDisconnected,
    MessageTypeInvalid,
    GetAddrsFailed,
    SendingDirectError,
    SendingRelayedError,
    UdpLocalAddrError,
    PeerNotPresent,
    TcpShutdownError,
    HousekeepingFailed,
    HelloEndpointInvalid,
    HelloAddressInvalid,
    AppLenInvalid,
    PeersListCapacityExceeded,
    SuperPeerResolveWrongFamily,
    SendHandleAlreadyCreated,
    ShortIdOutdated,
    SendHandleClosed,
    RecipientIsSuperPeer,
    SendToSelf,
    HelloTimeIsInFuture,
    MessageReplayed,
    AckUnmatched,
    NewcomersThrottled,
  };
  static constexpr std::size_t kAlternatives = std::variant_size_v<Variant>;

  template <class T>
    requires std::is_constructible_v<Variant, T&&>
  Error(T&& alternative) : v_(std::forward<T>(alternative)) {}
  // The inner errors convert to the alternative that carries them.
  Error(p2p::MessageError e) : v_(MessageError{e}) {}
  Error(p2p::PeerError e) : v_(PeerError{std::move(e)}) {}
  Error(p2p::CryptoError e) : v_(CryptoError{e}) {}

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  template <class T>
  const T* get() const noexcept {
    return std::get_if<T>(&v_);
  }
  const Variant& variant() const noexcept { return v_; }
  std::string message() const;

 private:
  Variant v_;
};

// The name of an alternative ("SendFailed", ...).
std::string_view kind_name(Error::Kind kind) noexcept;

}  // namespace velarix::p2p
