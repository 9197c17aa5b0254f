#pragma once
// The embedded DNS responder: a catalog of A records for member host names in
// the overlay zone, the overlay address it answers on, and the answering of
// queries that the TUN reader hands over.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "agent/config.h"
#include "agent/ip_packet.h"
#include "agent/tun_device.h"
#include "network/config/ipv4_net.h"
#include "util/keyed_hash.h"
#include "util/log_limiter.h"
#include "util/snapshot.h"

namespace velarix::agent {

inline constexpr std::uint32_t kDnsRecordTtl = 10;  // seconds
inline constexpr std::uint16_t kDnsPort = 53;

// An immutable zone catalog; replaced whole when host names change. Names are
// kept in lower-cased wire form (length-prefixed labels, closing zero byte), so
// a query's name is looked up without conversion or allocation.
class DnsCatalog {
 public:
  // Where a name stands in the catalog.
  enum class Match {
    OutsideZone,  // not the zone or below it (or no zone built yet)
    NoName,       // below the zone, but nothing there
    NoRecords,    // exists (the apex, or a name with records below it) but holds no A record
    Records,      // holds A records
  };
  struct Found {
    Match match = Match::OutsideZone;
    const std::vector<network::Ipv4Addr>* addrs = nullptr;  // set for Records
  };

  // The zone origin with its final dot, "" while no zone was built.
  const std::string& origin() const noexcept { return origin_; }
  bool has_zone() const noexcept { return !origin_.empty(); }
  std::size_t record_count() const noexcept;

  // Looks up a name in lower-cased wire form; never allocates.
  Found find_wire(std::string_view lower_wire) const noexcept;
  // The A records of a name in text form (final dot optional, any case).
  const std::vector<network::Ipv4Addr>* lookup(std::string_view name) const;

 private:
  friend class AgentDns;
  // Names come from network documents: keyed, so nobody can make them collide.
  using Hash = p2p::util::KeyedHash;

  std::string origin_;
  std::string origin_wire_;
  // Owner name -> addresses, in insertion order.
  std::unordered_map<std::string, std::vector<network::Ipv4Addr>, Hash, std::equal_to<>> records_;
  // The apex and every name between an owner and the apex: they exist without records.
  std::unordered_set<std::string, Hash, std::equal_to<>> empty_names_;
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

  // For the TUN reader, on a packet without a route: is it UDP to port 53 of
  // the server address? One atomic load, no allocation.
  bool is_dns_query(const Ipv4Header& ip) const noexcept;
  // Answers a packet that `is_dns_query` accepted; the packet is consumed
  // whatever happens to it. `ip` views the reader's buffer, which must stay
  // untouched until this completes.
  boost::asio::awaitable<void> divert(Ipv4Header ip, TunDevice& device) const;

  // Answers one UDP datagram sent to the server: decodes the query, answers it
  // from the current catalog and writes the answer to `device` as an IPv4/UDP
  // packet from dst:dst_port back to src:src_port. Undecodable datagrams and
  // DNS responses get no answer. Never fails.
  boost::asio::awaitable<void> on_packet(std::span<const std::uint8_t> payload, TunDevice& device,
                                         network::Ipv4Addr src, network::Ipv4Addr dst, std::uint16_t src_port,
                                         std::uint16_t dst_port) const;

 private:
  p2p::util::Snapshot<DnsCatalog> catalog_;
  std::atomic<std::uint32_t> server_ip_{0};
  mutable p2p::util::LogLimiter decode_failures_;
};

// The DNS server address a network provides: its broadcast address minus one
// (0.0.0.0 stays 0.0.0.0).
network::Ipv4Addr dns_server_address(const network::Ipv4Net& net) noexcept;

}  // namespace velarix::agent
