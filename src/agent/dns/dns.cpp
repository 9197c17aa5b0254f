#include "agent/dns/dns.h"

#include <algorithm>

#include "network/config/routes.h"
#include "util/log.h"
#include "util/text.h"

namespace velarix::agent {
namespace {

// A name the responder can answer for: labels of 1 to 63 bytes, at most 255 bytes in all.
bool valid_domain_name(std::string_view fqdn) {
  if (fqdn.size() > 255 || !fqdn.ends_with('.')) return false;
  std::size_t start = 0;
  while (start < fqdn.size()) {
    const auto dot = fqdn.find('.', start);
    const auto len = dot - start;
    if (len == 0 || len > 63) return false;
    start = dot + 1;
  }
  return true;
}

std::string debug_addr(std::optional<network::Ipv4Addr> a) {
  return a ? "Some(" + a->to_string() + ")" : std::string("None");
}

}  // namespace

const std::vector<network::Ipv4Addr>* DnsCatalog::lookup(std::string_view name) const {
  std::string key = util::ascii_lower(name);
  if (!key.ends_with('.')) key += '.';
  auto it = records_.find(key);
  return it == records_.end() ? nullptr : &it->second;
}

std::size_t DnsCatalog::record_count() const noexcept {
  std::size_t n = 0;
  for (const auto& [name, addrs] : records_) n += addrs.size();
  return n;
}

network::Ipv4Addr dns_server_address(const network::Ipv4Net& net) noexcept {
  const std::uint32_t broadcast = net.broadcast().to_uint();
  return network::Ipv4Addr(broadcast == 0 ? 0 : broadcast - 1);
}

DnsCatalog AgentDns::build_catalog(const NetworkMap& networks) {
  log::trace("Building DNS catalog");
  DnsCatalog catalog;
  const std::string zone(network::kOverlayDnsZone);
  catalog.origin_ = zone + ".";
  for (const auto& [url, net] : networks) {
    const auto& hostnames = net.desired_state.hostnames.applied;
    if (!hostnames) continue;
    for (const auto& [addr, host] : *hostnames) {
      log::trace("Adding DNS A record: {}.{} -> {}", host, zone, addr.to_string());
      std::string owner = util::ascii_lower(host) + "." + catalog.origin_;
      // Such a name cannot be asked for; the catalog is still built without it.
      if (!valid_domain_name(owner)) {
        log::warn("Skipping DNS name that is not a valid domain name: {}.{}", host, zone);
        continue;
      }
      auto& addrs = catalog.records_[owner];
      if (std::find(addrs.begin(), addrs.end(), addr) == addrs.end()) addrs.push_back(addr);
    }
  }
  return catalog;
}

std::optional<network::Ipv4Addr> AgentDns::server_ip() const noexcept {
  const auto v = server_ip_.load(std::memory_order_acquire);
  if (v == 0) return std::nullopt;
  return network::Ipv4Addr(v);
}

bool AgentDns::is_server_ip(network::Ipv4Addr ip) const noexcept {
  const auto v = server_ip_.load(std::memory_order_acquire);
  if (log::enabled(spdlog::level::trace)) {
    log::trace("Checking if IP {} is the DNS server IP {}", ip.to_string(), network::Ipv4Addr(v).to_string());
  }
  return v != 0 && v == ip.to_uint();
}

void AgentDns::apply_desired_state(NetworkMap& networks) {
  std::optional<network::Ipv4Addr> server;
  for (const auto& [url, net] : networks) {
    if (net.disabled || !net.current_state.ip.applied) continue;
    server = dns_server_address(*net.current_state.ip.applied);
    break;
  }
  const auto old = server_ip();
  const auto new_value = server && server->to_uint() != 0 ? server : std::nullopt;
  if (old != new_value) {
    log::trace("DNS server IP changed: {} -> {}", debug_addr(old), debug_addr(new_value));
    server_ip_.store(new_value ? new_value->to_uint() : 0, std::memory_order_release);
  }

  auto differs = std::find_if(networks.begin(), networks.end(), [](const auto& entry) {
    return entry.second.current_state.hostnames != entry.second.desired_state.hostnames;
  });
  if (differs == networks.end()) {
    log::trace("All DNS hostnames up to date");
    return;
  }
  log::trace("DNS hostnames mismatch: current={} desired={}", differs->second.current_state.hostnames.debug(),
             differs->second.desired_state.hostnames.debug());
  log::trace("Update hostnames in DNS");
  catalog_.store(build_catalog(networks));
  for (auto& [url, net] : networks) net.current_state.hostnames = net.desired_state.hostnames;
}

}  // namespace velarix::agent
