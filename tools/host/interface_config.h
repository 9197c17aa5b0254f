#pragma once
// Keeps a TUN interface's addresses and routes in line with the agent's
// network changes, and takes back everything it added when asked to.

#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/netlink.h"

namespace velarix::host {

// A comma-separated list of "a.b.c.d/len" items as the agent hands them over;
// "" is the empty list. Items that do not parse go to `bad`.
std::set<Ipv4Prefix> parse_prefix_list(std::string_view text, std::vector<std::string>* bad = nullptr);

class InterfaceConfig {
 public:
  InterfaceConfig(Netlink netlink, int ifindex) : netlink_(std::move(netlink)), ifindex_(ifindex) {}

  // Brings the interface to the given addresses and routes: removes what an
  // earlier change added and this one lacks, then adds what is new. Returns
  // one text per failure; a failed item is tried again at the next change.
  // Ignored once `clear` has run.
  std::vector<std::string> apply(std::string_view ips, std::string_view routes);

  // Removes every address and route this object added (routes first) and
  // refuses later changes. Running it twice is harmless.
  std::vector<std::string> clear();

  std::set<Ipv4Prefix> addresses() const;
  std::set<Ipv4Prefix> routes() const;

 private:
  void remove_stale(const std::set<Ipv4Prefix>& desired_addrs, const std::set<Ipv4Prefix>& desired_routes,
                    std::vector<std::string>& errors);

  mutable std::mutex mutex_;
  Netlink netlink_;
  int ifindex_;
  bool closed_ = false;
  // What the interface carries for the agent, and the part of it this object
  // created (only that part is removed again).
  std::set<Ipv4Prefix> addresses_, routes_;
  std::set<Ipv4Prefix> owned_addresses_, owned_routes_;
};

}  // namespace velarix::host
