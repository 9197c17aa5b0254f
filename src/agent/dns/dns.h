#pragma once
// The embedded DNS responder's state: a catalog of A records for member host
// names in the overlay zone, and the overlay address it answers on.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "agent/config.h"
#include "network/config/ipv4_net.h"
#include "util/snapshot.h"

namespace velarix::agent {

inline constexpr std::uint32_t kDnsRecordTtl = 10;  // seconds

// An immutable zone catalog; replaced whole when host names change.
class DnsCatalog {
 public:
  // The zone origin with its final dot, "" while no zone was built.
  const std::string& origin() const noexcept { return origin_; }
  bool has_zone() const noexcept { return !origin_.empty(); }
  // The A records of a fully qualified name (final dot optional, any case).
  const std::vector<network::Ipv4Addr>* lookup(std::string_view name) const;
  std::size_t record_count() const noexcept;

 private:
  friend class AgentDns;
  std::string origin_;
  // Lower-cased owner name with its final dot -> addresses, in insertion order.
  std::unordered_map<std::string, std::vector<network::Ipv4Addr>> records_;
};

class AgentDns {
 public:
  AgentDns() = default;

  // A catalog of every network's desired host names.
  static DnsCatalog build_catalog(const NetworkMap& networks);

  std::optional<network::Ipv4Addr> server_ip() const noexcept;
  bool is_server_ip(network::Ipv4Addr ip) const noexcept;
  std::shared_ptr<const DnsCatalog> catalog() const { return catalog_.load(); }

  // Chooses the server address and, when host names changed, swaps in a new
  // catalog and records every network's host names as applied.
  void apply_desired_state(NetworkMap& networks);

 private:
  p2p::util::Snapshot<DnsCatalog> catalog_;
  std::atomic<std::uint32_t> server_ip_{0};
};

// The DNS server address a network provides: its broadcast address minus one
// (0.0.0.0 stays 0.0.0.0).
network::Ipv4Addr dns_server_address(const network::Ipv4Net& net) noexcept;

}  // namespace velarix::agent
