#include "agent/node_settings.h"

#include "agent/env_settings.h"

namespace velarix::agent {

NodeSettings NodeSettings::from_env() {
  return NodeSettings{
      .min_pow_difficulty = env::kMinPowDifficulty.read(),
      .arm_messages = env::kArmMessages.read(),
      .udp_addrs = env::kUdpAddrs.read(),
      .udp_port = env::kUdpPort.read(),
      .max_peers = env::kMaxPeers.read(),
      .hello_timeout = env::kHelloTimeout.read(),
      .hello_max_age = env::kHelloMaxAge.read(),
      .udp_sockets = env::kUdpSockets.read(),
  };
}

p2p::NodeOptsBuilder NodeSettings::builder(const AgentConfig& config,
                                           std::vector<boost::asio::ip::address> addrs) const {
  p2p::NodeOptsBuilder b;
  b.identity(config.identity)
      .super_peers(config.super_peers ? *config.super_peers : p2p::super_peers_default())
      .udp_addrs(std::move(addrs))
      .max_peers(max_peers)
      .min_pow_difficulty(min_pow_difficulty)
      .arm_messages(arm_messages)
      .hello_timeout(hello_timeout)
      .hello_max_age(hello_max_age)
      .udp_sockets(udp_sockets);
  return b;
}

}  // namespace velarix::agent
