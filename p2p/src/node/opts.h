#pragma once
// The options of a node and the builder that fills them.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "identity/identity.h"
#include "identity/super_peer_url.h"
#include "message/messages.h"
#include "node/message_sink.h"

namespace velarix::p2p {

// Defaults of the options.
inline constexpr std::size_t kDefaultUdpSockets = 3;
inline constexpr bool kDefaultArmMessages = true;
inline constexpr std::uint64_t kDefaultMaxPeers = 8192;
inline constexpr std::uint8_t kDefaultMinPowDifficulty = 24;
inline constexpr std::uint64_t kDefaultHelloTimeoutMs = 30'000;
inline constexpr std::uint64_t kDefaultHelloMaxAgeMs = 60'000;
inline constexpr bool kDefaultProcessUnites = true;
inline constexpr std::uint64_t kDefaultHousekeepingIntervalMs = 5'000;
inline constexpr bool kDefaultEnforceTcp = false;

// The largest message a node sends and receives. 1232 = 1280 (the IPv6 minimum
// MTU) - 40 (IPv6 header) - 8 (UDP header), so no datagram is ever fragmented,
// on IPv4 either. The agent's largest packets fit:
//   armed   APP: 79 (header) + 24 (nonce) + 1073 (packet) + 16 (tag) = 1192
//   unarmed APP: 79 (header) + 1121 (packet)                         = 1200
// and so do short-header messages (4 + 40 + 1073 = 1117, 4 + 1121 = 1125).
inline constexpr std::size_t kDefaultNetworkMtu = 1232;
// Every control message must fit: the largest is a UNITE or a HELLO to a super
// peer with the most (IPv6) endpoints, armed.
inline constexpr std::size_t kMinNetworkMtu =
    UniteMessage::kMaxWireSize > HelloSuperPeerMessage::kMaxWireSize ? UniteMessage::kMaxWireSize
                                                                     : HelloSuperPeerMessage::kMaxWireSize;
// No UDP datagram is larger.
inline constexpr std::size_t kMaxNetworkMtu = 65535;

struct NodeOpts {
  Identity identity;
  // Never null once built: a builder without a sink installs one that drops payloads.
  std::shared_ptr<MessageSink> message_sink;
  // Addresses to bind; empty: every address of the host.
  std::vector<boost::asio::ip::address> udp_addrs;
  // Port of every socket; absent: PubKey::udp_port of the own key; 0: chosen by the system.
  std::optional<std::uint16_t> udp_port;
  std::size_t udp_sockets = kDefaultUdpSockets;  // sockets bound per address
  bool arm_messages = kDefaultArmMessages;
  std::uint64_t max_peers = kDefaultMaxPeers;  // 0: no limit
  std::uint8_t min_pow_difficulty = kDefaultMinPowDifficulty;
  std::uint64_t hello_timeout = kDefaultHelloTimeoutMs;  // ms
  std::uint64_t hello_max_age = kDefaultHelloMaxAgeMs;   // ms
  std::vector<SuperPeerUrl> super_peers;
  std::size_t network_mtu = kDefaultNetworkMtu;  // bytes
  bool process_unites = kDefaultProcessUnites;
  std::uint64_t housekeeping_interval = kDefaultHousekeepingIntervalMs;  // ms
  bool enforce_tcp = kDefaultEnforceTcp;
};

struct NodeOptsBuilderError {
  enum class Kind : std::uint8_t {
    IdentityMissing,
    HousekeepingIntervalZero,
    NetworkMtuOutOfRange,
  };
  Kind kind;

  std::string message() const;
  friend bool operator==(const NodeOptsBuilderError&, const NodeOptsBuilderError&) = default;
};

// Fills NodeOpts; every option not set keeps its default, the super peers
// included (super_peers_default()).
class NodeOptsBuilder {
 public:
  NodeOptsBuilder& identity(Identity identity);
  NodeOptsBuilder& message_sink(std::shared_ptr<MessageSink> sink);
  NodeOptsBuilder& udp_addrs(std::vector<boost::asio::ip::address> addrs);
  NodeOptsBuilder& udp_port(std::optional<std::uint16_t> port);
  NodeOptsBuilder& udp_sockets(std::size_t sockets);
  NodeOptsBuilder& arm_messages(bool arm);
  NodeOptsBuilder& max_peers(std::uint64_t max_peers);
  NodeOptsBuilder& min_pow_difficulty(std::uint8_t difficulty);
  NodeOptsBuilder& hello_timeout(std::uint64_t ms);
  NodeOptsBuilder& hello_max_age(std::uint64_t ms);
  NodeOptsBuilder& super_peers(std::vector<SuperPeerUrl> super_peers);
  NodeOptsBuilder& network_mtu(std::size_t mtu);
  NodeOptsBuilder& process_unites(bool process);
  NodeOptsBuilder& housekeeping_interval(std::uint64_t ms);
  NodeOptsBuilder& enforce_tcp(bool enforce);

  // Refuses a missing identity, a housekeeping interval of 0 and a network MTU
  // outside kMinNetworkMtu..kMaxNetworkMtu.
  std::expected<NodeOpts, NodeOptsBuilderError> build() const;

 private:
  std::optional<Identity> identity_;
  std::shared_ptr<MessageSink> message_sink_;
  std::vector<boost::asio::ip::address> udp_addrs_;
  std::optional<std::uint16_t> udp_port_;
  std::size_t udp_sockets_ = kDefaultUdpSockets;
  bool arm_messages_ = kDefaultArmMessages;
  std::uint64_t max_peers_ = kDefaultMaxPeers;
  std::uint8_t min_pow_difficulty_ = kDefaultMinPowDifficulty;
  std::uint64_t hello_timeout_ = kDefaultHelloTimeoutMs;
  std::uint64_t hello_max_age_ = kDefaultHelloMaxAgeMs;
  std::optional<std::vector<SuperPeerUrl>> super_peers_;
  std::size_t network_mtu_ = kDefaultNetworkMtu;
  bool process_unites_ = kDefaultProcessUnites;
  std::uint64_t housekeeping_interval_ = kDefaultHousekeepingIntervalMs;
  bool enforce_tcp_ = kDefaultEnforceTcp;
};

}  // namespace velarix::p2p
