#pragma once
// The node's environment settings, read in one place for the agent that binds
// a node and for the status that shows the options a node would get.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "agent/config.h"
#include "node/opts.h"

namespace velarix::agent {

struct NodeSettings {
  std::uint8_t min_pow_difficulty;
  bool arm_messages;
  std::string udp_addrs;  // as written: the agent refuses a bad list, the status shows none
  std::string udp_port;
  std::uint64_t max_peers;
  std::uint64_t hello_timeout;  // ms
  std::uint64_t hello_max_age;  // ms
  std::size_t udp_sockets;

  // Missing or unreadable variables take their defaults.
  static NodeSettings from_env();

  // Options from these settings and the configuration (identity, super peers,
  // or the default list); the caller adds the port (the agent and the status
  // read its text by different rules), its message sink and what else it sets.
  p2p::NodeOptsBuilder builder(const AgentConfig& config, std::vector<boost::asio::ip::address> addrs) const;
};

}  // namespace velarix::agent
