#include "peer/super_peer.h"

#include <algorithm>

#include <boost/asio/error.hpp>

#include "util/log.h"
#include "util/net.h"
#include "util/resolver.h"

namespace velarix::p2p {

namespace {

std::string debug_list(const ResolvedAddrs& addrs) {
  std::string out = "[";
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    if (i > 0) out += ", ";
    out += util::net::to_string(addrs[i]);
  }
  return out + "]";
}

}  // namespace

SuperPeer::SuperPeer(const PubKey& key, std::string addr, std::uint16_t port, std::optional<ResolvedAddrs> resolved,
                     MessageKey message_key, std::uint64_t hello_timeout_ms)
    : key_(key),
      addr_(std::move(addr)),
      port_(port),
      message_key_(message_key),
      replay_(message_key ? std::make_unique<ReplayWindow>() : nullptr),
      hello_timeout_ms_(hello_timeout_ms),
      resolved_(std::move(resolved)) {}

boost::asio::awaitable<std::expected<ResolvedAddrs, PeerError>> SuperPeer::lookup_host(std::string addr) {
  return lookup_host(std::move(addr), std::chrono::milliseconds(kLookupTimeoutMs));
}

boost::asio::awaitable<std::expected<ResolvedAddrs, PeerError>> SuperPeer::lookup_host(
    std::string addr, std::chrono::milliseconds timeout) {
  log::trace("Resolve hostname {}", addr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string host;
  std::uint16_t port = 0;
  if (!util::net::split_host_port(addr, host, port)) {
    const std::string reason = "invalid socket address";
    log::warn("Failed to resolve hostname {}: {}", addr, reason);
    co_return std::unexpected(PeerError(PeerError::SuperPeerLookupFailed{addr, reason}));
  }
  auto found = co_await util::resolve_host(host, deadline);
  if (!found && found.error() == boost::asio::error::timed_out) {
    const auto ms = static_cast<std::uint64_t>(timeout.count());
    log::warn("Timeout of {} ms exceeded while attempting to resolve hostname {}", ms, addr);
    co_return std::unexpected(PeerError(PeerError::SuperPeerResolveTimeout{addr, ms}));
  }
  if (!found) {
    const std::string reason = found.error().message();
    log::warn("Failed to resolve hostname {}: {}", addr, reason);
    co_return std::unexpected(PeerError(PeerError::SuperPeerLookupFailed{addr, reason}));
  }
  ResolvedAddrs out;
  out.reserve(found->size());
  for (const auto& ip : *found) out.emplace_back(ip, port);
  if (log::enabled(spdlog::level::trace)) log::trace("Resolved hostname {} to {}", addr, debug_list(out));
  if (out.empty()) co_return std::unexpected(PeerError(PeerError::SuperPeerResolveEmpty{}));
  co_return out;
}

void SuperPeer::add_paths_for_resolved_addrs(const UdpBindings& bindings, const std::optional<ResolvedAddrs>& resolved,
                                             DirectPaths& paths) {
  if (!resolved) return;
  for (const auto& binding : bindings) {
    const auto& local = binding->local_addr();
    for (const auto& remote : *resolved) {
      if (local.protocol() != remote.protocol()) continue;
      if (local.address().is_loopback() && !remote.address().is_loopback()) continue;
      PeerPathKey key{local, remote};
      if (!paths.contains(key)) paths.insert_if_absent(key, std::make_shared<PeerPath>());
    }
  }
}

std::shared_ptr<TcpConnection> SuperPeer::new_tcp_path(const util::CancellationToken& parent) {
  auto conn = std::make_shared<TcpConnection>(parent.child_token());
  std::lock_guard lock(tcp_write_);
  if (auto old = tcp_.exchange(std::make_shared<const std::shared_ptr<TcpConnection>>(conn)); old && *old) {
    (*old)->cancel_connection();
  }
  return conn;
}

void SuperPeer::clear_tcp_connection(const std::shared_ptr<TcpConnection>& conn) {
  std::lock_guard lock(tcp_write_);
  if (*tcp_.load() == conn) tcp_.store(std::shared_ptr<TcpConnection>());
}

bool SuperPeer::establish_tcp_connection(std::uint64_t now, std::uint64_t hello_timeout_ms, bool enforce_tcp) const {
  if (auto conn = tcp_connection(); conn && !conn->is_cancelled()) return false;
  if (enforce_tcp) return true;
  const auto paths = udp_paths_.snapshot();
  if (paths->empty()) return true;
  bool waited = false;
  for (const auto& [k, p] : *paths) {
    const auto inner = p->inner();
    if (inner->is_reachable(now, hello_timeout_ms)) return false;
    if (inner->hello_tx && *inner->hello_tx != 0 && now >= *inner->hello_tx &&
        now - *inner->hello_tx >= hello_timeout_ms * 1000) {
      waited = true;
    }
  }
  return waited;
}

void SuperPeer::remove_invalid_udp_paths(std::uint64_t, std::uint64_t,
                                         const std::vector<boost::asio::ip::address>& host_ips) {
  const auto resolved = resolved_addrs();
  udp_paths_.erase_if([&](const PeerPathKey& key, const std::shared_ptr<PeerPath>&) {
    const auto local_ip = key.local.address();
    if (!local_ip.is_unspecified() && std::find(host_ips.begin(), host_ips.end(), local_ip) == host_ips.end()) {
      return true;
    }
    if (resolved && std::none_of(resolved->begin(), resolved->end(), [&](const auto& ep) {
          return util::net::same_socket_addr(ep, key.remote);
        })) {
      return true;
    }
    return false;
  });
}

std::vector<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> SuperPeer::ordered_udp_paths(
    std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  struct Entry {
    PeerPathKey key;
    std::shared_ptr<PeerPath> path;
    bool reachable;
    std::uint64_t latency;
  };
  std::vector<Entry> entries;
  for (const auto snapshot = udp_paths_.snapshot(); const auto& [k, p] : *snapshot) {
    const auto inner = p->inner();
    entries.push_back({k, p, inner->is_reachable(now, hello_timeout_ms), inner->median_latency().value_or(UINT64_MAX)});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.reachable != b.reachable) return a.reachable;
    if (a.latency != b.latency) return a.latency < b.latency;
    return a.key.to_string() < b.key.to_string();
  });
  std::vector<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> out;
  out.reserve(entries.size());
  for (auto& e : entries) out.emplace_back(e.key, std::move(e.path));
  return out;
}

std::optional<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> SuperPeer::best_udp_path(
    std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  auto ordered = ordered_udp_paths(now, hello_timeout_ms);
  if (ordered.empty()) return std::nullopt;
  return std::move(ordered.front());
}

std::optional<PeerPathKey> SuperPeer::best_udp_path_key(std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  auto best = best_udp_path(now, hello_timeout_ms);
  if (!best) return std::nullopt;
  return best->first;
}

bool SuperPeer::is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  for (const auto snapshot = udp_paths_.snapshot(); const auto& [k, p] : *snapshot) {
    if (p->is_reachable(now, hello_timeout_ms)) return true;
  }
  auto conn = tcp_connection();
  return conn && !conn->is_cancelled() && conn->path()->is_reachable(now, hello_timeout_ms);
}

bool SuperPeer::is_reachable() const { return is_reachable(util::now_us(), hello_timeout_ms_); }

std::optional<PeerPathKey> SuperPeer::best_udp_path_key() const {
  return best_udp_path_key(util::now_us(), hello_timeout_ms_);
}

std::optional<std::uint64_t> SuperPeer::best_latency(std::uint64_t now, std::uint64_t hello_timeout_ms) const {
  std::optional<std::uint64_t> best;
  auto consider = [&](const PeerPath& p) {
    const auto inner = p.inner();
    if (!inner->is_reachable(now, hello_timeout_ms)) return;
    const auto l = inner->median_latency().value_or(UINT64_MAX);
    if (!best || l < *best) best = l;
  };
  for (const auto snapshot = udp_paths_.snapshot(); const auto& [k, p] : *snapshot) consider(*p);
  if (auto conn = tcp_connection(); conn && !conn->is_cancelled()) consider(*conn->path());
  return best;
}

}  // namespace velarix::p2p
