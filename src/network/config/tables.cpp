// Text forms of the derived lists. The lists are hash maps, so every form
// sorts its rows first: the same list always prints the same text.

#include "network/config/tables.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "network/config/access_rules.h"
#include "network/config/routes.h"

namespace velarix::network {

void append_cell(std::string& out, std::string_view cell, std::size_t width) {
  out.append(cell);
  if (cell.size() < width) out.append(width - cell.size(), ' ');
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", u);
        } else {
          out.push_back(c);
        }
      }
    }
  }
  out.push_back('"');
  return out;
}

namespace {

// Addresses compare as numbers, so 10.0.0.9 sorts before 10.0.0.10.
auto net_order(const Ipv4Net& n) { return std::make_tuple(n.addr().to_uint(), n.prefix_len()); }

auto rule_order(const EffectiveAccessRule& r) {
  return std::tuple_cat(std::make_tuple(r.direction == Direction::OUT ? 0 : 1), net_order(r.source),
                        net_order(r.dest));
}

std::vector<const EffectiveAccessRule*> sorted_rules(const EffectiveAccessRuleList& list) {
  std::vector<const EffectiveAccessRule*> rows;
  rows.reserve(list.rules.size());
  for (const auto& [key, rule] : list.rules) rows.push_back(&rule);
  std::sort(rows.begin(), rows.end(),
            [](const auto* a, const auto* b) { return rule_order(*a) < rule_order(*b); });
  return rows;
}

template <class Map>
std::vector<typename Map::const_pointer> sorted_by_key(const Map& map, auto key_order) {
  std::vector<typename Map::const_pointer> rows;
  rows.reserve(map.size());
  for (const auto& entry : map) rows.push_back(&entry);
  std::sort(rows.begin(), rows.end(),
            [&](const auto* a, const auto* b) { return key_order(a->first) < key_order(b->first); });
  return rows;
}

}  // namespace

std::string EffectiveAccessRule::debug() const {
  return fmt::format("EffectiveAccessRule {{ direction: {}, source: {}, dest: {}, pk: {}, action: {} }}",
                     debug_text(direction), source, dest, pk.debug(), debug_text(action));
}

std::string EffectiveAccessRule::to_string() const {
  return fmt::format("direction={} source={} dest={} pk={} action={}\n", debug_text(direction), source,
                     dest, pk.debug(), debug_text(action));
}

std::string EffectiveAccessRuleList::to_string() const {
  std::string out;
  const auto line = [&out](std::string_view type, std::string_view source, std::string_view dest,
                           std::string_view pk, std::string_view action) {
    append_cell(out, type, 4);
    out.push_back(' ');
    append_cell(out, source, 18);
    out.push_back(' ');
    append_cell(out, dest, 18);
    out.push_back(' ');
    append_cell(out, pk, 64);
    out.push_back(' ');
    append_cell(out, action, 6);
    out.push_back('\n');
  };
  line("Type", "Source", "Destination", "PubKey", "Action");
  for (const EffectiveAccessRule* r : sorted_rules(*this)) {
    line(network::to_string(r->direction), r->source.to_string(), r->dest.to_string(), r->pk.to_string(),
         network::to_string(r->action));
  }
  return out;
}

std::string EffectiveAccessRuleList::debug() const {
  std::string out = "EffectiveAccessRuleList({";
  bool first = true;
  for (const EffectiveAccessRule* r : sorted_rules(*this)) {
    if (!first) out += ", ";
    first = false;
    out += fmt::format("EffectiveAccessRuleListEntryKey {{ direction: {}, source: {}, dest: {} }}: {}",
                       debug_text(r->direction), r->source, r->dest, r->debug());
  }
  out += "})";
  return out;
}

std::string EffectiveRoute::debug() const {
  return fmt::format("EffectiveRoute {{ dest: {}, gw: {} }}", dest, gw);
}

std::string EffectiveRoutingList::to_string() const {
  std::string out;
  append_cell(out, "Destination", 18);
  out.push_back(' ');
  append_cell(out, "Gateway", 15);
  out.push_back('\n');
  for (const auto* entry : sorted_by_key(routes, net_order)) {
    append_cell(out, entry->second.dest.to_string(), 18);
    out.push_back(' ');
    append_cell(out, entry->second.gw.to_string(), 15);
    out.push_back('\n');
  }
  return out;
}

std::string EffectiveRoutingList::debug() const {
  std::string out = "EffectiveRoutingList({";
  bool first = true;
  for (const auto* entry : sorted_by_key(routes, net_order)) {
    if (!first) out += ", ";
    first = false;
    out += fmt::format("{}: {}", entry->first, entry->second.debug());
  }
  out += "})";
  return out;
}

std::string EffectiveForwardingList::debug() const {
  std::vector<Ipv4Net> nets(networks.begin(), networks.end());
  std::sort(nets.begin(), nets.end(), [](const auto& a, const auto& b) { return net_order(a) < net_order(b); });
  return fmt::format("EffectiveForwardingList({{{}}})", fmt::join(nets, ", "));
}

std::string HostnameList::to_string() const {
  std::string out;
  append_cell(out, "IP", 15);
  out += " Hostname\n";
  for (const auto* entry : sorted_by_key(hostnames, [](Ipv4Addr a) { return a.to_uint(); })) {
    append_cell(out, entry->first.to_string(), 15);
    out.push_back(' ');
    out += entry->second;
    out.push_back('.');
    out += kOverlayDnsZone;
    out.push_back('\n');
  }
  return out;
}

std::string HostnameList::debug() const {
  std::string out = "HostnameList({";
  bool first = true;
  for (const auto* entry : sorted_by_key(hostnames, [](Ipv4Addr a) { return a.to_uint(); })) {
    if (!first) out += ", ";
    first = false;
    out += entry->first.to_string();
    out += ": ";
    out += debug_quoted(entry->second);
  }
  out += "})";
  return out;
}

}  // namespace velarix::network
