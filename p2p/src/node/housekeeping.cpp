// Housekeeping: the runner, one pass, and the upkeep of bindings, node peers,
// super peers, the default route and the send handles.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "crypto/crypto.h"
#include "node/inner.h"
#include "node/send_handle.h"
#include "util/join_all.h"
#include "util/log.h"
#include "util/net.h"
#include "util/runtime.h"
#include "util/span.h"

namespace velarix::p2p {

namespace {

bool has_binding_for(const UdpBindings& bindings, const UdpEndpoint& local) {
  return std::any_of(bindings.begin(), bindings.end(),
                     [&](const auto& b) { return util::net::same_socket_addr(b->local_addr(), local); });
}

// Takes a dropped binding's socket out of its port's reuse group at once, so that
// the kernel stops handing it datagrams that no reader will read. The descriptor
// stays valid (it now names an unbound socket) for any sender still holding it.
void retire_socket(UdpBinding& binding) {
  const int fd = binding.socket()->native_handle();
  if (fd < 0) return;
  const int fresh = ::socket(binding.local_addr().address().is_v4() ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fresh < 0) return;
  ::dup2(fresh, fd);
  ::close(fresh);
}

}  // namespace

boost::asio::awaitable<void> NodeInner::housekeeping_runner(std::shared_ptr<NodeInner> node,
                                                            util::CancellationToken token) {
  using namespace boost::asio::experimental::awaitable_operators;
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
  const auto interval = std::chrono::milliseconds(std::max<std::uint64_t>(1, node->opts().housekeeping_interval));
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    if (token.is_cancelled()) {
      log::trace("Housekeeping cancelled");
      break;
    }
    timer.expires_at(next);
    auto r = co_await (token.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)) ||
                       timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    if (r.index() == 0 || token.is_cancelled()) {
      log::trace("Housekeeping cancelled");
      break;
    }
    auto pass = co_await node->housekeeping();
    if (!pass) log::error("Error in housekeeping: {}", pass.error().message());
    next += interval;
  }
  log::trace("Housekeeping runner stopped");
}

boost::asio::awaitable<std::expected<void, Error>> NodeInner::housekeeping() {
  log::Span span(spdlog::level::info, "housekeeping");
  log::trace("Start housekeeping");
  remove_stale_peers_housekeeping();
  auto addrs = my_addrs();
  if (!addrs) co_return std::unexpected(addrs.error());
  std::vector<boost::asio::ip::address> ips;
  ips.reserve(addrs->size());
  for (const auto& [name, ip] : *addrs) ips.push_back(ip);
  // The tunnel's own addresses carry the overlay; the overlay cannot run over them (a HELLO from
  // one leaves through the underlay, and its answer has no way back).
  const auto underlay = util::net::outside_of(ips, *overlay_networks());
  if (auto r = udp_bindings_housekeeping(underlay); !r) co_return r;
  auto candidates = my_endpoint_candidates(ips);
  if (!candidates) co_return std::unexpected(candidates.error());

  // Every super peer side by side, and the node peers one after another beside them: a super
  // peer whose name is slow to resolve delays neither the HELLOs to the others nor the node peers.
  const auto peers = peers_->peers.snapshot();
  std::vector<boost::asio::awaitable<std::expected<void, Error>>> steps;
  for (const auto& [key, peer] : *peers) {
    if (auto sp = as_super_peer(peer)) {
      steps.push_back(super_peer_housekeeping(key, *sp, current_time(), ips, *candidates));
    }
  }
  steps.push_back(util::with_captures([this, peers]() -> boost::asio::awaitable<std::expected<void, Error>> {
    for (const auto& [key, peer] : *peers) {
      auto np = as_node_peer(peer);
      if (np == nullptr) continue;
      if (auto r = co_await node_peer_housekeeping(key, **np, current_time()); !r) co_return r;
    }
    co_return std::expected<void, Error>{};
  }));
  for (auto& r : co_await util::join_all(std::move(steps))) {
    if (!r) co_return r;
  }
  default_route_housekeeping();
  send_handles_housekeeping();
  log::trace("Finished housekeeping");
  co_return std::expected<void, Error>{};
}

boost::asio::awaitable<std::expected<void, Error>> NodeInner::node_peer_housekeeping(const PubKey& key, NodePeer& peer,
                                                                                     std::uint64_t now) {
  log::Span span(spdlog::level::info, "node_peer", log::field("pk", key));
  const std::uint64_t hello_timeout = opts_.hello_timeout;
  // 1.
  const PubKey default_route = peers_->default_route();
  // 2. Rx short id.
  if (peer.rx_short_id().is_none()) {
    for (;;) {
      const ShortId id = ShortId::random();
      if (peers_->short_ids.insert_if_absent(id, key).second) {
        peer.set_rx_short_id(id);
        break;
      }
    }
  }
  // 3. Direct paths whose binding is gone.
  {
    const auto bindings = udp_bindings();
    peer.paths().erase_if([&](const PeerPathKey& k, const std::shared_ptr<PeerPath>&) {
      if (has_binding_for(*bindings, k.local)) return false;
      log::trace("Remove UDP path without corresponding binding path={}", k.to_string());
      return true;
    });
  }
  // 4. / 5.
  if (!peer.has_app_traffic(now, opts_.hello_max_age)) {
    log::trace("No app traffic");
    peer.clear_paths();
    peer.clear_app_tx_rx();
  } else {
    log::trace("We have app traffic");
    const std::uint64_t now2 = current_time();
    peer.remove_stale_paths(now2, hello_timeout);

    // Every path gets its own HELLO time (now2, now2 + 1 µs, ...), so that an ACK answers exactly
    // the path its HELLO went out on.
    std::uint64_t time = now2;
    const std::size_t hello_size = HelloNodePeerMessage::wire_size(peer.message_key().has_value());
    // In rounds: the probe credit may pay for only a few HELLOs to addresses that never
    // answered, and those go first to the ones the peer greeted us from, where it is, and
    // to a loopback address (a peer on this host) last.
    const auto round_of = [](const PeerPathKey& k, const PeerPathInner& record) {
      if (record.last_ack_time != 0 || record.heard) return 0;
      return k.remote.address().is_loopback() ? 2 : 1;
    };
    const auto snapshot = peer.paths().snapshot();
    for (int round = 0; round < 3; ++round) {
      for (const auto& [path_key, path] : *snapshot) {
        if (round_of(path_key, *path->inner()) != round) continue;
        if (log::enabled(spdlog::level::trace)) {
          log::trace("Contact peer via endpoint to test reachability/maintain link: {}", path_key.to_string());
        }
        if (!may_probe(peer, *path, hello_size)) {
          log::trace("No more HELLOs to an endpoint that never answered: {}", path_key.to_string());
          continue;
        }
        auto hello = HelloNodePeerMessage::build(network_id_, own_key(), own_pow(), peer.message_key(), key, time,
                                                 peer.rx_short_id());
        if (!hello) co_return std::unexpected(Error(hello.error()));
        path->hello_tx(time);
        ++time;
        auto socket = udp_socket_for(path_key);
        if (!socket) {
          log::warn("No udp socket found for path {}", path_key.to_string());
          continue;
        }
        boost::system::error_code ec;
        socket->send_to(boost::asio::buffer(*hello), path_key.remote, 0, ec);
        if (ec) {
          log::warn("Failed to send HELLO to node peer via {}: {}", path_key.to_string(), ec.message());
        } else if (log::enabled(spdlog::level::trace)) {
          log::trace("Sent HELLO to node peer via {}", path_key.to_string());
        }
      }
    }

    if (peer.is_reachable(now2, hello_timeout)) {
      log::trace("Reachable direct paths available, cleared relay paths.");
      peer.relay_paths().clear();
    } else {
      log::trace("No reachable path to peer, attempting to establish relay path through super peers");
      for (const auto& sp : super_peers_) {
        auto hello = HelloNodePeerMessage::build(network_id_, own_key(), own_pow(), peer.message_key(), key, time,
                                                 peer.rx_short_id());
        if (!hello) co_return std::unexpected(Error(hello.error()));
        peer.relay_path(sp->key())->hello_tx(time);
        ++time;
        auto conn = sp->tcp_connection();
        if (auto writer = conn ? conn->writer() : nullptr) {
          co_await send_super_peer_tcp(writer, sp->key(), *hello);
          log::trace("Sent relayed HELLO to node peer via super peer TCP {}", sp->key());
          continue;
        }
        log::trace("No TCP connection/stream available to super peer {}", sp->key());
        auto best = sp->best_udp_path(now2, hello_timeout);
        if (!best) {
          log::warn("No UDP path available to super peer {}", sp->key());
          continue;
        }
        auto socket = udp_socket_for(best->first);
        if (!socket) {
          log::warn("No UDP socket found for path local_addr={} for super peer {}", best->first.local, sp->key());
          continue;
        }
        boost::system::error_code ec;
        socket->send_to(boost::asio::buffer(*hello), best->first.remote, 0, ec);
        if (ec) {
          log::warn("Failed to send relayed HELLO via super peer {} UDP local_addr={}: {}", sp->key(),
                    best->first.local, ec.message());
        } else {
          log::trace("Sent relayed HELLO to node peer via super peer {} UDP local_addr={}", sp->key(),
                     best->first.local);
        }
      }
    }
  }
  // 6. / 7.
  peer.update_best_relay(now, hello_timeout, default_route);
  if (!peer.is_reachable(now, hello_timeout)) {
    log::trace("Node is not directly reachable.");
    if (peer.tx_short_id()) peer.set_tx_short_id(std::nullopt);
  }
  co_return std::expected<void, Error>{};
}

boost::asio::awaitable<std::expected<void, Error>> NodeInner::super_peer_housekeeping(
    const PubKey& key, const std::shared_ptr<SuperPeer>& sp, std::uint64_t now,
    const std::vector<boost::asio::ip::address>& ips, const std::vector<Endpoint>& candidates) {
  log::Span span(spdlog::level::info, "super_peer", log::field("pk", key));
  const std::uint64_t hello_timeout = opts_.hello_timeout;
  // A link whose HELLOs go unanswered for hello_timeout is dead whatever the socket says (a
  // super peer that stopped answering, a path that black-holes): close it, so that it is
  // replaced rather than waited on until the system gives up.
  if (auto conn = sp->tcp_connection(); conn && !conn->is_cancelled() && conn->writer() &&
                                        conn->path()->is_stale(now, hello_timeout)) {
    log::warn("TCP link to super peer {} got no ACK for {} ms; closing it", key, hello_timeout);
    conn->cancel_connection();
  }
  // 1. TCP link.
  if (sp->establish_tcp_connection(now, hello_timeout, opts_.enforce_tcp)) {
    log::trace("Establish TCP connection");
    auto conn = sp->new_tcp_path(root_);
    util::spawn_detached(executor_, tcp_connector(shared_from_this(), key, sp->tcp_addr(), conn, now,
                                                  sp->message_key()));
  } else {
    log::trace("No TCP connection establishment condition met (it might exist already)");
  }
  // 2. - 4.
  const std::uint64_t now2 = current_time();
  {
    const auto bindings = udp_bindings();
    sp->udp_paths().erase_if(
        [&](const PeerPathKey& k, const std::shared_ptr<PeerPath>&) { return !has_binding_for(*bindings, k.local); });
  }
  sp->remove_invalid_udp_paths(now2, hello_timeout, ips);
  // 5.
  if (auto conn = sp->tcp_connection(); conn && !opts_.enforce_tcp) {
    bool reachable = false;
    for (const auto snapshot = sp->udp_paths().snapshot(); const auto& [k, p] : *snapshot) {
      if (p->is_reachable(now2, hello_timeout)) {
        reachable = true;
        break;
      }
    }
    if (reachable) {
      log::trace("TCP connection not longer required as a reachable UDP path has become available.");
      conn->cancel_connection();
    } else {
      log::trace("TCP connection still required as no reachable UDP path has become available.");
    }
  }
  // 6. / 7.
  auto resolved = co_await SuperPeer::lookup_host(sp->addr());
  if (resolved) {
    sp->update_resolved_addrs(std::move(*resolved));
  } else {
    log::warn("Failed to update resolved super peer addresses for super peer {}: {}", sp->addr(),
              resolved.error().message());
  }
  SuperPeer::add_paths_for_resolved_addrs(*udp_bindings(), sp->resolved_addrs(), sp->udp_paths());
  // 8.
  log::trace("Send HELLO to super peer");
  auto hello = HelloSuperPeerMessage::build(network_id_, own_key(), own_pow(), sp->message_key(), key, now2, candidates);
  if (!hello) co_return std::unexpected(Error(hello.error()));
  // 9.
  log::trace("Try to reach super peer via UDP");
  // Best path first, the one relayed messages take: the super peer keeps the address the first
  // copy of a HELLO came from as the node's own, and counts (and introduces on) only what is
  // relayed from there.
  for (const auto& [path_key, path] : sp->ordered_udp_paths(now2, hello_timeout)) {
    if (log::enabled(spdlog::level::trace)) log::trace("Send via path path={}", path_key.to_string());
    auto socket = udp_socket_for(path_key);
    if (!socket) {
      log::warn("No UDP socket found path={}", path_key.to_string());
      continue;
    }
    path->hello_tx(now2);
    boost::system::error_code ec;
    socket->send_to(boost::asio::buffer(*hello), path_key.remote, 0, ec);
    if (log::enabled(spdlog::level::trace)) {
      if (ec) {
        log::trace("UDP send error: {} path={}", ec.message(), path_key.to_string());
      } else {
        log::trace("UDP send successful path={}", path_key.to_string());
      }
    }
  }
  // 10.
  auto conn = sp->tcp_connection();
  if (auto writer = conn ? conn->writer() : nullptr) {
    log::trace("TCP path present. Send HELLO via TCP");
    conn->hello_tx(now2);
    co_await send_super_peer_tcp(writer, key, *hello);
  } else {
    log::trace("No TCP path present. Do not send HELLO via TCP");
  }
  co_return std::expected<void, Error>{};
}

void NodeInner::remove_stale_peers_housekeeping() {
  const std::uint64_t now = current_time();
  const std::uint64_t max_age_us = opts_.hello_max_age * 1000;
  const auto handles = send_handles_->handles.snapshot();
  std::vector<std::pair<PubKey, ShortId>> removed;
  peers_->peers.erase_if([&](const PubKey& key, const Peer& p) {
    auto np = as_node_peer(p);
    if (np == nullptr || handles->contains(key)) return false;
    const auto& peer = **np;
    if (peer.has_app_traffic(now, opts_.hello_max_age)) return false;
    if (now < peer.created_at() || now - peer.created_at() <= max_age_us) return false;
    removed.emplace_back(key, peer.rx_short_id());
    return true;
  });
  for (const auto& [key, id] : removed) {
    log::trace("Remove stale peer {}", key);
    peers_->short_ids.erase_if_key(id, [&](const PubKey& k) { return k == key; });
  }
}

std::expected<void, Error> NodeInner::udp_bindings_housekeeping(const std::vector<boost::asio::ip::address>& ips) {
  const auto current = udp_bindings();
  const std::vector<boost::asio::ip::address>& wanted = opts_.udp_addrs.empty() ? ips : opts_.udp_addrs;
  UdpBindings next;
  bool changed = false;
  for (const auto& b : *current) {
    const bool keep = !b->is_cancelled() &&
                      std::find(wanted.begin(), wanted.end(), b->local_addr().address()) != wanted.end();
    if (keep) {
      next.push_back(b);
    } else {
      b->cancel_binding();
      retire_socket(*b);
      changed = true;
    }
  }
  UdpBindings added;
  for (const auto& ip : wanted) {
    const auto have = static_cast<std::size_t>(std::count_if(
        next.begin(), next.end(), [&](const auto& b) { return b->local_addr().address() == ip; }));
    for (std::size_t i = have; i < opts_.udp_sockets; ++i) {
      const boost::asio::ip::udp::endpoint addr(ip, port_);
      auto socket = new_udp_reuseport(executor_, addr, std::string());
      if (!socket) {
        log::warn("Failed to bind new UDP server: {}", socket.error().message());
        break;
      }
      boost::system::error_code ec;
      const auto local = (*socket)->local_endpoint(ec);
      if (ec) return std::unexpected(Error(Error::UdpLocalAddrError{std::error_code(ec)}));
      log::trace("Bound UDP server addr={}", local);
      auto binding = std::make_shared<UdpBinding>(std::move(*socket), root_.child_token(), local);
      next.push_back(binding);
      added.push_back(std::move(binding));
      changed = true;
    }
  }
  if (!changed) return {};
  set_udp_bindings(std::move(next));
  for (auto& b : added) start_reader(shared_from_this(), std::move(b));
  return {};
}

void NodeInner::default_route_housekeeping() {
  const std::uint64_t now = current_time();
  const std::uint64_t timeout = opts_.hello_timeout;
  const PubKey current = peers_->default_route();
  if (auto sp = peers_->super_peer(current); sp && sp->is_reachable(now, timeout)) return;
  std::shared_ptr<SuperPeer> best;
  std::uint64_t best_latency = UINT64_MAX;
  for (const auto& sp : super_peers_) {
    if (!sp->is_reachable(now, timeout)) continue;
    const auto l = sp->best_latency(now, timeout).value_or(UINT64_MAX - 1);
    if (!best || l < best_latency) {
      best = sp;
      best_latency = l;
    }
  }
  if (best && best->key() != current) {
    log::debug("Default route changed to super peer {}", best->key());
    peers_->set_default_route(best->key());
  }
}

SendHandleState NodeInner::send_handle_state(const NodePeer& peer) const {
  const std::uint64_t now = current_time();
  const std::uint64_t timeout = opts_.hello_timeout;
  SendHandleState state;
  state.message_key = peer.message_key();
  state.app_tx = peer.app_tx_cell();
  if (auto best = peer.best_path(now, timeout)) {
    if (auto socket = udp_socket_for(best->first)) {
      state.direct_path = best->first.remote;
      state.direct_socket = std::move(socket);
      state.tx_short_id = peer.tx_short_id();
    }
  }
  if (auto sp = peers_->super_peer(peers_->default_route())) {
    for (const auto& [k, p] : sp->ordered_udp_paths(now, timeout)) {
      if (auto socket = udp_socket_for(k)) state.relay_udp_paths.emplace_back(k.remote, std::move(socket));
    }
    if (auto conn = sp->tcp_connection(); conn && !conn->is_cancelled()) state.relay_tcp = conn->writer();
  }
  return state;
}

void NodeInner::send_handles_housekeeping() {
  for (const auto snapshot = send_handles_->handles.snapshot(); const auto& [key, handle] : *snapshot) {
    auto peer = peers_->node_peer(key);
    if (!peer) {
      auto admitted = admit_node_peer(key, std::nullopt, false);
      if (!admitted) continue;
      peer = std::move(*admitted);
    }
    handle->set_state(send_handle_state(*peer));
  }
}

}  // namespace velarix::p2p
