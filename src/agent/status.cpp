// Gathering the status snapshot, and the report built from it.

#include "agent/status.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "agent/agent.h"
#include "agent/inner.h"
#include "agent/node_settings.h"
#include "agent/status_format.h"
#include "util/log.h"
#include "util/system.h"
#include "util/utf8.h"

namespace velarix::agent {

namespace {

constexpr std::string_view kOnlyWhenUp = "Information only available when agent is UP";
// A clock further off than this keeps the node from the overlay.
constexpr std::uint64_t kMaxTimeDeviationNs = 45'000'000'000;

ControllerStatus controller_status(const std::optional<ControllerConfig>& config, bool running) {
  if (!config) {
    return ControllerStatus{.url = std::string(kDefaultControllerUrl),
                            .auth_url = std::string(kDefaultAuthUrl),
                            .logged_in_as = std::nullopt,
                            .shared_secret = std::nullopt,
                            .connection_status = {ControllerConnectionStatus::Kind::LoggedOut, {}}};
  }
  ControllerStatus s{.url = config->url_or_default(),
                     .auth_url = config->auth_url_or_default(),
                     .logged_in_as = config->display_login_email,
                     .shared_secret = config->shared_secret,
                     .connection_status = config->connection_status};
  if (!running) {
    s.connection_status = {config->shared_secret && config->display_login_email
                               ? ControllerConnectionStatus::Kind::Initializing
                               : ControllerConnectionStatus::Kind::LoggedOut,
                           {}};
  }
  return s;
}

// Map keys in the order the report lists them.
template <class Map, class Less>
std::vector<typename Map::const_pointer> sorted(const Map& map, Less less) {
  std::vector<typename Map::const_pointer> rows;
  rows.reserve(map.size());
  for (const auto& entry : map) rows.push_back(&entry);
  std::sort(rows.begin(), rows.end(), [&](const auto* a, const auto* b) { return less(a->first, b->first); });
  return rows;
}

}  // namespace

std::string_view to_string(AgentStatus s) noexcept {
  return s == AgentStatus::CONNECTED ? "CONNECTED" : "DISCONNECTED";
}

void StatusMessageSink::accept(const p2p::PubKey& /*sender*/, std::span<const std::uint8_t> /*payload*/) {}

std::string mask_url(const Url& url) {
  const std::string_view user = url.username();
  const std::string_view password = url.password();
  if (user.empty() && password.empty()) return url.as_str();
  // Both views point into the URL's text: the credentials run from the user
  // name's start to the end of whichever part comes last, right before the "@".
  const std::string& text = url.as_str();
  const auto from = static_cast<std::size_t>(user.data() - text.data());
  const auto to = static_cast<std::size_t>((password.empty() ? user.data() + user.size()
                                                             : password.data() + password.size()) -
                                           text.data());
  return text.substr(0, from) + "****:****" + text.substr(to);
}

// ---------------------------------------------------------------------------
// Gathering

boost::asio::awaitable<Status> Status::from_agent(const Agent& agent) { return from_agent(agent.inner()); }

boost::asio::awaitable<Status> Status::from_agent(std::shared_ptr<AgentInner> inner) {
  const auto& node = *inner->node;
  p2p::NodeOpts node_opts = node.opts();

  log::trace("Getting peers");
  auto& peers = node.peers_list();
  const p2p::PubKey default_route = peers.default_route();
  std::unordered_map<p2p::PubKey, SuperPeerStatus> super_peers;
  std::unordered_map<p2p::PubKey, NodePeerStatus> node_peers;
  const auto map = peers.peers.snapshot();
  for (const auto& [key, peer] : *map) {
    if (const auto* sp = p2p::as_super_peer(peer)) {
      super_peers.insert_or_assign(key, SuperPeerStatus::new_(**sp));
    } else if (const auto* np = p2p::as_node_peer(peer)) {
      node_peers.insert_or_assign(key, NodePeerStatus::new_(**np));
    }
  }

  // One read of the state: a second would wait again behind a housekeeping
  // step that holds the write lock, and could see a later state than the first.
  log::trace("Locking state to get status");
  std::unordered_map<Url, NetworkStatus> networks;
  std::optional<std::chrono::nanoseconds> time_deviation;
  std::optional<std::string> update_available;
  ControllerStatus controller;
  {
    auto guard = co_await inner->state_lock.read();
    const State& state = inner->state;
    const auto& configured = state.config.network;
    networks.reserve(configured.size());
    for (const auto& [url, network] : configured) networks.insert_or_assign(url, NetworkStatus::new_(network));
    log::trace("Networks retrieved");
    time_deviation = state.time_deviation;
    update_available = state.update_available;
    controller = controller_status(state.config.controller, true);
  }

  // A stopped agent (shut down, or a runner ended) is not connected, whatever its node still holds.
  const auto agent_status =
      inner->cancellation_token.is_cancelled() ? AgentStatus::DISCONNECTED : AgentStatus::CONNECTED;
  Status status{.version = VersionInfo::new_(),
                .node_opts = std::move(node_opts),
                .super_peers = std::move(super_peers),
                .node_peers = std::move(node_peers),
                .controller = std::move(controller),
                .networks = std::move(networks),
                .update_available = std::move(update_available),
                .config_path = inner->config_path,
                .agent_status = agent_status,
                .default_route = default_route,
                .time_deviation = time_deviation,
                .tun_mtu = inner->mtu,
                .dns_disabled = inner->dns == nullptr};
  log::trace("Status generated");
  co_return status;
}

std::expected<Status, std::string> Status::from_config(const AgentConfig& config, std::string config_path) {
  const auto settings = NodeSettings::from_env();
  // Only shown, never bound: a bad address list shows as empty rather than failing.
  auto udp_addrs = p2p::util::parse_udp_addrs(settings.udp_addrs);
  // The status reads the port text leniently: blanks around it are allowed.
  std::optional<std::uint16_t> udp_port;
  if (const auto text = util::utf8::trim(settings.udp_port); !text.empty()) {
    if (auto v = p2p::util::parse_unsigned(text, 65535)) udp_port = static_cast<std::uint16_t>(*v);
  }
  auto opts = settings.builder(config, udp_addrs ? std::move(*udp_addrs) : std::vector<boost::asio::ip::address>{})
                  .udp_port(udp_port)
                  .message_sink(std::make_shared<StatusMessageSink>())
                  .build();
  if (!opts) return std::unexpected(std::string("Failed to build node opts"));

  return Status{.version = VersionInfo::new_(),
                .node_opts = std::move(*opts),
                .super_peers = {},
                .node_peers = {},
                .controller = controller_status(config.controller, false),
                .networks = {},
                .update_available = std::nullopt,
                .config_path = std::move(config_path),
                .agent_status = AgentStatus::DISCONNECTED,
                .default_route = config.identity.pk(),
                .time_deviation = std::nullopt,
                .tun_mtu = config.mtu ? *config.mtu : AgentConfig::default_mtu(),
                .dns_disabled = config.dns && config.dns->disabled.value_or(false)};
}

// ---------------------------------------------------------------------------
// The report

std::string Status::to_string_with_secrets(bool with_secrets) const {
  const bool up = agent_status == AgentStatus::CONNECTED;
  const auto& opts = node_opts;
  std::string out;
  const auto line = [&out](std::string_view text) {
    out += text;
    out.push_back('\n');
  };

  line("Info:");
  line("  Version: " + version.version + " (" + version.full_commit() + ")");
  line("  Built: " + version.build_timestamp);
  line("  Profile: " + version.profile());
  line("  Features: " + version.features);
  if (update_available) line("  Update Available: " + one_line(*update_available));
  line(fmt::format("  Agent Status: {}", to_string(agent_status)));
  line("");

  line("Config:");
  line("  Config Path: " + one_line(config_path));
  line("  Identity:");
  line("    Secret Key: " + (with_secrets ? opts.identity.sk().to_string() : std::string("****")));
  line("    Public Key: " + opts.identity.pk().to_string());
  line("    PoW: " + opts.identity.pow().to_string());
  line("  UDP:");
  std::vector<std::string> addrs;
  addrs.reserve(opts.udp_addrs.size());
  for (const auto& a : opts.udp_addrs) addrs.push_back(a.to_string());
  line(fmt::format("    Addresses: {}", fmt::join(addrs, ", ")));
  if (!opts.udp_port) {
    line(fmt::format("    Port: {} (derived from own public key)", opts.identity.pk().udp_port()));
  } else if (*opts.udp_port == 0) {
    line("    Port: random");
  } else {
    line(fmt::format("    Port: {}", *opts.udp_port));
  }
  line(fmt::format("    Sockets: {}", opts.udp_sockets));
  line(fmt::format("  Arm Messages: {}", opts.arm_messages));
  line(fmt::format("  Max. Peers: {}", opts.max_peers));
  line(fmt::format("  Min. PoW Difficulty: {}", opts.min_pow_difficulty));
  line("  HELLO Timeout: " + format_duration(std::chrono::milliseconds(opts.hello_timeout)));
  line("  HELLO Max. Age: " + format_duration(std::chrono::milliseconds(opts.hello_max_age)));
  line("  Super Peers:");
  for (const auto& sp : opts.super_peers) line("    " + one_line(sp.to_string()));
  line(fmt::format("  Network MTU: {}", opts.network_mtu));
  line(dns_disabled ? "  DNS: disabled" : "  DNS: enabled");
  line(fmt::format("  Process UNITEs: {}", opts.process_unites));
  line("  Housekeeping Interval: " + format_duration(std::chrono::milliseconds(opts.housekeeping_interval)));
  line(fmt::format("  Enforce TCP: {}", opts.enforce_tcp));
  line(fmt::format("  TUN MTU: {}", tun_mtu));

  line("Time Synchronization:");
  if (!up) {
    line(fmt::format("  {}", kOnlyWhenUp));
  } else if (!time_deviation) {
    line("  Deviation: Unable to determine (SNTP check failed)");
  } else {
    const auto count = time_deviation->count();
    // Either side of the true time counts; the magnitude of any count fits unsigned.
    const std::uint64_t ns =
        count < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    line("  Deviation: " + format_duration(*time_deviation));
    if (ns > kMaxTimeDeviationNs) {
      line(fmt::format(
          "  ERROR: System time deviation exceeds threshold ({}s), connectivity with P2P network may be lost!",
          ns / 1'000'000'000u));
    }
  }
  line("");

  line("Controller:");
  line("  URL: " + one_line(controller.url));
  line("  Auth URL: " + one_line(controller.auth_url));
  line("  Logged in as: " + (controller.logged_in_as ? one_line(*controller.logged_in_as) : std::string("None")));
  if (!controller.shared_secret) {
    line("  HMAC Auth Shared Secret: None");
  } else {
    line("  HMAC Auth Shared Secret: " + (with_secrets ? one_line(*controller.shared_secret) : std::string("****")));
  }
  if (!up) {
    line(fmt::format("  Connection Status: {}", kOnlyWhenUp));
  } else {
    auto cs = controller.connection_status;
    if (!with_secrets) cs.message = mask_url_credentials(cs.message);
    cs.message = one_line(cs.message);
    line("  Connection Status: " + cs.to_string());
  }
  line("");

  line("Default Route: " + default_route.to_string());
  const auto entries = [&](const auto& map, auto less, auto key_text, auto block) {
    if (!up) {
      line(fmt::format("  {}", kOnlyWhenUp));
      return;
    }
    for (const auto* entry : sorted(map, less)) {
      line("  " + key_text(entry->first) + ":");
      append_lines(out, block(entry->second), "    ");
    }
  };
  const auto key_less = [](const p2p::PubKey& a, const p2p::PubKey& b) { return a < b; };
  const auto key_text = [](const p2p::PubKey& k) { return k.to_string(); };
  line("Super Peers:");
  entries(super_peers, key_less, key_text,
          [&](const SuperPeerStatus& s) { return s.to_string_with_secrets(with_secrets); });
  line("Node Peers:");
  entries(node_peers, key_less, key_text,
          [&](const NodePeerStatus& s) { return s.to_string_with_secrets(with_secrets); });
  line("");
  line("Networks:");
  entries(
      networks, [](const Url& a, const Url& b) { return a.as_str() < b.as_str(); },
      [&](const Url& url) { return one_line(with_secrets ? url.as_str() : mask_url(url)); },
      [&](const NetworkStatus& s) { return s.to_string_with_secrets(with_secrets); });
  return out;
}

}  // namespace velarix::agent
