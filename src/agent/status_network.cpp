// The block of one network in the report: what the agent applied beside what
// the latest configuration asks for, item by item.

#include <algorithm>
#include <string>
#include <vector>

#include "agent/status.h"
#include "agent/status_format.h"

namespace velarix::agent {

namespace {

using network::AppliedStatus;
using network::HostnameList;
using network::NetworkHealth;

// Error texts come from documents and servers; without secrets a URL they
// quote loses its credentials.
std::string error_text(const std::string& error, bool with_secrets) {
  return one_line(with_secrets ? error : mask_url_credentials(error));
}

std::string health_text(const NetworkHealth& health, bool with_secrets) {
  if (health.kind() != NetworkHealth::Kind::RetrieveConfigError) return health.debug();
  const std::string& message = health.error();
  return "RetrieveConfigError(" + quoted_line(with_secrets ? message : mask_url_credentials(message)) + ")";
}

std::string ip_text(const AppliedStatus<network::Ipv4Net>& item, bool with_secrets) {
  std::string out = item.applied ? item.applied->to_string() : std::string("None");
  if (item.error) out += " (Error: " + error_text(*item.error, with_secrets) + ")";
  return out;
}

std::string table(const network::EffectiveAccessRuleList& list) { return list.to_string(); }
std::string table(const network::EffectiveRoutingList& list) { return list.to_string(); }

// One network per line, by address as a number and then prefix length.
std::string table(const network::EffectiveForwardingList& list) {
  std::vector<network::Ipv4Net> nets(list.begin(), list.end());
  std::sort(nets.begin(), nets.end());
  std::string out;
  for (const auto& n : nets) out += n.to_string() + "\n";
  return out;
}

// Host names come from network documents: each is made safe before the table is drawn.
std::string table(const HostnameList& list) {
  HostnameList safe;
  safe.hostnames.reserve(list.size());
  for (const auto& [ip, name] : list) safe.hostnames.emplace(ip, one_line(name));
  return safe.to_string();
}

template <class T>
void append_list(std::string& out, const AppliedStatus<T>& item, std::string_view prefix, bool with_secrets) {
  const std::string error = item.error ? error_text(*item.error, with_secrets) : std::string();
  if (!item.applied || item.applied->empty()) {
    out += prefix;
    out += item.applied ? "Empty" : "None";
    if (item.error) out += " (Error: " + error + ")";
    out.push_back('\n');
    return;
  }
  append_lines(out, table(*item.applied), prefix);
  if (item.error) {
    out += prefix;
    out += "Error: " + error + "\n";
  }
}

template <class T>
void append_item(std::string& out, std::string_view header, const AppliedStatus<T>& current,
                 const AppliedStatus<T>& desired, bool with_secrets) {
  out += header;
  out += "\n";
  if (current == desired) {
    append_list(out, current, "  ", with_secrets);
    return;
  }
  out += "  Current:\n";
  append_list(out, current, "    ", with_secrets);
  out += "  Desired:\n";
  append_list(out, desired, "    ", with_secrets);
}

}  // namespace

NetworkStatus NetworkStatus::new_(const network::Network& network) {
  return NetworkStatus{.name = network.name,
                       .desired_state = network.desired_state,
                       .current_state = network.current_state,
                       .health = network.health,
                       .disabled = network.disabled};
}

std::string NetworkStatus::to_string_with_secrets(bool with_secrets) const {
  std::string out = "Name: " + (name ? one_line(*name) : std::string("None")) + "\n";
  out += disabled ? "Disabled: true\n" : "Disabled: false\n";
  out += "Status: " + health_text(health, with_secrets) + "\n";
  const auto& cur = current_state;
  const auto& des = desired_state;
  if (cur.ip == des.ip) {
    out += "IP: " + ip_text(cur.ip, with_secrets) + "\n";
  } else {
    out += "IP:\n";
    out += "  Current: " + ip_text(cur.ip, with_secrets) + "\n";
    out += "  Desired: " + ip_text(des.ip, with_secrets) + "\n";
  }
  append_item(out, "Access Rules:", cur.access_rules, des.access_rules, with_secrets);
  append_item(out, "Routes:", cur.routes, des.routes, with_secrets);
  append_item(out, "Forwardings:", cur.forwardings, des.forwardings, with_secrets);
  append_item(out, "Hostnames:", cur.hostnames, des.hostnames, with_secrets);
  return out;
}

std::string NetworkStatus::status_text(const NetworkStatus& s) {
  using Kind = NetworkHealth::Kind;
  const Kind kind = s.health.kind();
  if (s.disabled) return kind == Kind::Disabled ? "Disabled" : "Disabling...";
  switch (kind) {
    case Kind::Disabled: return "Enabling...";
    case Kind::Initializing: return "Initializing...";
    case Kind::Ok: return "Ok";
    case Kind::Pending: return "Pending";
    case Kind::NotAMemberError: return "Error - Not a Member";
    case Kind::RetrieveConfigError: return "Config Error - " + one_line(s.health.error());
  }
  return "Initializing...";
}

bool NetworkStatus::is_controller_managed(const Url& url) { return url.scheme() == "controller"; }

}  // namespace velarix::agent
