// The receive road: one reader per UDP binding, and the dispatch of every
// packet (datagram or TCP frame) to the handler of its type and sender.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "message/short_header.h"
#include "node/inner.h"
#include "node/send_handle.h"
#include "util/log.h"
#include "util/net.h"
#include "util/rcu.h"
#include "util/runtime.h"
#include "util/udp_batch.h"
#include "util/yield.h"

namespace velarix::p2p {

namespace {

// Held by a reader for its whole life: a reader that ends for any reason leaves
// its binding cancelled, so that housekeeping binds the address again.
struct UdpBindingGuard {
  std::shared_ptr<NodeInner> node;
  std::shared_ptr<UdpBinding> binding;
  ~UdpBindingGuard() { binding->cancel_binding(); }
};

}  // namespace

void NodeInner::start_reader(std::shared_ptr<NodeInner> node, std::shared_ptr<UdpBinding> binding) {
  // On the socket's own lane: the reader resumes on the thread that saw its socket ready.
  auto executor = binding->socket()->get_executor();
  util::spawn_pinned(executor, udp_reader(std::move(node), std::move(binding)));
}

boost::asio::awaitable<void> NodeInner::udp_reader(std::shared_ptr<NodeInner> node,
                                                   std::shared_ptr<UdpBinding> binding) {
  UdpBindingGuard guard{node, binding};
  const std::size_t mtu = node->opts().network_mtu;
  // One byte more than the MTU: a datagram that fills it was longer than the MTU (the kernel cut
  // it), and is refused rather than handled cut short. The buffers of a whole batch are
  // allocated once, here. A peer's run of datagrams, coalesced by the kernel, costs one
  // enqueue and one copy instead of one per datagram (on loopback the sender pays for those).
  const int fd = binding->socket()->native_handle();
  util::RecvBatch batch = util::enable_receive_coalescing(fd)
                              ? util::RecvBatch(util::RecvBatch::Coalescing{kCoalescedReads}, mtu + 1)
                              : util::RecvBatch(kReadBatch, mtu + 1);
  std::vector<std::uint8_t> scratch(mtu, 0);
  Transmits out;

  // The binding's cancellation reaches the pending wait through a cancellation signal emitted on
  // this task's own thread: no race per datagram.
  auto executor = co_await boost::asio::this_coro::executor;
  auto signal = std::make_shared<boost::asio::cancellation_signal>();
  boost::asio::co_spawn(
      executor,
      // The watcher keeps the socket alive: the signal's handler refers to the socket's pending
      // wait, which must outlive the emit even when the node is torn down meanwhile.
      [](util::CancellationToken token, std::shared_ptr<boost::asio::cancellation_signal> sig,
         std::shared_ptr<UdpSocket> socket) -> boost::asio::awaitable<void> {
        co_await token.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
        sig->emit(boost::asio::cancellation_type::terminal);
        (void)socket;
      }(binding->token(), signal, binding->socket()),
      boost::asio::detached);

  auto& socket = *binding->socket();
  // A socket that never empties is read without suspending; others on this thread get their
  // turn every so many batches.
  util::YieldEvery turn(kBatchesPerTurn);
  for (;;) {
    if (binding->is_cancelled()) break;
    const int n = batch.receive(fd);
    if (n == 0) {
      // Nothing waiting: sleep until the socket is readable.
      auto [ec] = co_await socket.async_wait(
          UdpSocket::wait_read,
          boost::asio::bind_cancellation_slot(signal->slot(), boost::asio::as_tuple(boost::asio::use_awaitable)));
      if (binding->is_cancelled()) break;
      if (ec) {
        log::error("Error receiving datagram: {}", ec.message());
        // A socket that is gone cannot recover; its binding is replaced by housekeeping.
        if (ec == boost::asio::error::bad_descriptor || ec == boost::asio::error::operation_aborted) break;
      }
      continue;
    }
    if (n < 0) {
      const boost::system::error_code ec(errno, boost::system::system_category());
      log::error("Error receiving datagram: {}", ec.message());
      if (ec == boost::asio::error::bad_descriptor) break;
      continue;
    }
    node->on_datagrams(batch, static_cast<std::size_t>(n), binding.get(), scratch, out);
    if (!out.udp.empty() || !out.tcp.empty()) co_await node->send_transmits(out);
    if (turn.tick()) co_await util::yield_now();
  }
  if (log::enabled(spdlog::level::trace)) log::trace("UDP binding cancelled: {}", binding->to_string());
  binding->cancel_binding();
}

void NodeInner::on_datagrams(util::RecvBatch& batch, std::size_t count, const UdpBinding* binding,
                             std::span<std::uint8_t> scratch, Transmits& out) {
  const std::size_t mtu = opts_.network_mtu;
  // One read section for the batch: the maps are read without a lock or a reference count.
  util::rcu::ReadGuard guard;
  for (std::size_t i = 0; i < count; ++i) {
    const auto datagram = batch.datagram(i);
    if (batch.truncated(i) || datagram.size() > mtu) {
      stats_.oversized.fetch_add(1, std::memory_order_relaxed);
      refused_log(spdlog::level::warn, "Error processing packet: datagram longer than the network MTU {}", mtu);
      continue;
    }
    auto r = on_packet(datagram, batch.source(i), binding, Transport::Udp, scratch, out);
    if (!r) {
      stats_.refused.fetch_add(1, std::memory_order_relaxed);
      refused_log(spdlog::level::warn, "Error processing packet: {}", r.error().message());
    }
  }
}

boost::asio::awaitable<void> NodeInner::send_transmits(Transmits& out) {
  for (const auto& t : out.udp) {
    boost::system::error_code ec;
    t.socket->send_to(boost::asio::buffer(t.bytes), t.dst, 0, ec);
    if (ec) {
      log::debug("Failed to send msg to udp://{}: {}", t.dst, ec.message());
    } else {
      log::trace("Sent msg to udp://{}", t.dst);
    }
  }
  for (const auto& t : out.tcp) {
    co_await send_super_peer_tcp(t.writer, t.super_peer, t.bytes);
    log::trace("Sent msg to {} via TCP", t.super_peer);
  }
  out.clear();
}

std::expected<void, Error> NodeInner::on_packet(std::span<std::uint8_t> packet,
                                                const boost::asio::ip::udp::endpoint& src, const UdpBinding* binding,
                                                Transport transport, std::span<std::uint8_t> scratch,
                                                Transmits& out) {
  // Nothing is sent for a refused packet: what its handlers appended is taken back, and what the
  // packets before it in the batch produced stays. The lists only shrink: no allocation.
  const std::size_t udp_before = out.udp.size();
  const std::size_t tcp_before = out.tcp.size();
  auto r = dispatch(packet, src, binding, transport, scratch, out);
  if (!r) {
    out.udp.erase(out.udp.begin() + static_cast<std::ptrdiff_t>(udp_before), out.udp.end());
    out.tcp.erase(out.tcp.begin() + static_cast<std::ptrdiff_t>(tcp_before), out.tcp.end());
  }
  return r;
}

std::expected<void, Error> NodeInner::dispatch(std::span<std::uint8_t> packet,
                                               const boost::asio::ip::udp::endpoint& src, const UdpBinding* binding,
                                               Transport transport, std::span<std::uint8_t> scratch, Transmits& out) {
  // 1.
  if (packet.size() < ShortId::kSize) return {};
  // Peers found here are used without a reference of our own: the section keeps them alive.
  util::rcu::ReadGuard guard;

  // 2. Short header.
  const ShortId id = ShortId::from_bytes(packet.first<ShortId::kSize>());
  if (const PubKey* key = peers_->short_ids.find(id, guard)) {
    const Peer* p = peers_->peers.find(*key, guard);
    const std::shared_ptr<NodePeer>* np = p != nullptr ? as_node_peer(*p) : nullptr;
    if (np == nullptr) {
      refused_log(spdlog::level::warn, "Drop package with short header we no longer can match to a peer");
      return std::unexpected(Error(Error::ShortIdOutdated{}));
    }
    NodePeer& peer = **np;
    auto sh = ShortHeader::parse(packet, peer.message_key());
    if (!sh) return std::unexpected(Error(sh.error()));
    if (auto fresh = check_replay(peer.replay(), packet.subspan(ShortId::kSize)); !fresh) return fresh;
    peer.app_rx(cached_time());
    add_to_recv_buf(peer.key(), sh->payload());
    return {};
  }

  // 3. - 5. Long header, network id, recipient.
  auto parsed = LongHeader::parse(packet);
  if (!parsed) return std::unexpected(Error(parsed.error()));
  const LongHeader& header = *parsed;
  if (!std::equal(network_id_.begin(), network_id_.end(), header.network_id_bytes().begin())) {
    return std::unexpected(Error(Error::NetworkIdInvalid{header.network_id()}));
  }
  if (!std::equal(header.recipient_bytes().begin(), header.recipient_bytes().end(), own_key().bytes().begin())) {
    return std::unexpected(Error(Error::MessageInvalidRecipient{}));
  }

  // 6. Sender.
  const PubKey sender = header.sender();
  const std::uint8_t type = header.type_byte();
  SuperPeer* super_peer = nullptr;
  NodePeer* node_peer = nullptr;
  std::shared_ptr<NodePeer> admitted_peer;  // a newcomer, held here
  MessageKey newcomer_session;              // an armed newcomer's key, until its message authenticates
  if (const Peer* existing = peers_->peers.find(sender, guard)) {
    if (auto sp = as_super_peer(*existing)) {
      super_peer = sp->get();
    } else {
      node_peer = as_node_peer(*existing)->get();
      auto valid = node_peer->validate_pow(header.pow(), sender, opts_.min_pow_difficulty);
      if (!valid) return std::unexpected(Error(valid.error()));
      if (!*valid) return std::unexpected(Error(Error::PowInvalid{}));
    }
  } else {
    // An unknown sender must show its proof of work before it takes a place in the peers map.
    if (!header.pow().is_valid(sender, opts_.min_pow_difficulty)) return std::unexpected(Error(Error::PowInvalid{}));
    if (opts_.arm_messages) {
      // And, armed, a message that authenticates: a header copied from the wire with any body
      // must not take a place. Only what a node peer may send is worth a key exchange.
      if (type > static_cast<std::uint8_t>(MessageType::Unite)) {
        return std::unexpected(Error(Error::MessageTypeInvalid{type}));
      }
      if (type == static_cast<std::uint8_t>(MessageType::Unite)) {
        return std::unexpected(Error(Error::MessageTypeUnexpected{type}));
      }
      auto session = newcomer_key(sender, src.address());
      if (!session) return std::unexpected(session.error());
      newcomer_session = *session;
    }
    // Unarmed, nothing can be authenticated: the header is all there is, and the message's own
    // checks below.
  }

  // 7. Dispatch by sender kind and type.
  auto body = packet.subspan(LongHeader::kSize);
  if (type > static_cast<std::uint8_t>(MessageType::Unite)) return std::unexpected(Error(Error::MessageTypeInvalid{type}));
  const auto msg_type = static_cast<MessageType>(type);
  // Checked once the message is authenticated (a forgery must not touch the window).
  const auto nonce = packet.subspan(LongHeader::kSize);

  if (super_peer) {
    switch (msg_type) {
      case MessageType::Ack: {
        auto ack = AckMessage::parse(body, header, super_peer->message_key());
        if (!ack) return std::unexpected(Error(ack.error()));
        if (auto fresh = check_replay(super_peer->replay(), nonce); !fresh) return fresh;
        on_super_peer_ack(src, binding, header, *super_peer, *ack, current_time());
        return {};
      }
      case MessageType::Unite: {
        if (!opts_.process_unites) {
          log::trace("Ignoring unite message");
          return {};
        }
        auto unite = UniteMessage::parse(body, header, super_peer->message_key());
        if (!unite) return std::unexpected(Error(unite.error()));
        if (auto fresh = check_replay(super_peer->replay(), nonce); !fresh) return fresh;
        return on_unite(out.udp, header, *unite, current_time());
      }
      default:
        return std::unexpected(Error(Error::MessageTypeUnexpected{type}));
    }
  }

  const MessageKey& key = node_peer != nullptr ? node_peer->message_key() : newcomer_session;
  // A newcomer takes its place (when the map has room) only once its message has passed every
  // check that needs no peer: it authenticated, its nonce is within the age limit (a new peer's
  // window would refuse nothing else), and the message's own time is. A copy replayed after its
  // sender was dropped must not bring it back.
  auto admit = [&]() -> std::expected<void, Error> {
    if (node_peer != nullptr) return {};
    if (opts_.arm_messages) {
      if (auto fresh = check_replay_time(nonce); !fresh) return fresh;
    }
    auto admitted = admit_node_peer(sender, header.pow(), true,
                                    opts_.arm_messages ? std::optional<MessageKey>(newcomer_session) : std::nullopt);
    if (!admitted) return std::unexpected(admitted.error());
    admitted_peer = std::move(*admitted);
    node_peer = admitted_peer.get();
    return {};
  };
  switch (msg_type) {
    case MessageType::Ack: {
      auto ack = AckMessage::parse(body, header, key);
      if (!ack) return std::unexpected(Error(ack.error()));
      const std::uint64_t now = current_time();
      if (auto on_time = check_ack_time(ack->time(), now); !on_time) return on_time;
      // An ACK answers a HELLO of ours on one of the peer's paths: a sender not in the map has none.
      if (node_peer == nullptr) return std::unexpected(Error(Error::AckUnmatched{ack->time()}));
      if (auto fresh = check_replay(node_peer->replay(), nonce); !fresh) return fresh;
      node_peer->earn_probe_credit(packet.size());
      static const std::shared_ptr<UdpSocket> kNoSocket;
      return on_node_peer_ack(src, *node_peer, header, *ack, binding ? binding->socket() : kNoSocket, transport, now);
    }
    case MessageType::App: {
      auto app = AppMessage::parse(body, header, key);
      if (!app) return std::unexpected(Error(app.error()));
      if (auto in = admit(); !in) return in;
      if (auto fresh = check_replay(node_peer->replay(), nonce); !fresh) return fresh;
      node_peer->earn_probe_credit(packet.size());
      on_app(*node_peer, header, *app);
      return {};
    }
    case MessageType::Hello: {
      auto hello = HelloNodePeerMessage::parse(body, header, key);
      if (!hello) return std::unexpected(Error(hello.error()));
      const std::uint64_t now = current_time();
      if (auto on_time = check_hello_time(hello->time(), now); !on_time) return on_time;
      if (auto in = admit(); !in) return in;
      if (auto fresh = check_replay(node_peer->replay(), nonce); !fresh) return fresh;
      node_peer->earn_probe_credit(packet.size());
      return on_node_peer_hello(src, scratch, binding, header, out.udp, *node_peer, *hello, transport, out.tcp, now);
    }
    case MessageType::Unite:
      break;
  }
  return std::unexpected(Error(Error::MessageTypeUnexpected{type}));
}

std::expected<void, Error> NodeInner::check_replay(ReplayWindow* window, std::span<const std::uint8_t> nonce) {
  if (window == nullptr) return {};
  return replay_verdict(
      window->check(nonce.first<ReplayWindow::kNonceSize>(), cached_time(), opts_.hello_max_age * 1000));
}

std::expected<void, Error> NodeInner::check_replay_time(std::span<const std::uint8_t> nonce) {
  return replay_verdict(
      ReplayWindow::check_time(nonce.first<ReplayWindow::kNonceSize>(), cached_time(), opts_.hello_max_age * 1000));
}

std::expected<void, Error> NodeInner::replay_verdict(ReplayWindow::Verdict verdict) {
  if (verdict == ReplayWindow::Verdict::Accepted) return {};
  stats_.replayed.fetch_add(1, std::memory_order_relaxed);
  return std::unexpected(Error(Error::MessageReplayed{}));
}

void NodeInner::add_to_recv_buf(const PubKey& sender, std::span<const std::uint8_t> payload) {
  opts_.message_sink->accept(sender, payload);
}

void NodeInner::on_app(NodePeer& peer, const LongHeader&, const AppMessage& app) {
  peer.app_rx(cached_time());
  add_to_recv_buf(peer.key(), app.payload());
}

std::expected<void, Error> NodeInner::check_ack_time(std::uint64_t time, std::uint64_t now) const {
  if (time > now) return std::unexpected(Error(Error::AckTimeIsInFuture{time, now}));
  if (now - time > opts_.hello_max_age * 1000) return std::unexpected(Error(Error::AckTooOld{time, now}));
  return {};
}

std::expected<void, Error> NodeInner::check_hello_time(std::uint64_t time, std::uint64_t now) const {
  if (time < now && now - time > opts_.hello_max_age * 1000) {
    return std::unexpected(Error(Error::HelloTooOld{time, now}));
  }
  if (time > now && time - now > opts_.hello_max_age * 1000) {
    return std::unexpected(Error(Error::HelloTimeIsInFuture{time, now}));
  }
  return {};
}

void NodeInner::on_super_peer_ack(const boost::asio::ip::udp::endpoint& src, const UdpBinding* binding,
                                  const LongHeader&, SuperPeer& super_peer, const AckMessage& ack, std::uint64_t now) {
  if (!check_ack_time(ack.time(), now)) {
    log::trace("Ignoring stale ACK from super peer {}", super_peer.key());
    return;
  }
  bool matched = false;
  if (binding != nullptr) {
    if (auto path = super_peer.udp_paths().get(PeerPathKey{binding->local_addr(), src})) {
      matched = (*path)->ack_rx(now, src, ack.time());
    }
  } else if (auto conn = super_peer.tcp_connection()) {
    matched = conn->path()->ack_rx(now, src, ack.time());
  }
  if (!matched) log::trace("Ignoring ACK from super peer {} that answers no HELLO sent on its path", super_peer.key());
}

bool NodeInner::may_probe(NodePeer& peer, const PeerPath& path, std::size_t bytes) {
  const auto inner = path.inner();
  if (inner->last_ack_time != 0) return true;
  if (inner->unanswered >= kMaxUnansweredProbes) return false;
  // Also for a peer we send to: the endpoints were named by whoever registered them, and a
  // super peer can name any peer.
  return peer.spend_probe_credit(bytes);
}

std::expected<void, Error> NodeInner::on_unite(std::vector<UdpTransmit>& udp_out, const LongHeader&,
                                               const UniteMessage& unite, std::uint64_t now) {
  const PubKey& key = unite.peer();
  if (key == own_key()) return {};
  if (peers_->super_peer(key)) return std::unexpected(Error(Error::RecipientIsSuperPeer{key}));
  auto admitted = admit_node_peer(key, std::nullopt, true);
  if (!admitted) return std::unexpected(admitted.error());
  NodePeer& peer = **admitted;
  // The endpoints of a UNITE are only claims: whoever registered with the super peer wrote
  // them. So few are tried, each HELLO once per path, and HELLOs to endpoints that never
  // answered are paid for by what the peer itself sent (see may_probe).
  if (!peer.take_unite(now, opts_.hello_timeout * 1000)) {
    log::trace("Ignoring UNITE about {}: one was acted on lately", key);
    return {};
  }
  const auto bindings = udp_bindings();
  const std::size_t hello_size = HelloNodePeerMessage::wire_size(peer.message_key().has_value());
  std::vector<PeerPathKey> tried_paths;
  std::size_t tried = 0;
  std::uint64_t time = now;
  for (const Endpoint ep : unite.endpoints()) {
    if (tried >= kMaxUniteEndpoints) break;
    if (ep.port() == 0 || ep.address().is_unspecified() || ep.address().is_multicast()) continue;
    bool usable = false;
    for (const auto& b : *bindings) {
      if (b->is_cancelled() || b->local_addr().protocol() != ep.protocol()) continue;
      // A loopback address is this host's: only a loopback socket reaches a peer there, and
      // nothing else on it is the peer.
      if (b->local_addr().address().is_loopback() != ep.address().is_loopback()) continue;
      const PeerPathKey path_key{b->local_addr(), ep};
      if (std::find(tried_paths.begin(), tried_paths.end(), path_key) != tried_paths.end()) continue;
      tried_paths.push_back(path_key);
      auto path = peer.direct_path(path_key, now, opts_.hello_timeout);
      if (!path) continue;
      usable = true;
      if (!may_probe(peer, *path, hello_size)) continue;
      // Each path gets its own HELLO time, so that an ACK answers exactly one path.
      auto hello = HelloNodePeerMessage::build(network_id_, own_key(), own_pow(), peer.message_key(), key, time,
                                               peer.rx_short_id());
      if (!hello) return std::unexpected(Error(hello.error()));
      path->hello_tx(time);
      ++time;
      udp_out.push_back(UdpTransmit{std::move(*hello), ep, b->socket()});
    }
    if (usable) ++tried;
  }
  return {};
}

std::expected<void, Error> NodeInner::on_node_peer_ack(const boost::asio::ip::udp::endpoint& src, NodePeer& peer,
                                                       const LongHeader&, const AckMessage& ack,
                                                       const std::shared_ptr<UdpSocket>& socket, Transport transport,
                                                       std::uint64_t now) {
  // The ACK counts only for the path its HELLO went out on: relayed through this super peer, or
  // directly from this socket to exactly this address.
  bool matched = false;
  bool direct = false;
  if (auto sp = relaying_super_peer(src, transport)) {
    if (auto path = peer.relay_paths().get(sp->key())) matched = (*path)->ack_rx(now, src, ack.time());
  } else if (socket) {
    for (const auto snapshot = udp_bindings(); const auto& b : *snapshot) {
      if (b->socket() != socket) continue;
      if (auto path = peer.paths().get(PeerPathKey{b->local_addr(), src})) matched = (*path)->ack_rx(now, src, ack.time());
      direct = matched;
      break;
    }
  }
  if (!matched) return std::unexpected(Error(Error::AckUnmatched{ack.time()}));
  // Every HELLO of ours carries our rx short id: the peer has it now.
  peer.rx_short_id_known();
  // The first direct path that answers is taken at once rather than at the next pass, a whole
  // interval of relayed traffic later. Once a peer has a best path the passes keep it.
  if (direct && !peer.best_path_key()) {
    peer.update_best_relay(now, opts_.hello_timeout, peers_->default_route());
    if (auto handle = send_handles_->handles.get(peer.key())) (*handle)->set_state(send_handle_state(peer));
  }
  return {};
}

std::expected<void, Error> NodeInner::on_node_peer_hello(const boost::asio::ip::udp::endpoint& src,
                                                         std::span<std::uint8_t> scratch, const UdpBinding* binding,
                                                         const LongHeader&, std::vector<UdpTransmit>& udp_out,
                                                         NodePeer& peer, const HelloNodePeerMessage& hello,
                                                         Transport transport, std::vector<TcpTransmit>& tcp_out,
                                                         std::uint64_t now) {
  if (hello.short_id().is_valid()) {
    const auto before = peer.tx_short_id();
    peer.set_tx_short_id(hello.short_id());
    // Senders to the peer take a new id at once, not at the next pass: the one they had may
    // be refused (the peer restarted).
    if (before && *before != hello.short_id()) {
      if (auto handle = send_handles_->handles.get(peer.key())) (*handle)->set_state(send_handle_state(peer));
    }
  }

  auto n = AckMessage::build_into(scratch, network_id_, own_key(), own_pow(), peer.message_key(), peer.key(),
                                  hello.time());
  if (!n) return std::unexpected(Error(n.error()));
  std::vector<std::uint8_t> ack(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(*n));

  auto sp = relaying_super_peer(src, transport);
  if (transport == Transport::Tcp) {
    if (!sp) return {};
    auto conn = sp->tcp_connection();
    auto writer = conn ? conn->writer() : nullptr;
    if (writer) tcp_out.push_back(TcpTransmit{std::move(ack), std::move(writer), sp->key()});
    return {};
  }
  if (binding == nullptr) return {};
  if (sp) {
    udp_out.push_back(UdpTransmit{std::move(ack), src, binding->socket()});
    return {};
  }
  // A direct HELLO: the peer reaches us from `src`, so that is a path to it. Its source may be
  // forged, and so may the address the peer registered with the super peer: what goes to either
  // while it never answered us is paid from the probe credit this HELLO has just earned. The
  // HELLO's bytes pay for one answer, not also for later probes.
  auto path = peer.direct_path(PeerPathKey{binding->local_addr(), src}, now, opts_.hello_timeout);
  if (path) path->hello_rx();
  // The peer may still use a short id of an earlier life of ours (we restarted): everything it
  // sends is refused until it learns the current one.
  auto greeting = [&]() -> std::expected<void, Error> {
    if (peer.knows_rx_short_id() || !peer.take_greeting(now, opts_.housekeeping_interval * 1000)) return {};
    return greet(peer, udp_out, tcp_out, now);
  };
  // The credit may pay for only one of the two. Without traffic of ours with the peer no HELLO
  // of ours goes to it, so the greeting is the only way it learns our short id, and goes first.
  // With traffic our HELLOs (each carries the id) teach it within a pass, and the ACK, which
  // makes the peer's path to us, goes first.
  const bool greeting_first = !peer.has_app_traffic(now, opts_.hello_max_age);
  if (greeting_first) {
    if (auto greeted = greeting(); !greeted) return greeted;
  }
  const bool proven = path && path->inner()->last_ack_time != 0;
  if (proven || peer.spend_probe_credit(ack.size())) {
    udp_out.push_back(UdpTransmit{std::move(ack), src, binding->socket()});
  } else {
    log::trace("Not answering a HELLO from udp://{}: no probe credit left", src);
  }
  return greeting_first ? std::expected<void, Error>{} : greeting();
}

std::expected<void, Error> NodeInner::greet(NodePeer& peer, std::vector<UdpTransmit>& udp_out,
                                            std::vector<TcpTransmit>& tcp_out, std::uint64_t now) {
  // Through a super peer: it forwards only to where the peer registered. That address is the
  // peer's claim until an ACK came back from it through this super peer; until then the
  // greeting is paid from the peer's probe credit, like anything sent towards an address that
  // never answered.
  auto sp = peers_->super_peer(peer.best_sp());
  if (!sp) sp = peers_->super_peer(peers_->default_route());
  if (!sp) return {};
  std::shared_ptr<TcpWriter> writer;
  if (auto conn = sp->tcp_connection(); conn && !conn->is_cancelled()) writer = conn->writer();
  std::shared_ptr<UdpSocket> socket;
  boost::asio::ip::udp::endpoint to;
  if (!writer) {
    auto best = sp->best_udp_path(now, opts_.hello_timeout);
    if (best) socket = udp_socket_for(best->first);
    if (!socket) return {};
    to = best->first.remote;
  }
  const auto relay = peer.relay_paths().get(sp->key());
  const bool proven = relay && (*relay)->inner()->last_ack_time != 0;
  if (!proven && !peer.spend_probe_credit(HelloNodePeerMessage::wire_size(peer.message_key().has_value()))) {
    log::trace("Not greeting node peer {} through super peer {}: no probe credit left", peer.key(), sp->key());
    return {};
  }
  auto hello = HelloNodePeerMessage::build(network_id_, own_key(), own_pow(), peer.message_key(), peer.key(), now,
                                           peer.rx_short_id());
  if (!hello) return std::unexpected(Error(hello.error()));
  peer.relay_path(sp->key())->hello_tx(now);
  if (writer) {
    tcp_out.push_back(TcpTransmit{std::move(*hello), std::move(writer), sp->key()});
  } else {
    udp_out.push_back(UdpTransmit{std::move(*hello), to, std::move(socket)});
  }
  log::trace("Greeting node peer {} through super peer {}", peer.key(), sp->key());
  return {};
}

}  // namespace velarix::p2p
