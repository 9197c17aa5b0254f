#include "superpeer/super_peer_server.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "crypto/crypto.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "superpeer/inner.h"
#include "util/log.h"
#include "util/net.h"
#include "util/rcu.h"
#include "util/udp_batch.h"
#include "util/yield.h"

namespace velarix::p2p::superpeer {

namespace {

// Larger than any UDP payload, so no datagram is cut.
constexpr std::size_t kUdpBufferSize = 65536;
// Datagrams a reader takes with one system call, and batches before it lets others run.
constexpr std::size_t kReadBatch = 32;
constexpr unsigned kBatchesPerTurn = 16;
// Socket buffers: bursts at full speed must not overflow them within milliseconds.
constexpr int kSocketBufferBytes = 8 * 1024 * 1024;
// UDP sockets (one reader each) sharing the port: one per core, within reason.
constexpr unsigned kMaxUdpReaders = 16;
// How long a reader waits for room in a full send buffer before it drops what is left.
constexpr std::chrono::milliseconds kSendRoomWait{100};
// Tries to find a system-chosen port free for both UDP and TCP.
constexpr int kSharedPortAttempts = 32;

}  // namespace

// --- start and stop ---------------------------------------------------------------------

std::expected<void, std::string> Inner::bind() {
  boost::system::error_code ec;
  const auto addr = opts.listen_address;
  const bool shared_port = !opts.tcp_port.has_value();
  const int attempts = shared_port && opts.udp_port == 0 ? kSharedPortAttempts : 1;
  std::string failure;
  const unsigned readers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxUdpReaders);
  for (int i = 0; i < attempts; ++i) {
    udp_sockets.clear();
    udp_fds.clear();
    acceptor.close(ec);
    // A socket without port sharing claims the port first: a port in use (by another server
    // too, whose sockets share among themselves only) is refused here rather than shared.
    udp::endpoint udp_want(addr, opts.udp_port);
    {
      udp::socket probe(acceptor.get_executor());
      if (probe.open(udp_want.protocol(), ec); ec) return std::unexpected(fmt::format("open UDP socket: {}", ec.message()));
      if (probe.bind(udp_want, ec); ec) {
        return std::unexpected(fmt::format("bind UDP {}: {}", text(udp_want), ec.message()));
      }
      udp_want = probe.local_endpoint(ec);
      if (ec) return std::unexpected(fmt::format("UDP local address: {}", ec.message()));
    }
    // Then the readers' sockets share it. The kernel spreads datagrams over them by source, so
    // one node's datagrams stay in order on one reader.
    for (unsigned r = 0; r < readers; ++r) {
      auto socket = std::make_unique<udp::socket>(runtime.lane());
      if (socket->open(udp_want.protocol(), ec); ec) {
        return std::unexpected(fmt::format("open UDP socket: {}", ec.message()));
      }
      socket->set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true), ec);
      if (socket->bind(udp_want, ec); ec) {
        return std::unexpected(fmt::format("bind UDP {}: {}", text(udp_want), ec.message()));
      }
      if (r == 0) {
        udp_local = socket->local_endpoint(ec);
        if (ec) return std::unexpected(fmt::format("UDP local address: {}", ec.message()));
        udp_want = udp_local;
      }
      // Bursts at full speed must not overflow the default buffers within milliseconds.
      util::size_socket_buffers(socket->native_handle(), kSocketBufferBytes);
      // Sends never block a reader: a full send buffer is waited for (briefly) or drops.
      socket->non_blocking(true, ec);
      udp_fds.push_back(socket->native_handle());
      udp_sockets.push_back(std::move(socket));
    }

    const tcp::endpoint tcp_want(addr, shared_port ? udp_local.port() : *opts.tcp_port);
    if (acceptor.open(tcp_want.protocol(), ec); ec) {
      return std::unexpected(fmt::format("open TCP listener: {}", ec.message()));
    }
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor.bind(tcp_want, ec);
    if (ec) {
      failure = fmt::format("bind TCP {}: {}", text(tcp_want), ec.message());
      continue;  // another port pair, when the system chose the UDP one
    }
    if (acceptor.listen(asio::socket_base::max_listen_connections, ec); ec) {
      return std::unexpected(fmt::format("listen on TCP {}: {}", text(tcp_want), ec.message()));
    }
    tcp_local = acceptor.local_endpoint(ec);
    if (ec) return std::unexpected(fmt::format("TCP local address: {}", ec.message()));
    return {};
  }
  udp_sockets.clear();
  acceptor.close(ec);
  return std::unexpected(failure);
}

void Inner::close_sockets() {
  std::call_once(closed_once, [this] {
    boost::system::error_code ec;
    for (auto& socket : udp_sockets) socket->close(ec);
    acceptor.close(ec);
  });
}

void Inner::stop() {
  if (!stopping.exchange(true)) token.cancel();
  if (runtime.running_in_this_thread()) return;  // waiting here could hold up the tasks it waits for
  {
    std::unique_lock lock(tasks_mutex);
    tasks_done.wait(lock, [&] { return live_tasks == 0; });
  }
  // No task is left to use the sockets.
  close_sockets();
  std::unordered_map<PubKey, NodeRecord> dropped;
  std::list<std::shared_ptr<Link>> dropped_links;
  {
    std::lock_guard lock(mutex);
    dropped.swap(nodes);
    dropped_links.swap(ungreeted);
    lru.clear();
    unused.clear();
    unites.clear();
    routes.clear();
    unite_hints.clear();
    changed.notify_all();
  }
}

}  // namespace velarix::p2p::superpeer

namespace velarix::p2p {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using superpeer::Inner;
using superpeer::text;

std::expected<std::unique_ptr<SuperPeerServer>, std::string> SuperPeerServer::start(util::Runtime& runtime,
                                                                                    SuperPeerOptions options) {
  auto inner = std::make_shared<Inner>(runtime, std::move(options));
  auto x_sk = crypto::convert_ed25519_sk_to_curve25519_sk(inner->opts.identity.sk());
  auto x_pk = crypto::convert_ed25519_pk_to_curve25519_pk(inner->opts.identity.pk());
  if (!x_sk || !x_pk) return std::unexpected(std::string("the identity has no X25519 form"));
  inner->x_sk = *x_sk;
  inner->x_pk = *x_pk;

  if (auto bound = inner->bind(); !bound) return std::unexpected(bound.error());

  auto host = inner->udp_local.address();
  if (host.is_unspecified()) {
    host = host.is_v4() ? asio::ip::address(asio::ip::address_v4::loopback())
                        : asio::ip::address(asio::ip::address_v6::loopback());
  }
  const auto host_text = host.is_v6() ? "[" + host.to_string() + "]" : host.to_string();
  const auto url_string = fmt::format("udp://{}:{}?publicKey={}&networkId={}", host_text, inner->udp_local.port(),
                                inner->opts.identity.pk().to_string(), inner->opts.network_id);
  auto url = SuperPeerUrl::parse(url_string);
  if (!url) return std::unexpected(fmt::format("the listen address makes no super peer address: {}", url.error().message()));
  inner->url = *url;

  if (!inner->opts.arm_messages) {
    log::warn("Super peer serves unarmed HELLOs: nothing is authenticated, and anyone can take over any node's "
              "relayed traffic");
  }
  for (std::size_t i = 0; i < inner->udp_sockets.size(); ++i) {
    inner->spawn(inner->udp_sockets[i]->get_executor(), inner->udp_reader(i));
  }
  inner->spawn(asio::make_strand(runtime.context()), inner->accept_loop());
  log::info("Super peer {} listening on udp://{} and tcp://{}", inner->opts.identity.pk().to_string(),
            text(inner->udp_local), text(inner->tcp_local));
  return std::unique_ptr<SuperPeerServer>(new SuperPeerServer(std::move(inner)));
}

SuperPeerServer::~SuperPeerServer() { stop(); }

void SuperPeerServer::stop() { inner_->stop(); }

udp::endpoint SuperPeerServer::udp_endpoint() const noexcept { return inner_->udp_local; }
tcp::endpoint SuperPeerServer::tcp_endpoint() const noexcept { return inner_->tcp_local; }
const PubKey& SuperPeerServer::public_key() const noexcept { return inner_->opts.identity.pk(); }
SuperPeerUrl SuperPeerServer::url() const { return *inner_->url; }

std::size_t SuperPeerServer::known_nodes() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->nodes.size();
}

SuperPeerStats SuperPeerServer::stats() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->snapshot_stats();
}

bool SuperPeerServer::wait_for(const std::function<bool(const SuperPeerStats&)>& pred,
                               std::chrono::milliseconds timeout) const {
  // Announced before the first look: a counter changed after it notifies under the lock.
  inner_->waiters.fetch_add(1);
  std::unique_lock lock(inner_->mutex);
  const bool met = inner_->changed.wait_for(lock, timeout, [&] { return pred(inner_->snapshot_stats()); });
  lock.unlock();
  inner_->waiters.fetch_sub(1);
  return met;
}

void SuperPeerServer::set_answer_udp(bool answer) { inner_->answer_udp.store(answer); }

}  // namespace velarix::p2p

namespace velarix::p2p::superpeer {

// --- UDP ----------------------------------------------------------------------------------

awaitable<void> Inner::udp_reader(std::size_t index) {
  udp::socket& socket = *udp_sockets[index];
  const int fd = udp_fds[index];
  // The datagrams waiting are read with one system call; the batch's buffers are allocated
  // once, here, and left uninitialised beyond what datagrams fill. What the batch relays over
  // UDP goes out in place, with as few system calls as the destinations allow.
  util::RecvBatch batch(kReadBatch, kUdpBufferSize);
  util::DatagramBatch out(kReadBatch, 0);
  UdpOut relays{out, fd};
  // The server's cancellation reaches the pending wait through a cancellation signal emitted on
  // this task's thread: no race per datagram.
  auto signal = std::make_shared<asio::cancellation_signal>();
  spawn(socket.get_executor(), [](util::CancellationToken t, std::shared_ptr<asio::cancellation_signal> sig) -> awaitable<void> {
    co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
    sig->emit(asio::cancellation_type::terminal);
  }(token, signal));
  // A socket that never empties is read without suspending; other tasks on the lane get their
  // turn every so many batches.
  util::YieldEvery turn(kBatchesPerTurn);
  while (!token.is_cancelled()) {
    const int n = batch.receive(fd);
    if (n == 0) {
      auto [ec] = co_await socket.async_wait(
          udp::socket::wait_read, asio::bind_cancellation_slot(signal->slot(), asio::as_tuple(asio::use_awaitable)));
      if (ec) {
        if (is_aborted(ec) || ec == asio::error::bad_descriptor) break;
        log::debug("Super peer: waiting for datagrams failed: {}", ec.message());
      }
      continue;
    }
    if (n < 0) {
      const boost::system::error_code ec(errno, boost::system::system_category());
      if (ec == asio::error::bad_descriptor) break;
      log::debug("Super peer: receiving a datagram failed: {}", ec.message());
      continue;
    }
    {
      // One read section for the batch: the routes it looks up stay valid throughout.
      util::rcu::ReadGuard guard;
      for (int i = 0; i < n; ++i) {
        const auto& from = batch.source(static_cast<std::size_t>(i));
        if (!answer_udp.load(std::memory_order_relaxed)) {
          drop("Super peer: UDP is switched off, dropping a datagram from {}", text(from));
          continue;
        }
        on_packet(batch.datagram(static_cast<std::size_t>(i)), &from, nullptr, &relays);
      }
    }
    if (!out.empty()) {
      // A full send buffer is back-pressure: wait for room, briefly, then drop the rest. The
      // received datagrams stay in place until then.
      while (!out.send()) {
        if (!co_await util::wait_for_room(socket, kSendRoomWait)) out.fail_pending(fd, EAGAIN);
      }
      for (std::size_t i = 0; i < out.size(); ++i) {
        if (out.error(i) != 0) {
          unbump(&SuperPeerStats::relayed_udp);
          drop("Super peer: could not relay a datagram: {}", std::strerror(out.error(i)));
        }
      }
      out.clear();
    }
    if (turn.tick()) co_await util::yield_now();
  }
  signal->slot().clear();
}

bool Inner::send_udp(const udp::endpoint& to, std::span<const std::uint8_t> bytes) {
  if (!answer_udp.load(std::memory_order_relaxed)) return false;
  // Any socket of the port will do; sends never wait: a full buffer drops the datagram.
  const int fd = udp_fds[next_send_socket.fetch_add(1, std::memory_order_relaxed) % udp_fds.size()];
  for (;;) {
    const auto r = ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL, to.data(),
                            static_cast<socklen_t>(to.size()));
    if (r >= 0) return true;
    if (errno == EINTR) continue;
    log::debug("Super peer: sending to udp://{} failed: {}", text(to), std::strerror(errno));
    return false;
  }
}

// --- packets ------------------------------------------------------------------------------

void Inner::on_packet(std::span<std::uint8_t> packet, const udp::endpoint* from_udp,
                      const std::shared_ptr<Link>& from_link, UdpOut* out) {
  auto header = LongHeader::parse(packet);
  if (!header) {
    // Short headers land here too: they are meant for a node, never for a super peer.
    drop("Super peer: dropping a packet of {} bytes: {}", packet.size(), header.error().message());
    return;
  }
  if (packet.size() > kMaxMessageSize) {
    drop("Super peer: dropping a packet of {} bytes: too long", packet.size());
    return;
  }
  if (header->network_id() != network_id) {
    const auto id = header->network_id();
    drop("Super peer: dropping a packet for network {:02x}{:02x}{:02x}{:02x}", id[0], id[1], id[2], id[3]);
    return;
  }
  const PubKey sender = header->sender();
  if (sender == opts.identity.pk()) {
    drop("Super peer: dropping a packet that claims to come from this super peer");
    return;
  }
  if (header->recipient() == opts.identity.pk()) {
    if (header->type() == MessageType::Hello) {
      on_hello(*header, packet.subspan(LongHeader::kSize), from_udp, from_link);
    } else {
      drop("Super peer: ignoring a {} message addressed to it from {}", message_type_name(header->type_byte()),
           sender.to_string());
    }
    return;
  }
  relay(*header, packet, from_udp, from_link, out);
}

void Inner::relay(const LongHeader& header, std::span<const std::uint8_t> packet, const udp::endpoint* from_udp,
                  const std::shared_ptr<Link>& from_link, UdpOut* out) {
  const PubKey recipient = header.recipient();
  const PubKey sender = header.sender();
  bool known = false;
  bool sent = false;
  bool introduce = false;
  {
    // No lock: the routes are read in place, a link is only handed the bytes, and the marks
    // are atomics that settle after a node's first relays.
    util::rcu::ReadGuard guard;
    if (const Route* to = routes.find(recipient, guard)) {
      known = true;
      // Counted first: whoever receives the message then also sees it counted.
      if (to->link) {
        bump(&SuperPeerStats::relayed_tcp);
        sent = to->link->enqueue(packet);
        if (!sent) unbump(&SuperPeerStats::relayed_tcp);
      } else if (to->udp_addr) {
        bump(&SuperPeerStats::relayed_udp);
        if (out != nullptr && !out->batch.full()) {
          out->batch.commit_external(out->fd, *to->udp_addr, packet);
          sent = true;
        } else {
          sent = send_udp(*to->udp_addr, packet);
        }
        if (!sent) unbump(&SuperPeerStats::relayed_udp);
      }
      to->marks->mark_used();
      // The sender a header names is only a claim: it counts (in use, paying for UNITEs to its
      // address, and a reason to introduce the pair) only when the message came on its own path.
      if (sender != recipient) {
        const Route* from = routes.find(sender, guard);
        if (from != nullptr && on_own_path(*from, from_udp, from_link)) {
          from->marks->mark_used();
          if (from_udp != nullptr) from->marks->earn(static_cast<std::int64_t>(packet.size()));
          introduce = opts.send_unites;
        }
      }
    }
  }
  if (!known) {
    drop("Super peer: dropping a {} message for unknown node {}", message_type_name(header.type_byte()),
         recipient.to_string());
    return;
  }
  if (!sent) {
    drop("Super peer: could not relay a {} message to {}", message_type_name(header.type_byte()),
         recipient.to_string());
  }
  const auto interval_ms = static_cast<std::uint64_t>(opts.unite_interval.count());
  if (!introduce || unite_hints.recent(sender, recipient, steady_ms(), interval_ms)) return;
  introduce_pair(sender, recipient, out);
}

}  // namespace velarix::p2p::superpeer
