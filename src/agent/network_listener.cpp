// The network-change listener: tells the host which overlay addresses, routes
// and DNS server its TUN interface needs, whenever they differ from what it
// was told last.

#include <algorithm>
#include <string>
#include <vector>

#include "agent/inner.h"
#include "agent/status_format.h"
#include "util/log.h"

namespace velarix::agent {
namespace {

std::string debug_list(const std::vector<network::Ipv4Net>& nets) {
  std::string out = "[";
  for (std::size_t i = 0; i < nets.size(); ++i) {
    if (i) out += ", ";
    out += nets[i].to_string();
  }
  return out + "]";
}

template <class T, class F>
std::string debug_optional(const std::optional<T>& v, F&& show) {
  return v ? "Some(" + show(*v) + ")" : std::string("None");
}

}  // namespace

std::string NetworkChange::debug() const {
  return "NetworkChange { ips: " + debug_optional(ips, debug_list) + ", routes: " + debug_optional(routes, debug_list) +
         ", dns_server: " + debug_optional(dns_server, [](network::Ipv4Addr a) { return a.to_string(); }) + " }";
}

boost::asio::awaitable<void> AgentInner::notify_on_network_change() {
  const bool trace = log::enabled(spdlog::level::trace);
  NetworkChange change;
  {
    auto guard = co_await state_lock.read();
    log::trace("Networks change listener set, check if we have a change");
    const auto& networks = state.config.network;

    std::vector<network::Ipv4Net> routes;
    log::trace("Collecting routes from {} networks", networks.size());
    for (const auto& [url, net] : networks) {
      const auto& applied = net.current_state.routes.applied;
      if (trace) {
        log::trace("Processing network {}: routes={}", masked(url.as_str()), applied ? applied->debug() : "None");
      }
      if (applied) {
        for (const auto& [dest, route] : *applied) routes.push_back(dest);
      }
    }
    std::sort(routes.begin(), routes.end());
    if (trace) log::trace("Collected {} routes: {}", routes.size(), debug_list(routes));

    std::vector<network::Ipv4Net> ips;
    for (const auto& [url, net] : networks) {
      const auto& ip = net.current_state.ip.applied;
      if (trace) {
        log::trace("Processing network {}: ip={}", masked(url.as_str()), ip ? "Some(" + ip->to_string() + ")" : "None");
      }
      if (ip) ips.push_back(*ip);
    }
    std::sort(ips.begin(), ips.end());
    if (trace) log::trace("Collected {} IPs: {}", ips.size(), debug_list(ips));

    change.ips = std::move(ips);
    change.routes = std::move(routes);
    if (dns) change.dns_server = dns->server_ip();
  }

  auto guard = co_await state_lock.write();
  // Shut-down cancels the token before it takes the lock, and the host must
  // hear nothing once it has returned: a tick that got here late stays silent.
  if (cancellation_token.is_cancelled()) co_return;
  if (state.last_network_change && *state.last_network_change == change) {
    log::trace("Network change is identical to last one, skipping notification");
    co_return;
  }
  if (trace) {
    log::trace("Network change detected, notifying listener: old={} new={}",
               state.last_network_change ? "Some(" + state.last_network_change->debug() + ")" : std::string("None"),
               change.debug());
  }
  state.last_network_change = change;
  if (platform && platform->network_change_callback) platform->network_change_callback(std::move(change));
  // The host has let go of the addresses it was told to remove.
  keep_node_off_overlay(state.config.network);
}

}  // namespace velarix::agent
