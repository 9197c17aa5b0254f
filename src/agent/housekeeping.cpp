// The housekeeping runner: every ten seconds it brings the controller's
// networks in line, retrieves and applies every network's configuration,
// tells the host what changed and uploads the metrics.


#include <boost/system/system_error.hpp>
#include <fmt/format.h>

#include "agent/housekeeping_schedule.h"
#include "agent/inner.h"
#include "agent/status_format.h"
#include "controller/client.h"
#include "network/config/tables.h"
#include "util/log.h"
#include "util/span.h"

namespace velarix::agent {

namespace asio = boost::asio;
using network::NetworkHealth;
using p2p::util::CancellationToken;
using Clock = std::chrono::steady_clock;

namespace {

std::string debug_name(const std::optional<std::string>& name) {
  return name ? "Some(" + network::debug_quoted(*name) + ")" : std::string("None");
}

void set_connection_status(State& state, ControllerConnectionStatus::Kind kind, std::string message = {}) {
  if (state.config.controller) state.config.controller->connection_status = {kind, std::move(message)};
}

}  // namespace

std::expected<network::AgentState, network::ConfigError> desired_state_for(const network::NetworkConfig& config,
                                                                          const p2p::PubKey& own_pk,
                                                                          bool with_hostnames) {
  network::AgentState state;
  const auto own_ip = config.ip(own_pk);
  if (own_ip) state.ip.applied = network::Ipv4Net(*own_ip, config.network.prefix_len());
  auto rules = config.effective_access_rule_list(own_pk);
  if (!rules) return std::unexpected(std::move(rules.error()));
  auto routes = config.effective_routing_list(own_pk);
  if (!routes) return std::unexpected(std::move(routes.error()));
  if (with_hostnames) state.hostnames.applied = config.hostnames(own_pk);
  state.forwardings.applied = config.effective_forwarding_list(own_pk);
  state.access_rules.applied = std::move(*rules);
  state.routes.applied = std::move(*routes);
  return state;
}

std::expected<ControllerNetworks, Error> controller_networks_from(network::MultiNetworkConfig answer) {
  ControllerNetworks networks;
  for (auto& config : answer.network) {
    if (!config.id) {
      log::trace("Network config missing id");
      return std::unexpected(Error{ErrorKind::ConfigParse, "Network config missing id"});
    }
    auto url = Url::parse("controller://" + config.id->to_string());
    if (!url) {
      log::trace("Failed to parse network URL: {}", url.error());
      return std::unexpected(Error{ErrorKind::ConfigParse, "Failed to parse network URL: " + url.error()});
    }
    if (log::enabled(spdlog::level::trace)) {
      log::trace("Network: {} (subnet: {}) -> {}", debug_name(config.name), config.network.to_string(),
                 url->as_str());
    }
    networks.insert_or_assign(std::move(*url), std::move(config));
  }
  log::trace("Successfully processed {} controller networks", networks.size());
  return networks;
}

asio::awaitable<std::expected<std::optional<ControllerNetworks>, Error>> AgentInner::get_controller_networks(
    std::string shared_secret) const {
  log::trace("Starting to fetch controller networks");
  auto config = AgentConfig::load(config_path, UnknownKeys::Ignore);
  if (!config) {
    log::trace("Failed to load agent config from: {}: {}", network::debug_quoted(config_path),
               masked(config.error().message()));
    co_return std::unexpected(Error{ErrorKind::ConfigParse, "Failed to load agent config: " + config.error().message()});
  }
  const std::string base_url =
      config->controller && config->controller->url ? *config->controller->url : std::string(kDefaultControllerUrl);
  log::trace("Found shared_secret, controller URL: {}", masked(base_url));
  log::trace("Creating controller client with HMAC authentication");
  controller::ControllerClient client{
      .auth = controller::ControllerAuth::hmac(std::move(shared_secret)),
      .base_url = base_url,
      .node_pk = own_pk,
      .timeout = timings.controller_timeout,
  };
  log::trace("Controller client created, requesting networks config");
  auto answer = co_await client.get_networks_config_toml();
  if (!answer) {
    log::trace("Failed to get networks config TOML: {}", masked(answer.error().message()));
    co_return std::optional<ControllerNetworks>{};
  }
  log::trace("get_networks_config_toml response: {} networks", answer->network.size());
  auto networks = controller_networks_from(std::move(*answer));
  if (!networks) co_return std::unexpected(std::move(networks.error()));
  log::trace("Finished fetching controller networks: {} networks found", networks->size());
  co_return std::move(*networks);
}

asio::awaitable<std::expected<network::NetworkConfig, Error>> AgentInner::retrieve_network_config(
    const std::string& config_url, const ControllerNetworks* controller_networks, Clock::time_point deadline) const {
  log::trace("Retrieving network config from: {}", masked(config_url));
  const std::string_view text(config_url);
  if (text.size() >= 13 && text.starts_with("controller://")) {
    auto url = Url::parse(text);
    if (controller_networks && url) {
      if (auto it = controller_networks->find(*url); it != controller_networks->end()) {
        log::trace("Retrieved controller network config directly from cache");
        co_return it->second;
      }
    }
    co_return std::unexpected(Error{ErrorKind::ConfigParse, "Controller network not found in cache: " + config_url});
  }
  std::expected<std::string, Error> body;
  if (text.starts_with("http://") || text.starts_with("https://")) {
    body = co_await fetch_with_redirects(config_url, deadline);
  } else if (text.starts_with("file://")) {
    body = read_file_url(config_url);
  } else {
    co_return std::unexpected(Error{ErrorKind::ConfigParse, "Unsupported URL scheme: " + config_url});
  }
  if (!body) co_return std::unexpected(std::move(body.error()));
  auto config = network::NetworkConfig::try_from(*body);
  if (!config) co_return std::unexpected(Error{ErrorKind::NetworkError, config.error().message()});
  co_return std::move(*config);
}

asio::awaitable<void> AgentInner::housekeeping_network(std::shared_ptr<AgentInner> inner, Url url,
                                                       const ControllerNetworks* controller_networks) {
  auto guard = co_await inner->state_lock.write();
  // After a shut-down withdrew every network, a tick still under way must not
  // put one back.
  if (inner->cancellation_token.is_cancelled()) co_return;
  auto& networks = inner->state.config.network;
  auto it = networks.find(url);
  if (it == networks.end()) co_return;
  network::Network& net = it->second;
  const bool disabled = net.disabled;

  const auto deadline = Clock::now() + kRetrieveConfigTimeout;
  auto retrieved = co_await inner->retrieve_network_config(net.config_url, controller_networks, deadline);

  std::optional<NetworkHealth> health;  // undecided until after the apply
  bool save = false;
  if (Clock::now() > deadline) {
    // Whatever arrived after the limit is not used.
    const std::string message = fmt::format("Timeout of {} ms exceeded while attempting to retrieve network config",
                                            kRetrieveConfigTimeout.count());
    log::warn("{}", message);
    if (disabled) {
      log::trace("Ignoring config timeout for disabled network");
      health = NetworkHealth::disabled();
    } else {
      health = NetworkHealth::retrieve_config_error(message);
    }
  } else if (!retrieved) {
    const std::string message = retrieved.error().message();
    log::warn("Failed to retrieve network config: {}", masked(message));
    if (disabled) {
      log::trace("Ignoring config error for disabled network");
      health = NetworkHealth::disabled();
    } else {
      health = NetworkHealth::retrieve_config_error(message);
    }
  } else {
    const network::NetworkConfig& config = *retrieved;
    log::trace("Network config retrieved successfully");
    if (net.name != config.name) {
      if (log::enabled(spdlog::level::trace)) {
        log::trace("Network name changed from '{}' to '{}'", debug_name(net.name), debug_name(config.name));
      }
      save = true;
    }
    net.name = config.name;
    if (disabled) {
      log::trace("Network is disabled. We need to teardown everything.");
      net.desired_state = network::AgentState{};
      health = NetworkHealth::disabled();
    } else if (!config.node.contains(inner->own_pk)) {
      log::trace("I'm not member of this network.");
      net.desired_state = network::AgentState{};
      health = NetworkHealth::not_a_member_error();
    } else if (auto desired = desired_state_for(config, inner->own_pk, inner->dns != nullptr)) {
      net.desired_state = std::move(*desired);
    } else {
      // A configuration the lists cannot be built from is unusable like any
      // other: the previous desired state stays.
      const Error e{ErrorKind::NetworkError, desired.error().message()};
      log::warn("Failed to derive the desired network state: {}", masked(e.message()));
      health = NetworkHealth::retrieve_config_error(e.message());
    }
  }

  AgentInner::apply_desired_state(inner, url, networks);

  if (it = networks.find(url); it != networks.end()) {
    auto& n = it->second;
    if (health) {
      n.health = std::move(*health);
    } else {
      n.health = n.current_state == n.desired_state ? NetworkHealth::ok() : NetworkHealth::pending();
    }
  }
  if (save) {
    if (auto saved = co_await inner->state.save_config(inner->config_path); !saved) {
      log::warn("Failed to save config after housekeeping: {}", saved.error().message());
    }
  }
}

asio::awaitable<void> AgentInner::check_and_update_time_deviation() {
  log::trace("SNTP synchronization not supported on this platform");
  log::trace("SNTP synchronization failed, unable to determine time deviation");
  auto guard = co_await state_lock.write();
  state.time_deviation.reset();
}

void AgentInner::remove_network(const std::shared_ptr<AgentInner>& inner, const Url& url, NetworkMap& networks) {
  auto it = networks.find(url);
  if (it == networks.end()) return;
  // Withdraw what it applied first: its rules must not outlive it in the tries.
  it->second.desired_state = network::AgentState{};
  apply_desired_state(inner, url, networks);
  networks.erase(url);
}

asio::awaitable<void> AgentInner::housekeeping(std::shared_ptr<AgentInner> inner) {
  co_await take_up_config_file(inner);
  std::optional<std::string> shared_secret;
  std::optional<std::string> ui_version;
  {
    auto guard = co_await inner->state_lock.read();
    const auto& c = inner->state.config.controller;
    if (c && c->shared_secret) shared_secret = *c->shared_secret;
    ui_version = inner->state.ui_version;
  }

  // Controller-managed networks follow the controller only when it answered
  // (or when there is no secret: logged out); an answer without a network
  // revokes them all. A failed request keeps them, so an outage does not wipe
  // the memberships.
  ControllerNetworks controller_networks;
  bool reconcile = false;
  using Status = ControllerConnectionStatus::Kind;
  if (!shared_secret) {
    auto guard = co_await inner->state_lock.write();
    set_connection_status(inner->state, Status::LoggedOut);
    reconcile = true;
  } else {
    auto answer = co_await inner->get_controller_networks(*shared_secret);
    auto guard = co_await inner->state_lock.write();
    if (!answer) {
      log::trace("Failed to get controller networks: {}, keeping the controller networks",
                 masked(answer.error().message()));
      set_connection_status(inner->state, Status::Err, answer.error().message());
    } else if (!*answer || (*answer)->empty()) {
      reconcile = answer->has_value();  // an answer without a network revokes them; no answer keeps them
      set_connection_status(inner->state, Status::Err, "Failed to fetch networks from controller");
    } else {
      controller_networks = std::move(**answer);
      reconcile = true;
      set_connection_status(inner->state, Status::Ok);
    }
  }

  {
    log::trace("Locking state for synchronization");
    auto guard = co_await inner->state_lock.write();
    auto& networks = inner->state.config.network;
    bool changed = false;
    if (reconcile) {
      for (const auto& [url, config] : controller_networks) {
        if (networks.contains(url)) continue;
        log::trace("Adding new controller network: {}", url.as_str());
        network::Network net;
        net.config_url = url.as_str();
        net.name = config.name;
        networks.emplace(url, std::move(net));
        changed = true;
      }
      std::vector<Url> managed;
      for (const auto& [url, net] : networks) {
        if (url.scheme() == "controller") managed.push_back(url);
      }
      for (const auto& url : managed) {
        if (controller_networks.contains(url)) continue;
        log::trace("Removing controller network that no longer exists: {}", url.as_str());
        remove_network(inner, url, networks);
        changed = true;
      }
    }
    if (changed) {
      if (auto saved = co_await inner->state.save_config(inner->config_path); !saved) {
        log::warn("Failed to save config after controller network sync: {}", saved.error().message());
      }
    }
  }

  std::vector<Url> urls;
  {
    auto guard = co_await inner->state_lock.read();
    urls.reserve(inner->state.config.network.size());
    for (const auto& [url, net] : inner->state.config.network) urls.push_back(url);
  }
  log::trace("Got network keys");
  log::trace("Running housekeeping for each network");
  for (const auto& url : urls) {
    log::Span span(spdlog::level::info, "housekeeping_network", log::field("network", masked(url.as_str())));
    co_await housekeeping_network(inner, url, &controller_networks);
  }
  log::trace("Finished housekeeping");
  if (inner->cancellation_token.is_cancelled()) co_return;  // shut down meanwhile: nothing left to report

  co_await inner->notify_on_network_change();
  co_await inner->check_and_update_time_deviation();
  if (shared_secret) co_await inner->send_metrics(*shared_secret, ui_version);
}

asio::awaitable<void> AgentInner::housekeeping_runner(std::shared_ptr<AgentInner> inner, CancellationToken token) {
  if (!inner->timings.housekeeping) {
    co_await token.cancelled();
    log::trace("Housekeeping runner cancelled");
    log::trace("Housekeeping runner finished");
    co_return;
  }
  auto tick = [&inner]() -> asio::awaitable<void> {
    try {
      co_await housekeeping(inner);
    } catch (const boost::system::system_error& e) {
      if (e.code() == asio::error::operation_aborted) throw;  // the runner is being aborted
      log::error("Error in housekeeping: {}", e.what());
    } catch (const std::exception& e) {
      log::error("Error in housekeeping: {}", e.what());
    }
  };
  co_await run_on_schedule<Clock>(token, inner->timings.housekeeping_period, tick);
}

}  // namespace velarix::agent
