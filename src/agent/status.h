#pragma once
// The status report: a snapshot of the running agent (or of a configuration
// alone), copied out of the agent so that rendering it takes no lock, and its
// plain-text form for people.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "agent/config.h"
#include "agent/url.h"
#include "identity/identity.h"
#include "network/network.h"
#include "node/message_sink.h"
#include "node/opts.h"
#include "node/pow_status.h"
#include "node/short_id.h"
#include "peer/path.h"
#include "peer/super_peer.h"
#include "version_info.h"

namespace velarix::agent {

class Agent;
struct AgentInner;

enum class AgentStatus : std::uint8_t { CONNECTED = 0, DISCONNECTED = 1 };

std::string_view to_string(AgentStatus s) noexcept;

struct ControllerStatus {
  std::string url;       // the configured API endpoint, else the default
  std::string auth_url;  // the configured authorisation server, else the default
  std::optional<std::string> logged_in_as;
  std::optional<std::string> shared_secret;  // masked unless secrets are asked for
  ControllerConnectionStatus connection_status;
};

using PathSnapshots = std::unordered_map<p2p::PeerPathKey, p2p::PeerPathInner, p2p::PeerPathKeyHash>;

struct SuperPeerStatus {
  std::optional<p2p::PeerPathInner> tcp_path;  // the TCP link's path, when there is a link
  std::string address;
  std::optional<p2p::ResolvedAddrs> resolved_addrs;
  std::uint16_t port = 0;
  std::optional<p2p::PeerPathKey> best_udp_path;
  PathSnapshots udp_paths;
  bool reachable = false;

  static SuperPeerStatus new_(const p2p::SuperPeer& super_peer);
  // The block under the super peer's key; it holds no secret, so the flag changes nothing.
  std::string to_string_with_secrets(bool with_secrets) const;
  // The same against `now_ns` (nanoseconds since the Unix epoch).
  std::string to_string_at(std::uint64_t now_ns) const;
};

struct NodePeerStatus {
  std::optional<p2p::PeerPathKey> best_path;
  PathSnapshots direct_paths;
  std::unordered_map<p2p::PubKey, p2p::PeerPathInner> relay_paths;  // by relaying super peer
  std::uint64_t created_at = 0;                                     // µs since the Unix epoch
  std::uint64_t app_tx = 0;                                         // 0: never
  std::uint64_t app_rx = 0;                                         // 0: never
  p2p::PubKey best_relay;
  p2p::ShortId rx_short_id;
  std::optional<p2p::ShortId> tx_short_id;
  bool reachable = false;
  p2p::PowStatus pow_state = p2p::PowStatus::Unknw;

  // Reachability is judged with a fixed 30 s HELLO timeout, whatever the node's option.
  static NodePeerStatus new_(const p2p::NodePeer& node_peer);
  std::string to_string_with_secrets(bool with_secrets) const;
  std::string to_string_at(std::uint64_t now_ns) const;
};

struct NetworkStatus {
  std::optional<std::string> name;
  network::AgentState desired_state;
  network::AgentState current_state;
  network::NetworkHealth health;
  bool disabled = false;

  static NetworkStatus new_(const network::Network& network);
  // The block under the network's URL. Without secrets, credentials inside
  // URLs that error messages quote are masked.
  std::string to_string_with_secrets(bool with_secrets) const;

  // One line on the network's health for people ("Ok", "Config Error - ...").
  static std::string status_text(const NetworkStatus& status);
  // True for the networks the controller adds and removes ("controller" URLs).
  static bool is_controller_managed(const Url& url);
};

struct Status {
  VersionInfo version;
  p2p::NodeOpts node_opts;
  std::unordered_map<p2p::PubKey, SuperPeerStatus> super_peers;
  std::unordered_map<p2p::PubKey, NodePeerStatus> node_peers;
  ControllerStatus controller;
  std::unordered_map<Url, NetworkStatus> networks;
  std::optional<std::string> update_available;
  std::string config_path;
  AgentStatus agent_status = AgentStatus::DISCONNECTED;
  p2p::PubKey default_route;
  std::optional<std::chrono::nanoseconds> time_deviation;
  std::uint16_t tun_mtu = 0;
  bool dns_disabled = false;

  // Copies what the report shows out of a running agent: its node's options
  // and peers lock-free, its networks and settings under one short read lock
  // of the state (so it waits for at most one housekeeping step). An agent
  // whose token is cancelled (shut down or stopped) reports DISCONNECTED.
  static boost::asio::awaitable<Status> from_agent(std::shared_ptr<AgentInner> inner);
  static boost::asio::awaitable<Status> from_agent(const Agent& agent);

  // The status of a configuration with no agent running: node options from
  // the environment settings and the configuration, no peers, no networks.
  static std::expected<Status, std::string> from_config(const AgentConfig& config, std::string config_path);

  // The whole report. Without secrets the node's secret key and the
  // controller's shared secret print as "****" and network URLs are masked.
  std::string to_string_with_secrets(bool with_secrets) const;
};

// `url` with user name and password replaced by "****" when it has either;
// otherwise its text unchanged.
std::string mask_url(const Url& url);

// The six lines of one path record (the last without a line feed).
std::string format_path(const p2p::PeerPathInner& path);
std::string format_path(const p2p::PeerPathInner& path, std::uint64_t now_ns);

// Drops every payload: the sink of node options built without a node.
class StatusMessageSink final : public p2p::MessageSink {
 public:
  void accept(const p2p::PubKey& sender, std::span<const std::uint8_t> payload) override;
};

}  // namespace velarix::agent
