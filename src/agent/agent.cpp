#include "agent/agent.h"

#include <boost/asio/this_coro.hpp>

#include "agent/env_settings.h"
#include "agent/node_settings.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/task_set.h"

namespace velarix::agent {

namespace asio = boost::asio;
using p2p::util::CancellationToken;

asio::awaitable<void> monitor(std::shared_ptr<p2p::util::TaskSet> tasks, CancellationToken token) {
  for (;;) {
    auto next = co_await tasks->join_next();
    if (!next) {
      log::trace("Monitoring task cancelled.");
      co_return;
    }
    if (*next) {
      if (!token.is_cancelled()) {
        log::trace("Task prematurely finished. Cancel token.");
        token.cancel();
      }
      continue;
    }
    log::error("Task failed. Cancel token: {}", next->error().text);
    token.cancel();
    log::trace("Monitoring task cancelled.");
    co_return;  // dropping the set aborts what is left
  }
}


bool is_velarix_control_packet(std::span<const std::uint8_t> p) noexcept {
  if (p.size() < 20) return false;
  if ((p[0] >> 4) != 4) return false;
  const std::size_t ihl = p[0] & 0x0F;
  if (ihl < 5) return false;
  const std::size_t header = ihl * 4;
  if (p.size() < header) return false;
  if (p[9] != 17 || p.size() < header + 12) return false;
  return p[header + 8] == 0x1E && p[header + 9] == 0x3F && p[header + 10] == 0x50 && p[header + 11] == 0x01;
}

asio::awaitable<std::expected<Agent, Error>> Agent::start(AgentConfig config, std::string config_path,
                                                          PlatformDependent platform, AgentTimings timings) {
  log::info("Start agent.");
  if (!config.super_peers) {
    // Without a word, a misplaced `super_peers` line would send the node to these.
    std::string addrs;
    for (const auto& sp : p2p::super_peers_default()) addrs += (addrs.empty() ? "" : ", ") + sp.addr();
    log::info("The configuration has no super_peers: using the built-in super peers {}", addrs);
  }
  CancellationToken token;
  auto executor = co_await asio::this_coro::executor;

  const auto settings = NodeSettings::from_env();
  const auto recv_buf_cap = env::kRecvBufCap.read();
  const auto process_unites = env::kProcessUnites.read();
  const auto housekeeping_interval = env::kHousekeepingInterval.read();
  const auto enforce_tcp = env::kEnforceTcp.read();

  auto node_channel = std::make_shared<NodeReceiveChannel>(recv_buf_cap);
  auto sink = std::make_shared<ChannelSink>(node_channel);

  auto udp_addrs = p2p::util::parse_udp_addrs(settings.udp_addrs);
  if (!udp_addrs) {
    co_return std::unexpected(Error{ErrorKind::ConfigParse, "Invalid udp addresses: " + udp_addrs.error()});
  }
  auto opts = settings.builder(config, std::move(*udp_addrs))
                  .udp_port(p2p::util::parse_udp_port(settings.udp_port))
                  .process_unites(process_unites)
                  .housekeeping_interval(housekeeping_interval)
                  .message_sink(sink)
                  .enforce_tcp(enforce_tcp)
                  .build();
  if (!opts) {
    co_return std::unexpected(Error{ErrorKind::ConfigParse, "Failed to build node opts: " + opts.error().message()});
  }
  auto node = co_await p2p::Node::bind(std::move(*opts));
  if (!node) {
    log::warn("Failed to bind node: {}", node.error().message());
    co_return std::unexpected(Error{ErrorKind::NodeError, node.error().message()});
  }

  const auto channel_cap = env::kChannelCap.read();
  auto c2d = std::make_shared<C2dChannel>(channel_cap);

  AgentConfig state_config = config;
  NetworkMap file_networks = file_view(config.network);
  if (state_config.controller) {
    auto& c = *state_config.controller;
    c.connection_status.kind = (!c.display_login_email || !c.shared_secret)
                                   ? ControllerConnectionStatus::Kind::LoggedOut
                                   : ControllerConnectionStatus::Kind::Initializing;
    c.connection_status.message.clear();
  }
  const std::uint16_t mtu = config.mtu ? *config.mtu : AgentConfig::default_mtu();
  const bool dns_disabled = config.dns && config.dns->disabled && *config.dns->disabled;

  auto shared_platform = std::make_shared<PlatformDependent>(std::move(platform));
  auto inner = std::shared_ptr<AgentInner>(new AgentInner{
      .cancellation_token = token,
      .node = std::move(*node),
      .node_receiver = node_channel,
      .netif = AgentNetif(shared_platform),
      .dns = dns_disabled ? nullptr : std::make_unique<AgentDns>(),
      .tx_trie = {},
      .rx_trie = {},
      .c2d_sender = c2d,
      .c2d_receiver = c2d,
      .config_path = std::move(config_path),
      .platform = shared_platform,
      .http_client = HttpClient::create(),
      .state_lock = {},
      .state = State{.config = std::move(state_config),
                     .update_available = {},
                     .ui_version = {},
                     .last_network_change = {},
                     .login = {},
                     .time_deviation = {},
                     .file_networks = std::move(file_networks)},
      .mtu = mtu,
      .executor = executor,
      .own_pk = config.identity.pk(),
      .timings = timings,
  });

  auto tasks = std::make_shared<p2p::util::TaskSet>(executor);
  tasks->spawn(AgentInner::node_runner(inner, token));
  tasks->spawn(AgentInner::housekeeping_runner(inner, token));
  if (!(config.update_check && !*config.update_check)) log::debug("Update check is not available on this platform");
  p2p::util::spawn_detached(executor, monitor(tasks, token));
  log::info("Agent started.");
  co_return Agent(std::move(inner));
}

Agent::~Agent() {
  if (inner_) log::trace("Drop agent.");
}

asio::awaitable<void> Agent::cancelled() const { co_await inner_->cancellation_token.cancelled(); }

asio::awaitable<void> Agent::shutdown() const {
  log::info("Shutdown agent.");
  log::trace("Cancel agent token");
  inner_->cancellation_token.cancel();
  auto guard = co_await inner_->state_lock.write();
  auto& networks = inner_->state.config.network;
  std::vector<Url> urls;
  urls.reserve(networks.size());
  for (const auto& [url, net] : networks) urls.push_back(url);
  for (const auto& url : urls) {
    auto it = networks.find(url);
    if (it != networks.end()) it->second.desired_state = network::AgentState{};
    AgentInner::apply_desired_state(inner_, url, networks);
  }
  guard.unlock();
  log::info("Agent shut down.");
}

}  // namespace velarix::agent
