// The send road: one application payload to one peer, directly or relayed; and the batch that
// sends many over direct paths with few system calls.

#include "node/send_handle.h"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/buffer.hpp>

#include "message/short_header.h"
#include "node/inner.h"
#include "util/log.h"
#include "util/net.h"
#include "util/rcu.h"
#include "util/span.h"

namespace velarix::p2p {

namespace {

// The message is built here and sent before the coroutine suspends, so one
// buffer per thread serves every send on it without an allocation.
std::span<std::uint8_t> thread_buffer() {
  thread_local std::vector<std::uint8_t> buf(kMaxMessageSize);
  return buf;
}

// One write per clock tick at most: the cell is shared by every sender to the peer.
void mark_app_tx(TimeCell& cell) noexcept {
  const std::uint64_t now = NodeInner::cached_time();
  if (cell.load(std::memory_order_relaxed) != now) cell.store(now, std::memory_order_release);
}

std::error_code sys_error(int err) { return {err, std::system_category()}; }

// A non-waiting send of one datagram: 0, or the errno.
int send_now(int fd, std::span<const std::uint8_t> message, const boost::asio::ip::udp::endpoint& dst) noexcept {
  for (;;) {
    const auto n = ::sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL, dst.data(),
                            static_cast<socklen_t>(dst.size()));
    if (n >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// What the send of one message does once it has been built, decided inside a read section: the
// state may be replaced (and freed) once the section ends, so everything the awaiting part
// needs is taken out of it.
struct Attempt {
  enum class Then : std::uint8_t { Done, WaitDirect, Relay } then = Then::Done;
  std::expected<void, Error> result;
  // WaitDirect: the direct path whose socket had no room.
  std::shared_ptr<boost::asio::ip::udp::socket> socket;
  boost::asio::ip::udp::endpoint dst;
  // Relay: the roads, copied.
  std::shared_ptr<TcpWriter> relay_tcp;
  std::vector<std::pair<boost::asio::ip::udp::endpoint, std::shared_ptr<boost::asio::ip::udp::socket>>> relay_udp;
  std::size_t len = 0;
};

}  // namespace

SendHandle::SendHandle(const PubKey& pk, std::weak_ptr<NodeInner> node, SendHandleState state)
    : pk_(pk), node_(std::move(node)), state_(std::move(state)) {
  if (auto n = node_.lock()) {
    network_id_ = n->network_id();
    own_key_ = n->own_key();
    own_pow_ = n->own_pow();
    mtu_ = n->opts().network_mtu;
  } else {
    closed_.store(true, std::memory_order_relaxed);
  }
}

std::expected<std::size_t, Error> SendHandle::build(const SendHandleState& state, std::span<std::uint8_t> out,
                                                    std::span<const std::uint8_t> payload) const {
  std::expected<std::size_t, MessageError> built =
      state.direct_path && state.tx_short_id
          ? ShortHeader::build_into(out, *state.tx_short_id, state.message_key, payload)
          : AppMessage::build_into(out, network_id_, own_key_, own_pow_, state.message_key, pk_, payload);
  if (!built) return std::unexpected(Error(built.error()));
  if (*built > mtu_) return std::unexpected(Error(Error::AppLenInvalid{*built, mtu_}));
  return *built;
}

boost::asio::awaitable<std::expected<void, Error>> SendHandle::send(std::span<const std::uint8_t> payload) {
  log::Span span(spdlog::level::info, "send", log::field("peer", pk_));
  log::trace("Send message");
  if (is_closed()) co_return std::unexpected(Error(Error::SendHandleClosed{}));

  const auto out = thread_buffer();
  Attempt attempt;
  {
    util::rcu::ReadGuard guard;
    const SendHandleState& state = state_.read(guard);
    auto built = build(state, out, payload);
    if (!built) co_return std::unexpected(built.error());
    attempt.len = *built;
    mark_app_tx(*state.app_tx);
    if (state.direct_path) {
      const int err = send_now(state.direct_socket->native_handle(), out.first(*built), *state.direct_path);
      if (err == 0) {
        log::debug("Sent APP via udp://{}", *state.direct_path);
      } else if (would_block(err)) {
        attempt.then = Attempt::Then::WaitDirect;
        attempt.socket = state.direct_socket;
        attempt.dst = *state.direct_path;
      } else {
        attempt.result = std::unexpected(Error(Error::SendingDirectError{sys_error(err), *state.direct_path}));
      }
    } else {
      attempt.then = Attempt::Then::Relay;
      attempt.relay_tcp = state.relay_tcp;
      attempt.relay_udp = state.relay_udp_paths;
    }
  }
  // From here on the message may wait: it leaves the thread's buffer first.
  if (attempt.then == Attempt::Then::Done) co_return attempt.result;
  std::vector<std::uint8_t> message(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(attempt.len));

  if (attempt.then == Attempt::Then::WaitDirect) {
    // A full send buffer is back-pressure: wait for room, then send once more.
    int err = EAGAIN;
    if (co_await util::wait_for_room(*attempt.socket, kSendRoomWait)) {
      err = send_now(attempt.socket->native_handle(), message, attempt.dst);
    }
    if (err != 0) co_return std::unexpected(Error(Error::SendingDirectError{sys_error(err), attempt.dst}));
    log::debug("Sent APP via udp://{}", attempt.dst);
    co_return std::expected<void, Error>{};
  }

  auto node = node_.lock();
  if (!node) co_return std::unexpected(Error(Error::SendHandleClosed{}));
  const PubKey relay = node->peers_list().default_route();
  if (attempt.relay_tcp) {
    auto sent = co_await node->send_super_peer_tcp(attempt.relay_tcp, relay, message);
    // A link that failed, or does not drain, lost the message: the super peer's UDP paths may
    // still get it there.
    if (sent || attempt.relay_udp.empty()) co_return sent;
  }
  for (const auto& [addr, socket] : attempt.relay_udp) {
    int err = send_now(socket->native_handle(), message, addr);
    if (would_block(err) && co_await util::wait_for_room(*socket, kSendRoomWait)) {
      err = send_now(socket->native_handle(), message, addr);
    }
    if (err == 0) {
      if (log::enabled(spdlog::level::trace)) {
        boost::system::error_code lec;
        log::trace("Relayed APP via super peer {} -> {}", socket->local_endpoint(lec), addr);
      }
      co_return std::expected<void, Error>{};
    }
    boost::system::error_code lec;
    node->send_failure_log(spdlog::level::warn, "Failed to relay APP via super peer {} -> {}: {}",
                           socket->local_endpoint(lec), addr, sys_error(err).message());
  }
  node->send_failure_log(spdlog::level::warn, "Failed to relay APP via super peer.");
  co_return std::unexpected(Error(Error::SendingRelayedError{relay, pk_}));
}

std::expected<bool, Error> SendHandle::add_to(SendBatch& batch, std::span<const std::uint8_t> payload,
                                              std::size_t tag) {
  if (is_closed()) return std::unexpected(Error(Error::SendHandleClosed{}));
  if (batch.full()) return false;
  util::rcu::ReadGuard guard;
  const SendHandleState& state = state_.read(guard);
  if (!state.direct_path) return false;
  const auto out = batch.datagrams_.next();
  const bool armed = state.message_key.has_value();
  const std::size_t len = state.tx_short_id ? ShortHeader::wire_size(armed, payload.size())
                                            : AppMessage::wire_size(armed, payload.size());
  // Longer than the batch's datagrams: built and refused (or sent) by send().
  if (len > out.size()) return false;
  auto built = build(state, out, payload);
  if (!built) return std::unexpected(built.error());
  mark_app_tx(*state.app_tx);
  batch.commit(state.direct_socket, *state.direct_path, *built, tag);
  return true;
}

// --- SendBatch ---------------------------------------------------------------------------

SendBatch::SendBatch(std::size_t capacity, std::size_t message_size) : datagrams_(capacity, message_size) {
  tags_.resize(capacity);
  dsts_.resize(capacity);
  sockets_.reserve(capacity);
}

void SendBatch::commit(const std::shared_ptr<boost::asio::ip::udp::socket>& socket,
                       const boost::asio::ip::udp::endpoint& dst, std::size_t len, std::size_t tag) noexcept {
  const std::size_t i = datagrams_.size();
  tags_[i] = tag;
  dsts_[i] = dst;
  // Messages to one peer share its socket: one reference per batch, not one per message.
  bool held = false;
  for (const auto& s : sockets_) held = held || s == socket;
  if (!held) sockets_.push_back(socket);
  datagrams_.commit(socket->native_handle(), dst, len);
}

boost::asio::awaitable<void> SendBatch::flush() {
  while (!datagrams_.send()) {
    // A socket without room: wait for some (bounded), then go on; the rest of its messages are
    // given up when none comes.
    const int fd = datagrams_.blocked_fd();
    boost::asio::ip::udp::socket* socket = nullptr;
    for (const auto& s : sockets_) {
      if (s->native_handle() == fd) socket = s.get();
    }
    if (socket == nullptr || !co_await util::wait_for_room(*socket, kSendRoomWait)) datagrams_.fail_pending(fd, EAGAIN);
  }
}

std::expected<void, Error> SendBatch::result(std::size_t i) const {
  const int err = datagrams_.error(i);
  if (err == 0) return {};
  return std::unexpected(Error(Error::SendingDirectError{sys_error(err), dsts_[i]}));
}

void SendBatch::clear() noexcept {
  datagrams_.clear();
  sockets_.clear();
}

void SendHandlesList::close_all() {
  for (const auto snapshot = handles.snapshot(); const auto& [k, h] : *snapshot) h->close();
}

}  // namespace velarix::p2p
