#pragma once
// The network configuration document: one overlay network's address range,
// member nodes, routes behind gateway nodes and access policies, and the
// controller's document that lists several of them.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "identity/identity.h"
#include "network/config/error.h"
#include "network/config/ipv4_net.h"
#include "network/config/uuid.h"
#include "util/keyed_hash.h"

namespace velarix::network {

// Group names, compared exactly (case-sensitive); keyed hashes, as for every
// map of names a document's author chooses.
using GroupSet = std::unordered_set<std::string, p2p::util::KeyedHash, std::equal_to<>>;

struct NetworkNode {
  p2p::PubKey pk;
  Ipv4Addr ip;
  std::string hostname;  // exactly as written; lower-cased only for comparisons
  GroupSet groups;

  friend bool operator==(const NetworkNode&, const NetworkNode&) = default;
};

struct NetworkRoute {
  Ipv4Net dest;
  p2p::PubKey gw;
  GroupSet groups;  // empty: every node may use the route

  friend bool operator==(const NetworkRoute&, const NetworkRoute&) = default;
};

// Two policies are equal when both sides hold the same names, in whatever
// order they were listed.
struct NetworkPolicy {
  GroupSet source_groups;
  GroupSet destination_groups;

  friend bool operator==(const NetworkPolicy&, const NetworkPolicy&) = default;
};

}  // namespace velarix::network

template <>
struct std::hash<velarix::network::NetworkPolicy> {
  std::size_t operator()(const velarix::network::NetworkPolicy& p) const noexcept;
};

namespace velarix::network {

using NodeMap = std::unordered_map<p2p::PubKey, NetworkNode>;  // keyed by the node's pk
using RouteMap = std::unordered_map<Ipv4Net, NetworkRoute>;     // keyed by the route's dest
using PolicySet = std::unordered_set<NetworkPolicy>;
// Group name to the keys of the nodes that carry it.
using GroupMap = std::unordered_map<std::string, std::unordered_set<p2p::PubKey>, p2p::util::KeyedHash, std::equal_to<>>;

// Derived lists, defined with the access rules and routes.
struct EffectiveAccessRuleList;
struct EffectiveRoutingList;
struct EffectiveForwardingList;
struct HostnameList;

struct NetworkConfig {
  std::optional<Uuid> id;
  Ipv4Net network;  // host bits kept as written
  std::optional<std::string> name;
  NodeMap node;
  RouteMap route;
  PolicySet policy;

  friend bool operator==(const NetworkConfig&, const NetworkConfig&) = default;

  // Reads and validates a single-network TOML document. Extra keys are
  // ignored. Reading failures come back as `ConfigError::TomlError`.
  static std::expected<NetworkConfig, ConfigError> try_from(std::string_view toml_text);

  // Read one configuration without validation.
  static std::expected<NetworkConfig, ReadError> from_toml(std::string_view text);
  static std::expected<NetworkConfig, ReadError> from_json(std::string_view text);
  static std::expected<NetworkConfig, ReadError> from_json_value(const nlohmann::json& value);

  // Access policy and derived lists (access_rules.cpp, routes.cpp).
  bool matching_policy(const p2p::PubKey& a, const p2p::PubKey& b) const;
  std::expected<EffectiveAccessRuleList, ConfigError> effective_access_rule_list(
      const p2p::PubKey& my_key) const;
  std::expected<EffectiveRoutingList, ConfigError> effective_routing_list(
      const p2p::PubKey& my_key) const;
  EffectiveForwardingList effective_forwarding_list(const p2p::PubKey& my_key) const;
  HostnameList hostnames(const p2p::PubKey& my_key) const;
  GroupMap groups() const;
  std::optional<Ipv4Addr> ip(const p2p::PubKey& key) const;
};

// The controller's document: one configuration per network this node belongs
// to, in document order. Read, not validated.
struct MultiNetworkConfig {
  std::vector<NetworkConfig> network;

  friend bool operator==(const MultiNetworkConfig&, const MultiNetworkConfig&) = default;

  static std::expected<MultiNetworkConfig, ReadError> from_toml(std::string_view text);
  static std::expected<MultiNetworkConfig, ReadError> from_json(std::string_view text);
  static std::expected<MultiNetworkConfig, ReadError> from_json_value(const nlohmann::json& value);
};

}  // namespace velarix::network
