// The blocks of the report's super peers and node peers, and the six lines of
// one path record that both repeat for every path.

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "agent/status.h"
#include "agent/status_format.h"
#include "peer/node_peer.h"
#include "peer/super_peer.h"
#include "util/net.h"

namespace velarix::agent {

namespace {

// A path counts as reachable in the report when its last ACK is at most this old.
constexpr std::uint64_t kReachableWindowUs = 30'000'000;
// The HELLO timeout a node peer's reachability is judged with in the report.
constexpr std::uint64_t kStatusHelloTimeoutMs = 30'000;

std::string latency_ms(std::uint64_t us) { return fmt::format("{:.3f}", static_cast<double>(us) / 1000.0); }

template <class Map, class KeyText>
std::vector<std::pair<std::string, const p2p::PeerPathInner*>> sorted_paths(const Map& paths, KeyText key_text) {
  std::vector<std::pair<std::string, const p2p::PeerPathInner*>> rows;
  rows.reserve(paths.size());
  for (const auto& [key, path] : paths) rows.emplace_back(key_text(key), &path);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return rows;
}

std::string endpoint_text(const p2p::UdpEndpoint& ep) { return p2p::util::net::to_string(ep); }

std::uint64_t ns_to_us(std::uint64_t ns) { return ns / 1000; }

}  // namespace

std::string format_path(const p2p::PeerPathInner& path) { return format_path(path, now_ns()); }

std::string format_path(const p2p::PeerPathInner& path, std::uint64_t now) {
  std::string out = "Unanswered HELLO Since: ";
  if (!path.hello_tx) {
    out += "No HELLO sent yet";
  } else if (*path.hello_tx == 0) {
    out += "No unanswered HELLO";
  } else {
    out += format_timestamp(*path.hello_tx) + " (" + time_ago_in_words(*path.hello_tx, now) + ")";
  }
  out += "\nLast ACK Time: " + format_timestamp(path.last_ack_time);
  if (path.last_ack_time != 0) out += " (" + time_ago_in_words(path.last_ack_time, now) + " ago)";
  out += "\nLast ACK Source: ";
  if (path.last_ack_src) out += endpoint_text(*path.last_ack_src);
  out += "\nLatencies:";
  for (std::size_t i = 0; i < path.latencies.size(); ++i) {
    out += i == 0 ? " " : " ms, ";
    out += latency_ms(path.latencies[i]);
  }
  if (!path.latencies.empty()) out += " ms";
  out += "\n  Median Latency: ";
  const auto median = path.median_latency();
  out += median ? latency_ms(*median) + " ms" : std::string("None");
  const std::uint64_t now_us = ns_to_us(now);
  const std::uint64_t age = now_us > path.last_ack_time ? now_us - path.last_ack_time : 0;
  out += fmt::format("\n[Reachable: {}]", path.last_ack_time != 0 && age <= kReachableWindowUs);
  return out;
}

SuperPeerStatus SuperPeerStatus::new_(const p2p::SuperPeer& sp) {
  SuperPeerStatus s;
  if (auto tcp = sp.tcp_connection()) s.tcp_path = *tcp->path()->inner();
  s.address = sp.addr();
  s.resolved_addrs = sp.resolved_addrs();
  s.port = sp.port();
  s.best_udp_path = sp.best_udp_path_key();
  const auto paths = sp.udp_paths().snapshot();
  s.udp_paths.reserve(paths->size());
  for (const auto& [key, path] : *paths) s.udp_paths.insert_or_assign(key, *path->inner());
  s.reachable = sp.is_reachable();
  return s;
}

std::string SuperPeerStatus::to_string_with_secrets(bool /*with_secrets*/) const { return to_string_at(now_ns()); }

std::string SuperPeerStatus::to_string_at(std::uint64_t now) const {
  std::string out = "Address: " + one_line(address) + "\n";
  if (!resolved_addrs) {
    out += "Resolved Addresses: None\n";
  } else {
    out += "Resolved Addresses:\n";
    for (const auto& ep : *resolved_addrs) out += "  " + endpoint_text(ep) + "\n";
  }
  out += "TCP:\n";
  out += fmt::format("  Port: {}\n", port);
  if (!tcp_path) {
    out += "  Connection: Not present\n";
  } else {
    const bool established = tcp_path->hello_tx.has_value() || tcp_path->last_ack_time != 0;
    out += established ? "  Connection: Established\n" : "  Connection: Establishing\n";
    append_lines(out, format_path(*tcp_path, now), "  ");
  }
  out += "UDP:\n";
  out += "  Best Path: " + (best_udp_path ? best_udp_path->to_string() : std::string("None")) + "\n";
  out += "  Paths:\n";
  for (const auto& [key, path] : sorted_paths(udp_paths, [](const p2p::PeerPathKey& k) { return k.to_string(); })) {
    out += "    " + key + ":\n";
    append_lines(out, format_path(*path, now), "      ");
  }
  out += fmt::format("[Reachable: {}]\n", reachable);
  return out;
}

NodePeerStatus NodePeerStatus::new_(const p2p::NodePeer& peer) {
  NodePeerStatus s;
  s.best_path = peer.best_path_key();
  const auto direct = peer.paths().snapshot();
  s.direct_paths.reserve(direct->size());
  for (const auto& [key, path] : *direct) s.direct_paths.insert_or_assign(key, *path->inner());
  const auto relays = peer.relay_paths().snapshot();
  s.relay_paths.reserve(relays->size());
  for (const auto& [key, path] : *relays) s.relay_paths.insert_or_assign(key, *path->inner());
  s.created_at = peer.created_at();
  s.app_tx = peer.app_tx_time();
  s.app_rx = peer.app_rx_time();
  s.best_relay = peer.best_sp();
  s.rx_short_id = peer.rx_short_id();
  s.tx_short_id = peer.tx_short_id();
  s.reachable = peer.is_reachable(ns_to_us(now_ns()), kStatusHelloTimeoutMs);
  s.pow_state = peer.pow();
  return s;
}

std::string NodePeerStatus::to_string_with_secrets(bool /*with_secrets*/) const { return to_string_at(now_ns()); }

std::string NodePeerStatus::to_string_at(std::uint64_t now) const {
  const auto stamp = [&](std::string_view label, std::uint64_t us) {
    if (us == 0) return std::string(label) + "Never\n";
    return std::string(label) + format_timestamp(us) + " (" + time_ago_in_words(us, now) + " ago)\n";
  };
  std::string out = "PoW State: " + std::string(p2p::to_string(pow_state)) + "\n";
  out += stamp("Created At: ", created_at);
  out += stamp("APP TX: ", app_tx);
  out += stamp("APP RX: ", app_rx);
  out += "Best Direct Path: " + (best_path ? best_path->to_string() : std::string("None")) + "\n";
  if (direct_paths.empty()) {
    out += "Direct Paths: None\n";
  } else {
    out += "Direct Paths:\n";
    for (const auto& [key, path] :
         sorted_paths(direct_paths, [](const p2p::PeerPathKey& k) { return k.to_string(); })) {
      out += "  " + key + ":\n";
      append_lines(out, format_path(*path, now), "    ");
    }
  }
  out += "Best Relay Path: " + best_relay.to_string() + "\n";
  if (relay_paths.empty()) {
    out += "Relay Paths: None\n";
  } else {
    out += "Relay Paths:\n";
    for (const auto& [key, path] : sorted_paths(relay_paths, [](const p2p::PubKey& k) { return k.to_string(); })) {
      out += "  Super Peer " + key + ":\n";
      append_lines(out, format_path(*path, now), "    ");
    }
  }
  out += "TX Short ID: " + (tx_short_id ? tx_short_id->to_string() : std::string("None")) + "\n";
  out += "RX Short ID: " + rx_short_id.to_string() + "\n";
  out += fmt::format("[Reachable: {}]\n", reachable);
  return out;
}

}  // namespace velarix::agent
