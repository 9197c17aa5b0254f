#include "node/opts.h"

#include <fmt/format.h>

namespace velarix::p2p {

namespace {

// Stands in when no sink was given, so the node never has to check for one.
class DiscardingSink final : public MessageSink {
 public:
  void accept(const PubKey&, std::span<const std::uint8_t>) override {}
};

}  // namespace

std::string NodeOptsBuilderError::message() const {
  switch (kind) {
    case Kind::IdentityMissing: return "Node options need an identity";
    case Kind::HousekeepingIntervalZero: return "Housekeeping interval must be greater than 0";
    case Kind::NetworkMtuOutOfRange:
      return fmt::format("Network MTU must be between {} and {} bytes", kMinNetworkMtu, kMaxNetworkMtu);
  }
  return "Invalid node options";
}

NodeOptsBuilder& NodeOptsBuilder::identity(Identity identity) {
  identity_.emplace(std::move(identity));
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::message_sink(std::shared_ptr<MessageSink> sink) {
  message_sink_ = std::move(sink);
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::udp_addrs(std::vector<boost::asio::ip::address> addrs) {
  udp_addrs_ = std::move(addrs);
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::udp_port(std::optional<std::uint16_t> port) {
  udp_port_ = port;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::udp_sockets(std::size_t sockets) {
  udp_sockets_ = sockets;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::arm_messages(bool arm) {
  arm_messages_ = arm;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::max_peers(std::uint64_t max_peers) {
  max_peers_ = max_peers;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::min_pow_difficulty(std::uint8_t difficulty) {
  min_pow_difficulty_ = difficulty;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::hello_timeout(std::uint64_t ms) {
  hello_timeout_ = ms;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::hello_max_age(std::uint64_t ms) {
  hello_max_age_ = ms;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::super_peers(std::vector<SuperPeerUrl> super_peers) {
  super_peers_ = std::move(super_peers);
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::network_mtu(std::size_t mtu) {
  network_mtu_ = mtu;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::process_unites(bool process) {
  process_unites_ = process;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::housekeeping_interval(std::uint64_t ms) {
  housekeeping_interval_ = ms;
  return *this;
}
NodeOptsBuilder& NodeOptsBuilder::enforce_tcp(bool enforce) {
  enforce_tcp_ = enforce;
  return *this;
}

std::expected<NodeOpts, NodeOptsBuilderError> NodeOptsBuilder::build() const {
  using K = NodeOptsBuilderError::Kind;
  if (!identity_) return std::unexpected(NodeOptsBuilderError{K::IdentityMissing});
  if (housekeeping_interval_ == 0) return std::unexpected(NodeOptsBuilderError{K::HousekeepingIntervalZero});
  if (network_mtu_ < kMinNetworkMtu || network_mtu_ > kMaxNetworkMtu) {
    return std::unexpected(NodeOptsBuilderError{K::NetworkMtuOutOfRange});
  }
  return NodeOpts{
      .identity = *identity_,
      .message_sink = message_sink_ ? message_sink_ : std::make_shared<DiscardingSink>(),
      .udp_addrs = udp_addrs_,
      .udp_port = udp_port_,
      .udp_sockets = udp_sockets_,
      .arm_messages = arm_messages_,
      .max_peers = max_peers_,
      .min_pow_difficulty = min_pow_difficulty_,
      .hello_timeout = hello_timeout_,
      .hello_max_age = hello_max_age_,
      .super_peers = super_peers_ ? *super_peers_ : super_peers_default(),
      .network_mtu = network_mtu_,
      .process_unites = process_unites_,
      .housekeeping_interval = housekeeping_interval_,
      .enforce_tcp = enforce_tcp_,
  };
}

}  // namespace velarix::p2p
