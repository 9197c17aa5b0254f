#include "agent/node_settings.h"

#include "util/system.h"

namespace velarix::agent {

NodeSettings NodeSettings::from_env() {
  using p2p::util::get_env;
  return NodeSettings{
      .min_pow_difficulty = get_env<std::uint8_t>("MIN_POW_DIFFICULTY", 24),
      .arm_messages = get_env<bool>("ARM_MESSAGES", true),
      .udp_addrs = get_env<std::string>("UDP_ADDRS", ""),
      .udp_port = get_env<std::string>("UDP_PORT", ""),
      .max_peers = get_env<std::uint64_t>("MAX_PEERS", 8192),
      .hello_timeout = get_env<std::uint64_t>("HELLO_TIMEOUT", 30000),
      .hello_max_age = get_env<std::uint64_t>("HELLO_MAX_AGE", 60000),
      .udp_sockets = get_env<std::size_t>("UDP_SOCKETS", 3),
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
