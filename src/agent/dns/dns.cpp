#include "agent/dns/dns.h"

#include <algorithm>
#include <array>

#include "agent/dns/message.h"
#include "network/config/routes.h"
#include "util/log.h"
#include "util/span.h"
#include "util/text.h"

namespace velarix::agent {

namespace asio = boost::asio;

namespace {

// Answers leave with the usual initial hop limit.
constexpr std::uint8_t kAnswerTtl = 64;

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

// A lower-cased fully qualified name in wire form; none for a name that is not
// a domain name. Backslashes would read as escapes, so they are refused.
std::optional<std::string> wire_name(std::string_view lower_fqdn) {
  if (!valid_domain_name(lower_fqdn) || lower_fqdn.find('\\') != std::string_view::npos) return std::nullopt;
  const std::string text(lower_fqdn);
  ldns_rdf* rdf = ldns_dname_new_frm_str(text.c_str());
  if (!rdf) return std::nullopt;
  std::optional<std::string> out;
  // Without escapes the wire form is one byte longer than the text.
  if (ldns_rdf_size(rdf) == text.size() + 1) {
    out.emplace(reinterpret_cast<const char*>(ldns_rdf_data(rdf)), ldns_rdf_size(rdf));
  }
  ldns_rdf_deep_free(rdf);
  return out;
}

std::string debug_addr(std::optional<network::Ipv4Addr> a) {
  return a ? "Some(" + a->to_string() + ")" : std::string("None");
}

}  // namespace

DnsCatalog::Found DnsCatalog::find_wire(std::string_view name) const noexcept {
  if (!has_zone()) return {};
  // In the zone when the name ends, at a label boundary, with the origin.
  bool inside = false;
  for (std::size_t i = 0; i < name.size() && name.size() - i >= origin_wire_.size();
       i += 1 + static_cast<std::uint8_t>(name[i])) {
    if (name.size() - i == origin_wire_.size()) {
      inside = name.substr(i) == origin_wire_;
      break;
    }
  }
  if (!inside) return {};
  if (auto it = records_.find(name); it != records_.end()) return {Match::Records, &it->second};
  if (empty_names_.contains(name)) return {Match::NoRecords, nullptr};
  return {Match::NoName, nullptr};
}

const std::vector<network::Ipv4Addr>* DnsCatalog::lookup(std::string_view name) const {
  std::string text = util::ascii_lower(name);
  if (!text.ends_with('.')) text += '.';
  const auto wire = wire_name(text);
  if (!wire) return nullptr;
  const auto found = find_wire(*wire);
  return found.match == Match::Records ? found.addrs : nullptr;
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
  catalog.origin_wire_ = *wire_name(catalog.origin_);
  catalog.empty_names_.insert(catalog.origin_wire_);
  for (const auto& [url, net] : networks) {
    const auto& hostnames = net.desired_state.hostnames.applied;
    if (!hostnames) continue;
    for (const auto& [addr, host] : *hostnames) {
      log::trace("Adding DNS A record: {}.{} -> {}", host, zone, addr);
      auto owner = wire_name(util::ascii_lower(host) + "." + catalog.origin_);
      // Such a name cannot be asked for; the catalog is still built without it.
      if (!owner) {
        log::warn("Skipping DNS name that is not a valid domain name: {}.{}", host, zone);
        continue;
      }
      // Names between the owner and the apex exist, without records of their own.
      for (std::size_t i = 1 + static_cast<std::uint8_t>((*owner)[0]); owner->size() - i > catalog.origin_wire_.size();
           i += 1 + static_cast<std::uint8_t>((*owner)[i])) {
        catalog.empty_names_.insert(owner->substr(i));
      }
      catalog.records_[*owner].push_back(addr);
    }
  }
  // One record per address, first occurrence kept; a set, since a name may
  // come with thousands of addresses from a configuration nobody checked.
  std::unordered_set<std::uint32_t> seen;
  for (auto& [owner, addrs] : catalog.records_) {
    if (addrs.size() < 2) continue;
    seen.clear();
    std::erase_if(addrs, [&](network::Ipv4Addr a) { return !seen.insert(a.to_uint()).second; });
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

bool AgentDns::is_dns_query(const Ipv4Header& ip) const noexcept {
  log::trace("Check for DNS query to DNS server");
  if (ip.protocol() != kIpProtoUdp || !is_server_ip(ip.dst())) return false;
  const auto udp = ip.payload();
  return udp.size() >= 8 && ((std::uint16_t{udp[2]} << 8) | udp[3]) == kDnsPort;
}

asio::awaitable<void> AgentDns::divert(Ipv4Header ip, TunDevice& device) const {
  log::trace("Got potential DNS request: {} -> {}", ip.src(), ip.dst());
  // Up to the bytes read: the UDP length field is not trusted.
  const auto udp = ip.payload();
  co_await on_packet(udp.subspan(8), device, ip.src(), ip.dst(), (std::uint16_t{udp[0]} << 8) | udp[1],
                     (std::uint16_t{udp[2]} << 8) | udp[3]);
  log::trace("Packet has been processed as a DNS request. Skip further processing.");
}

asio::awaitable<void> AgentDns::on_packet(std::span<const std::uint8_t> payload, TunDevice& device,
                                          network::Ipv4Addr src, network::Ipv4Addr dst, std::uint16_t src_port,
                                          std::uint16_t dst_port) const {
  log::trace("Received DNS packet from {}:{} ({} bytes) src={} src_port={} dst={} dst_port={} len={}", src, src_port,
             payload.size(), src, src_port, dst, dst_port, payload.size());
  log::trace("Processing DNS packet using embedded DNS");
  // Held to the end, even if a newer catalog is swapped in meanwhile.
  const auto catalog = catalog_.load();
  auto reply = dns::respond(payload, *catalog, src, src_port, decode_failures_);
  if (reply.answer) {
    log::Span span(spdlog::level::info, "send_response", log::field("id", reply.id));
    // Back from where the query went to where it came from.
    ldns_buffer* answer = reply.answer.get();
    const std::span<const std::uint8_t> body(ldns_buffer_begin(answer), ldns_buffer_position(answer));
    std::array<std::uint8_t, kIpv4UdpHeaderLen> head;
    write_ipv4_udp_header(head, dst, dst_port, src, src_port, kAnswerTtl, body);
    auto sent = co_await device.send(head, body);
    if (!sent) log::error("Failed to send DNS response: {}", sent.error().message());
  }
  if (reply.handled) log::trace("DNS request handling completed");
  log::trace("DNS packet processing completed");
}

}  // namespace velarix::agent
