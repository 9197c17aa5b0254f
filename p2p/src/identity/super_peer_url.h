#pragma once
// The configured address of a super peer: host, port, its public key and the
// overlay network id it serves.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "identity/identity.h"

namespace velarix::p2p {

struct SuperPeerUrlError {
  enum class Kind : std::uint8_t {
    InvalidScheme,
    MissingHost,
    InvalidPort,
    MissingPublicKey,
    InvalidPublicKey,
    MissingNetworkId,
    InvalidNetworkId,
    UnknownParameter,
  };
  Kind kind;
  std::string detail;

  std::string message() const;
};

// Text form: "udp://HOST:PORT?publicKey=HEX64&networkId=N" (HOST may be an IPv6
// literal in brackets, N a decimal 32-bit number).
class SuperPeerUrl {
 public:
  static std::expected<SuperPeerUrl, SuperPeerUrlError> parse(std::string_view text);

  // "HOST:PORT", as handed to the resolver.
  const std::string& addr() const noexcept { return addr_; }
  const std::string& host() const noexcept { return host_; }
  std::uint16_t port() const noexcept { return port_; }
  const PubKey& pk() const noexcept { return pk_; }
  std::uint32_t network_id() const noexcept { return network_id_; }

  std::string to_string() const;

  friend bool operator==(const SuperPeerUrl&, const SuperPeerUrl&) = default;

 private:
  std::string host_;
  std::string addr_;
  std::uint16_t port_ = 0;
  PubKey pk_;
  std::uint32_t network_id_ = 0;
};

// The super peers a node uses when its configuration names none.
const std::vector<SuperPeerUrl>& super_peers_default();

}  // namespace velarix::p2p
