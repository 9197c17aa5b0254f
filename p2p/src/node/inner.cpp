#include "node/inner.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/asio/this_coro.hpp>

#include "node/send_handle.h"
#include "util/join_all.h"
#include "util/log.h"
#include "util/net.h"
#include "util/runtime.h"
#include "util/udp_batch.h"

namespace velarix::p2p {

namespace {
// The peers map reserves room for at most this many peers ahead, whatever
// `max_peers` says, so that a huge limit cannot exhaust memory at start.
constexpr std::uint64_t kMaxReservedPeers = 65536;

// Sockets that share a port (ours do, to spread one port over several readers) may be
// given a port already held by another process's sharing sockets when they ask the system
// for one, and would then split that process's datagrams with it. A port the system chooses
// is therefore taken by a socket that shares with nobody, on every address of both
// families, and released just before our sockets bind it; should another socket slip in
// meanwhile, the bind fails and the choice is made again.
constexpr int kChosenPortAttempts = 8;

std::expected<std::uint16_t, std::error_code> choose_free_udp_port() {
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    const int off = 0;
    (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    socklen_t len = sizeof any;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &len) == 0) {
      ::close(fd);
      return ntohs(any.sin6_port);
    }
    ::close(fd);
  }
  // Without IPv6 the IPv4 wildcard covers every IPv4 address.
  const int fd4 = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd4 < 0) return std::unexpected(std::error_code(errno, std::system_category()));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  socklen_t len = sizeof any;
  if (::bind(fd4, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
      ::getsockname(fd4, reinterpret_cast<sockaddr*>(&any), &len) != 0) {
    const std::error_code ec(errno, std::system_category());
    ::close(fd4);
    return std::unexpected(ec);
  }
  ::close(fd4);
  return ntohs(any.sin_port);
}

std::string debug_addrs(const std::vector<std::pair<std::string, boost::asio::ip::address>>& addrs) {
  std::string out = "[";
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("(\"{}\", {})", addrs[i].first, addrs[i].second.to_string());
  }
  return out + "]";
}
}  // namespace

std::string UdpBinding::to_string() const { return "udp://" + util::net::to_string(local_addr_); }

NodeInner::NodeInner(NodeOpts opts, NetworkId network_id, std::unique_ptr<PeersList> peers,
                     std::optional<crypto::X25519Key> x_sk, std::optional<crypto::X25519Key> x_pk,
                     const PubKey& default_route, UdpBindings bindings, std::uint16_t port,
                     util::CancellationToken root, Executor executor)
    : opts_(std::move(opts)),
      network_id_(network_id),
      peers_(std::move(peers)),
      x_sk_(x_sk),
      x_pk_(x_pk),
      bindings_(std::move(bindings)),
      port_(port),
      root_(std::move(root)),
      executor_(std::move(executor)),
      send_handles_(std::make_unique<SendHandlesList>()) {
  peers_->set_default_route(default_route);
  for (const auto snapshot = peers_->peers.snapshot(); const auto& [k, p] : *snapshot) {
    if (auto sp = as_super_peer(p)) super_peers_.push_back(*sp);
  }
}

NodeInner::~NodeInner() {
  root_.cancel();
  send_handles_->close_all();
}

std::uint64_t NodeInner::current_time() noexcept { return util::now_us(); }
std::uint64_t NodeInner::cached_time() noexcept { return util::coarse_now_us(); }

std::expected<std::vector<std::pair<std::string, boost::asio::ip::address>>, Error> NodeInner::my_addrs() {
  auto addrs = util::net::get_addrs();
  if (!addrs) return std::unexpected(Error(Error::GetAddrsFailed{addrs.error()}));
  return std::move(*addrs);
}

std::expected<std::shared_ptr<NodeInner::UdpSocket>, std::error_code> NodeInner::new_udp_reuseport(
    const Executor& executor, const boost::asio::ip::udp::endpoint& addr, const std::string&) {
  // The socket lives on a lane, where its reader stays (util/runtime.h).
  auto socket = std::make_shared<UdpSocket>(util::Runtime::lane_for(executor));
  boost::system::error_code ec;
  socket->open(addr.protocol(), ec);
  if (ec) return std::unexpected(std::error_code(ec));
  socket->set_option(boost::asio::socket_base::reuse_address(true), ec);
  if (ec) return std::unexpected(std::error_code(ec));
  const int one = 1;
  if (::setsockopt(socket->native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
    return std::unexpected(std::error_code(errno, std::system_category()));
  }
  if (addr.address().is_v6()) {
    socket->set_option(boost::asio::ip::v6_only(true), ec);
    if (ec) return std::unexpected(std::error_code(ec));
  }
  socket->bind(addr, ec);
  if (ec) return std::unexpected(std::error_code(ec));
  // A burst at full speed must not overflow the default buffers within milliseconds.
  util::size_socket_buffers(socket->native_handle(), kSocketBufferBytes);
  // Sends never block a thread: a sender that finds the buffer full waits for room as a task.
  socket->non_blocking(true, ec);
  if (ec) return std::unexpected(std::error_code(ec));
  return socket;
}

boost::asio::awaitable<std::expected<std::shared_ptr<NodeInner>, Error>> NodeInner::create(NodeOpts opts) {
  using Result = std::expected<std::shared_ptr<NodeInner>, Error>;
  auto executor = co_await boost::asio::this_coro::executor;

  // 1. Key-exchange keys.
  std::optional<crypto::X25519Key> x_sk, x_pk;
  if (opts.arm_messages) {
    auto sk = crypto::convert_ed25519_sk_to_curve25519_sk(opts.identity.sk());
    if (!sk) co_return Result(std::unexpected(Error(sk.error())));
    auto pk = crypto::convert_ed25519_pk_to_curve25519_pk(opts.identity.pk());
    if (!pk) co_return Result(std::unexpected(Error(pk.error())));
    x_sk = *sk;
    x_pk = *pk;
  }

  if (!opts.arm_messages) {
    log::warn(
        "Messages are not armed: traffic between nodes is neither encrypted nor authenticated, and anyone on the "
        "path can read, forge or replay it");
  }

  // 2. Addresses.
  std::vector<std::pair<std::string, boost::asio::ip::address>> addrs;
  const bool configured = !opts.udp_addrs.empty();
  if (configured) {
    for (const auto& a : opts.udp_addrs) addrs.emplace_back(std::string(), a);
  } else {
    auto host = util::net::get_addrs();
    if (!host) co_return Result(std::unexpected(Error(Error::GetAddrsFailed{host.error()})));
    addrs = std::move(*host);
  }
  if (log::enabled(spdlog::level::trace)) log::trace("UDP addresses: {}", debug_addrs(addrs));

  // 3. Port.
  std::uint16_t port = opts.udp_port ? *opts.udp_port : opts.identity.pk().udp_port();
  const bool system_port = port == 0;
  log::trace("UDP port: {}", port);

  // 4. Root token.
  util::CancellationToken root;

  // 5. Sockets, every one on the same port.
  UdpBindings bindings;
  for (int attempt = 0;; ++attempt) {
    if (system_port) {
      auto chosen = choose_free_udp_port();
      if (!chosen) {
        co_return Result(std::unexpected(
            Error(Error::BindError{chosen.error(), boost::asio::ip::udp::endpoint(boost::asio::ip::udp::v4(), 0)})));
      }
      port = *chosen;
      log::trace("UDP port chosen by the system: {}", port);
    }
    bindings.clear();
    bindings.reserve(addrs.size() * opts.udp_sockets);
    bool retry = false;
    for (const auto& [ifname, ip] : addrs) {
      const boost::asio::ip::udp::endpoint addr(ip, port);
      for (std::size_t i = 0; i < opts.udp_sockets; ++i) {
        log::trace("Bind new UDP server addr={}", addr);
        auto socket = new_udp_reuseport(executor, addr, ifname);
        if (!socket) {
          if (system_port && socket.error() == std::errc::address_in_use && attempt + 1 < kChosenPortAttempts) {
            retry = true;
            break;
          }
          if (configured) co_return Result(std::unexpected(Error(Error::BindError{socket.error(), addr})));
          log::warn("Failed to bind new UDP server: {}", socket.error().message());
          continue;
        }
        if (i == 0) log::trace("Bound UDP server addr={}", addr);
        boost::system::error_code ec;
        const auto local = (*socket)->local_endpoint(ec);
        if (ec) co_return Result(std::unexpected(Error(Error::UdpLocalAddrError{std::error_code(ec)})));
        bindings.push_back(std::make_shared<UdpBinding>(std::move(*socket), root.child_token(), local));
      }
      if (retry) break;
    }
    if (!retry) break;
  }

  // 6.
  if (bindings.empty()) {
    log::warn(
        "Could not bind to any UDP addresses. This may be because the system currently has no IP address (which is "
        "fine; the node will automatically bind once addresses become available).");
  }

  // 7. Peers map.
  auto peers = std::make_unique<PeersList>(static_cast<std::size_t>(std::min(opts.max_peers, kMaxReservedPeers)));

  // 8. Super peers.
  if (opts.super_peers.empty()) co_return Result(std::unexpected(Error(Error::NoSuperPeers{})));
  const NetworkId network_id = network_id_from_u32(opts.super_peers.front().network_id());
  for (const auto& url : opts.super_peers) {
    const NetworkId id = network_id_from_u32(url.network_id());
    if (id != network_id) {
      co_return Result(std::unexpected(Error(Error::SuperPeerNetworkIdMismatch{network_id, id})));
    }
  }
  // The names are looked up side by side: a slow one holds the start-up for its own time limit
  // at most, and the others are not queued behind it.
  std::vector<boost::asio::awaitable<std::expected<ResolvedAddrs, PeerError>>> lookups;
  lookups.reserve(opts.super_peers.size());
  for (const auto& url : opts.super_peers) lookups.push_back(SuperPeer::lookup_host(url.addr()));
  auto lookups_done = co_await util::join_all(std::move(lookups));
  for (std::size_t i = 0; i < opts.super_peers.size(); ++i) {
    const auto& url = opts.super_peers[i];
    auto& resolved = lookups_done[i];
    std::optional<ResolvedAddrs> addrs_found;
    if (resolved) addrs_found = std::move(*resolved);
    MessageKey key;
    if (opts.arm_messages) {
      auto sp_x = crypto::convert_ed25519_pk_to_curve25519_pk(url.pk());
      if (!sp_x) co_return Result(std::unexpected(Error(PeerError(sp_x.error()))));
      auto session = crypto::compute_kx_session_keys(*x_pk, *x_sk, *sp_x);
      if (!session) co_return Result(std::unexpected(Error(PeerError(session.error()))));
      key = *session;
    }
    auto sp = std::make_shared<SuperPeer>(url.pk(), url.addr(), url.port(), addrs_found, key,
                                          opts.hello_timeout);
    SuperPeer::add_paths_for_resolved_addrs(bindings, addrs_found, sp->udp_paths());
    peers->peers.insert_or_assign(url.pk(), Peer(sp));
  }

  // 9. Default route: the first entry of the map.
  const PubKey default_route = peers->peers.snapshot()->begin()->first;

  // 10.
  co_return std::make_shared<NodeInner>(std::move(opts), network_id, std::move(peers), x_sk, x_pk, default_route,
                                        std::move(bindings), port, std::move(root), executor);
}

std::expected<std::vector<Endpoint>, Error> NodeInner::my_endpoint_candidates(
    const std::vector<boost::asio::ip::address>& ips) const {
  std::vector<Endpoint> out;
  auto add = [&](const boost::asio::ip::address& ip, std::uint16_t port) {
    if (out.size() >= kMaxEndpoints || ip.is_unspecified() || port == 0) return;
    if (ip.is_v6() && (ip.to_v6().is_link_local() || ip.to_v6().is_v4_mapped())) return;
    const Endpoint ep(ip, port);
    if (std::none_of(out.begin(), out.end(), [&](const Endpoint& e) { return util::net::same_socket_addr(e, ep); })) {
      out.push_back(ep);
    }
  };
  // The overlay's own addresses are left out whoever asks (the UDP HELLOs and a link's greeting
  // announce one list): a super peer would hand them out, and nothing comes back through them.
  const auto underlay = util::net::outside_of(ips, *overlay_networks());
  for (const auto snapshot = udp_bindings(); const auto& b : *snapshot) {
    if (b->is_cancelled()) continue;
    const auto& local = b->local_addr();
    if (local.address().is_unspecified()) {
      for (const auto& ip : underlay) {
        if (ip.is_v4() == local.address().is_v4()) add(ip, local.port());
      }
    } else {
      add(local.address(), local.port());
    }
  }
  return out;
}

std::shared_ptr<NodeInner::UdpSocket> NodeInner::udp_socket_for(const PeerPathKey& key) const {
  for (const auto snapshot = udp_bindings(); const auto& b : *snapshot) {
    if (util::net::same_socket_addr(b->local_addr(), key.local)) return b->socket();
  }
  return nullptr;
}

std::size_t NodeInner::max_unverified_peers() const noexcept {
  if (opts_.max_peers == 0) return kMaxUnverifiedPeers;
  return std::clamp<std::size_t>(static_cast<std::size_t>(opts_.max_peers / 4), 1, kMaxUnverifiedPeers);
}

bool NodeInner::is_unverified(const PubKey& key, const std::shared_ptr<NodePeer>& peer) const {
  if (!peer || peer->pow() == PowStatus::Ok) return false;
  auto current = peers_->peers.get(key);
  if (!current) return false;
  auto np = as_node_peer(*current);
  return np != nullptr && *np == peer && !send_handles_->handles.contains(key);
}

void NodeInner::remove_peer(const PubKey& key, const std::shared_ptr<NodePeer>& peer) {
  const bool removed = peers_->peers
                           .erase_if_key(key,
                                         [&](const Peer& p) {
                                           auto np = as_node_peer(p);
                                           return np != nullptr && *np == peer;
                                         })
                           .has_value();
  if (!removed) return;
  peers_->short_ids.erase_if_key(peer->rx_short_id(), [&](const PubKey& k) { return k == key; });
}

bool NodeInner::evict_unverified(std::size_t keep_below) {
  // Oldest first. Entries of peers that proved their work, got a send handle or are gone are
  // skipped as they come up, so each entry is looked at once: O(1) per admission on average.
  std::lock_guard lock(unverified_mutex_);
  while (!unverified_.empty() && unverified_.size() >= keep_below) {
    auto [key, weak] = std::move(unverified_.front());
    unverified_.pop_front();
    if (auto peer = weak.lock(); is_unverified(key, peer)) {
      log::debug("Forgetting peer {}: its proof of work was never seen, and room is needed", key);
      remove_peer(key, peer);
      return true;
    }
  }
  return false;
}

std::expected<std::shared_ptr<NodePeer>, Error> NodeInner::admit_node_peer(const PubKey& key, std::optional<Pow> pow,
                                                                          bool enforce_limit,
                                                                          std::optional<MessageKey> session) {
  if (auto existing = peers_->peers.get(key)) {
    if (auto np = as_node_peer(*existing)) return *np;
    return std::unexpected(Error(Error::RecipientIsSuperPeer{key}));
  }
  const std::uint64_t max_peers = opts_.max_peers;
  const bool verified = pow && pow->is_valid(key, opts_.min_pow_difficulty);
  if (enforce_limit) {
    // Peers whose proof of work was never seen (introduced by a UNITE) have a bounded share of
    // the map and are the first to go: a full map never turns a peer that showed its work away
    // while it holds unverified ones.
    if (!verified) evict_unverified(max_unverified_peers());
    if (max_peers != 0 && peers_->peers.size() >= max_peers && !evict_unverified(0)) {
      return std::unexpected(Error(Error::PeersListCapacityExceeded{max_peers}));
    }
  }
  std::shared_ptr<TimeCell> app_tx;
  if (auto handle = send_handles_->handles.get(key)) app_tx = (*handle)->state()->app_tx;
  std::expected<std::shared_ptr<NodePeer>, PeerError> peer =
      session ? NodePeer::create_with_key(pow, key, opts_.min_pow_difficulty, *session, cached_time(),
                                          peers_->default_route(), std::move(app_tx))
              : NodePeer::create(pow, key, opts_.min_pow_difficulty, opts_.arm_messages, x_sk_, x_pk_, cached_time(),
                                 peers_->default_route(), std::move(app_tx));
  if (!peer) return std::unexpected(Error(peer.error()));
  // The short id goes in first, and only where it is free: a collision must never take another
  // peer's id (that peer's direct traffic would go to the newcomer for good).
  ShortId id = (*peer)->rx_short_id();
  while (!peers_->short_ids.insert_if_absent(id, key).second) id = ShortId::random();
  (*peer)->set_rx_short_id(id);
  auto inserted = peers_->peers.insert_if_absent_admitted(key, Peer(*peer), [&](std::size_t size) {
    return !enforce_limit || max_peers == 0 || size < max_peers;
  });
  if (!inserted || !inserted->second) {
    peers_->short_ids.erase_if_key(id, [&](const PubKey& k) { return k == key; });
  }
  if (!inserted) return std::unexpected(Error(Error::PeersListCapacityExceeded{max_peers}));
  if (!inserted->second) {
    if (auto np = as_node_peer(inserted->first)) return *np;
    return std::unexpected(Error(Error::RecipientIsSuperPeer{key}));
  }
  if (!verified && enforce_limit) {
    std::lock_guard lock(unverified_mutex_);
    unverified_.emplace_back(key, *peer);
  }
  return *peer;
}

std::expected<crypto::SessionKey, Error> NodeInner::newcomer_key(const PubKey& key,
                                                                 const boost::asio::ip::address& source) {
  if (!x_sk_ || !x_pk_) return std::unexpected(Error(p2p::CryptoError{p2p::CryptoError::Kind::KeyExchangeFailed}));
  using Found = decltype(newcomer_keys_)::Found;
  crypto::SessionKey cached{};
  switch (newcomer_keys_.find(key, cached)) {
    case Found::Key:
      return cached;
    case Found::NoKey:
      return std::unexpected(Error(PeerError(p2p::CryptoError{p2p::CryptoError::Kind::KeyConversionFailed})));
    case Found::No:
      break;
  }
  // The source's share first: a source refused there does not use up what the others share.
  if (!newcomer_source_budget_.allow(source) || !newcomer_budget_.admit().log) {
    return std::unexpected(Error(Error::NewcomersThrottled{kNewcomerKeyExchangesPerSecond}));
  }
  newcomer_key_exchanges_.fetch_add(1, std::memory_order_relaxed);
  auto session = NodePeer::derive_key(key, *x_sk_, *x_pk_);
  // A key without a session key is remembered too: junk under it must not cost an exchange a copy.
  newcomer_keys_.put(key, session ? std::optional<crypto::SessionKey>(*session) : std::nullopt);
  if (!session) return std::unexpected(Error(session.error()));
  return *session;
}

std::shared_ptr<SuperPeer> NodeInner::relaying_super_peer(const boost::asio::ip::udp::endpoint& src,
                                                          Transport transport) const {
  if (transport == Transport::Tcp) {
    for (const auto& sp : super_peers_) {
      auto conn = sp->tcp_connection();
      if (conn && conn->remote() && util::net::same_socket_addr(*conn->remote(), src)) return sp;
    }
    return peers_->super_peer(peers_->default_route());
  }
  for (const auto& sp : super_peers_) {
    if (auto resolved = sp->resolved_addrs()) {
      for (const auto& ep : *resolved) {
        if (util::net::same_socket_addr(ep, src)) return sp;
      }
    }
    for (const auto snapshot = sp->udp_paths().snapshot(); const auto& [k, p] : *snapshot) {
      if (util::net::same_socket_addr(k.remote, src)) return sp;
    }
  }
  return nullptr;
}

}  // namespace velarix::p2p
