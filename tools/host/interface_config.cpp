#include "host/interface_config.h"

namespace velarix::host {

std::set<Ipv4Prefix> parse_prefix_list(std::string_view text, std::vector<std::string>* bad) {
  std::set<Ipv4Prefix> out;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto item = text.substr(0, comma);
    if (auto p = parse_prefix(item)) {
      out.insert(*p);
    } else if (bad) {
      bad->emplace_back(item);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return out;
}

namespace {

// Routes are kept by their network part: the kernel stores them that way.
std::set<Ipv4Prefix> networks(const std::set<Ipv4Prefix>& in) {
  std::set<Ipv4Prefix> out;
  for (const auto& p : in) out.insert(network_of(p));
  return out;
}

std::string failure(const char* what, const Ipv4Prefix& p, const std::error_code& ec) {
  return std::string(what) + " " + to_string(p) + ": " + ec.message();
}

}  // namespace

void InterfaceConfig::remove_stale(const std::set<Ipv4Prefix>& desired_addrs,
                                   const std::set<Ipv4Prefix>& desired_routes, std::vector<std::string>& errors) {
  // Routes before addresses: a route may lean on an address's subnet.
  for (auto it = routes_.begin(); it != routes_.end();) {
    if (desired_routes.contains(*it)) {
      ++it;
      continue;
    }
    if (owned_routes_.contains(*it)) {
      if (auto r = netlink_.remove_route(ifindex_, *it); !r) {
        errors.push_back(failure("remove route", *it, r.error()));
        ++it;
        continue;
      }
      owned_routes_.erase(*it);
    }
    it = routes_.erase(it);
  }
  for (auto it = addresses_.begin(); it != addresses_.end();) {
    if (desired_addrs.contains(*it)) {
      ++it;
      continue;
    }
    if (owned_addresses_.contains(*it)) {
      if (auto r = netlink_.remove_address(ifindex_, *it); !r) {
        errors.push_back(failure("remove address", *it, r.error()));
        ++it;
        continue;
      }
      owned_addresses_.erase(*it);
    }
    it = addresses_.erase(it);
  }
}

std::vector<std::string> InterfaceConfig::apply(std::string_view ips, std::string_view routes) {
  std::vector<std::string> errors;
  std::vector<std::string> bad;
  const auto want_addrs = parse_prefix_list(ips, &bad);
  const auto want_routes = networks(parse_prefix_list(routes, &bad));
  for (const auto& b : bad) errors.push_back("not an IPv4 network: '" + b + "'");

  std::lock_guard lock(mutex_);
  if (closed_) return errors;
  remove_stale(want_addrs, want_routes, errors);
  for (const auto& a : want_addrs) {
    if (addresses_.contains(a)) continue;
    auto added = netlink_.add_address(ifindex_, a);
    if (!added) {
      errors.push_back(failure("add address", a, added.error()));
      continue;
    }
    addresses_.insert(a);
    if (*added) owned_addresses_.insert(a);
  }
  for (const auto& r : want_routes) {
    if (routes_.contains(r)) continue;
    auto added = netlink_.add_route(ifindex_, r);
    if (!added) {
      errors.push_back(failure("add route", r, added.error()));
      continue;
    }
    routes_.insert(r);
    if (*added) owned_routes_.insert(r);
  }
  return errors;
}

std::vector<std::string> InterfaceConfig::clear() {
  std::vector<std::string> errors;
  std::lock_guard lock(mutex_);
  closed_ = true;
  remove_stale({}, {}, errors);
  return errors;
}

std::set<Ipv4Prefix> InterfaceConfig::addresses() const {
  std::lock_guard lock(mutex_);
  return addresses_;
}

std::set<Ipv4Prefix> InterfaceConfig::routes() const {
  std::lock_guard lock(mutex_);
  return routes_;
}

}  // namespace velarix::host
