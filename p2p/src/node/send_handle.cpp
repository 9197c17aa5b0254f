// The send road: one application payload to one peer, directly or relayed.

#include "node/send_handle.h"

#include <boost/asio/buffer.hpp>

#include "message/short_header.h"
#include "node/inner.h"
#include "util/log.h"
#include "util/net.h"

namespace velarix::p2p {

namespace {
// The message is built here and sent before the coroutine suspends, so one
// buffer per thread serves every send on it without an allocation.
std::span<std::uint8_t> thread_buffer() {
  thread_local std::vector<std::uint8_t> buf(kMaxMessageSize);
  return buf;
}
}  // namespace

SendHandle::SendHandle(const PubKey& pk, std::weak_ptr<NodeInner> node, SendHandleState state)
    : pk_(pk), node_(std::move(node)), state_(std::move(state)) {}

boost::asio::awaitable<std::expected<void, Error>> SendHandle::send(std::span<const std::uint8_t> payload) {
  log::trace("Send message");
  if (closed_.load(std::memory_order_acquire)) co_return std::unexpected(Error(Error::SendHandleClosed{}));
  auto node = node_.lock();
  if (!node) co_return std::unexpected(Error(Error::SendHandleClosed{}));
  const auto state = state_.load();

  const auto out = thread_buffer();
  std::expected<std::size_t, MessageError> built =
      state->direct_path && state->tx_short_id
          ? ShortHeader::build_into(out, *state->tx_short_id, state->message_key, payload)
          : AppMessage::build_into(out, node->network_id(), node->own_key(), node->own_pow(), state->message_key, pk_,
                                   payload);
  if (!built) co_return std::unexpected(Error(built.error()));
  const std::size_t len = *built;
  const std::size_t mtu = node->opts().network_mtu;
  if (len > mtu) co_return std::unexpected(Error(Error::AppLenInvalid{len, mtu}));
  const auto message = out.first(len);

  state->app_tx->store(NodeInner::cached_time(), std::memory_order_release);

  if (state->direct_path) {
    boost::system::error_code ec;
    state->direct_socket->send_to(boost::asio::buffer(message.data(), message.size()), *state->direct_path, 0, ec);
    if (ec) co_return std::unexpected(Error(Error::SendingDirectError{std::error_code(ec), *state->direct_path}));
    log::debug("Sent APP via udp://{}", *state->direct_path);
    co_return std::expected<void, Error>{};
  }

  const PubKey relay = node->peers_list().default_route();
  if (state->relay_tcp) {
    // The writer suspends: the message leaves the thread's buffer first.
    std::vector<std::uint8_t> copy(message.begin(), message.end());
    co_return co_await node->send_super_peer_tcp(state->relay_tcp, relay, copy);
  }
  for (const auto& [addr, socket] : state->relay_udp_paths) {
    boost::system::error_code ec;
    socket->send_to(boost::asio::buffer(message.data(), message.size()), addr, 0, ec);
    if (!ec) {
      if (log::enabled(spdlog::level::trace)) {
        boost::system::error_code lec;
        log::trace("Relayed APP via super peer {} -> {}", socket->local_endpoint(lec), addr);
      }
      co_return std::expected<void, Error>{};
    }
    boost::system::error_code lec;
    log::warn("Failed to relay APP via super peer {} -> {}: {}", socket->local_endpoint(lec), addr, ec.message());
  }
  log::warn("Failed to relay APP via super peer.");
  co_return std::unexpected(Error(Error::SendingRelayedError{relay, pk_}));
}

void SendHandlesList::close_all() {
  for (const auto snapshot = handles.snapshot(); const auto& [k, h] : *snapshot) h->close();
}

}  // namespace velarix::p2p
