#pragma once
// What the host must configure on its device: this node's overlay addresses,
// the routes into the TUN device and the embedded DNS server.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/tun_device.h"
#include "network/config/ipv4_net.h"

namespace velarix::agent {

struct NetworkChange {
  std::optional<std::vector<network::Ipv4Net>> ips;
  std::optional<std::vector<network::Ipv4Net>> routes;
  std::optional<network::Ipv4Addr> dns_server;

  friend bool operator==(const NetworkChange&, const NetworkChange&) = default;

  // "NetworkChange { ips: Some([10.0.0.2/24]), routes: Some([]), dns_server: None }"
  std::string debug() const;
};

// The texts the host's callback receives: "a.b.c.d/len" joined by ",", and the
// DNS server as a dotted quad; an absent item is "".
struct NetworkChangeTexts {
  std::string ips;
  std::string routes;
  std::string dns_server;
};
NetworkChangeTexts to_texts(const NetworkChange& change);

// What the host hands to the agent besides its configuration.
struct PlatformDependent {
  std::shared_ptr<TunDevice> tun_device;  // none when the host gave no device
  std::function<void(NetworkChange)> network_change_callback;
};

}  // namespace velarix::agent
