#pragma once
// What one node takes from a network's configuration besides its access
// rules: the routes it uses through other nodes, the destinations it serves
// as gateway, and the names of the nodes it may reach. Built by the
// `NetworkConfig` operations in routes.cpp.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "network/config/ipv4_net.h"

namespace velarix::network {

// The DNS zone under which member hostnames are answered, without a trailing dot.
inline constexpr std::string_view kOverlayDnsZone = "velarix.internal";

struct EffectiveRoute {
  Ipv4Net dest;
  Ipv4Addr gw;  // overlay address of the gateway node

  friend bool operator==(const EffectiveRoute&, const EffectiveRoute&) = default;

  // "EffectiveRoute { dest: 10.1.0.0/16, gw: 10.0.0.2 }"
  std::string debug() const;
};

// Destination network (equal to the route's `dest`) to route.
struct EffectiveRoutingList {
  std::unordered_map<Ipv4Net, EffectiveRoute> routes;

  friend bool operator==(const EffectiveRoutingList&, const EffectiveRoutingList&) = default;

  std::size_t size() const noexcept { return routes.size(); }
  bool empty() const noexcept { return routes.empty(); }
  auto begin() const noexcept { return routes.begin(); }
  auto end() const noexcept { return routes.end(); }

  // Table "Destination Gateway", sorted by destination.
  std::string to_string() const;
  // "EffectiveRoutingList({10.1.0.0/16: EffectiveRoute { ... }})", sorted.
  std::string debug() const;
};

// The destinations of the routes whose gateway is this node.
struct EffectiveForwardingList {
  std::unordered_set<Ipv4Net> networks;

  friend bool operator==(const EffectiveForwardingList&, const EffectiveForwardingList&) = default;

  std::size_t size() const noexcept { return networks.size(); }
  bool empty() const noexcept { return networks.empty(); }
  auto begin() const noexcept { return networks.begin(); }
  auto end() const noexcept { return networks.end(); }

  // "EffectiveForwardingList({10.1.0.0/16, ...})", sorted.
  std::string debug() const;
};

// Overlay address to hostname, exactly as configured (case kept).
struct HostnameList {
  std::unordered_map<Ipv4Addr, std::string> hostnames;

  friend bool operator==(const HostnameList&, const HostnameList&) = default;

  std::size_t size() const noexcept { return hostnames.size(); }
  bool empty() const noexcept { return hostnames.empty(); }
  auto begin() const noexcept { return hostnames.begin(); }
  auto end() const noexcept { return hostnames.end(); }

  // Table "IP Hostname" with fully qualified names, sorted by address.
  std::string to_string() const;
  // "HostnameList({10.0.0.1: \"web\", ...})", sorted by address.
  std::string debug() const;
};

}  // namespace velarix::network
