// TCP links to super peers: the connector, the stream handler that reads
// frames into the dispatch, and the one writer of frames.

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "node/inner.h"
#include "util/length_codec.h"
#include "util/log.h"
#include "util/net.h"
#include "util/resolver.h"
#include "util/span.h"

namespace velarix::p2p {

namespace {

// Held by a connector for its whole life: when it ends the link is over, so it
// is marked cancelled and taken out of the super peer, and housekeeping may
// open a new one.
struct TcpPathGuard {
  std::shared_ptr<NodeInner> node;
  PubKey super_peer;
  std::shared_ptr<TcpConnection> conn;
  ~TcpPathGuard() {
    conn->cancel_connection();
    if (auto sp = node->peers_list().super_peer(super_peer)) sp->clear_tcp_connection(conn);
  }
};

}  // namespace

std::chrono::milliseconds NodeInner::tcp_time_limit() const noexcept {
  return std::chrono::milliseconds(std::clamp<std::uint64_t>(opts_.hello_timeout, 100, kMaxTcpTimeLimitMs));
}

boost::asio::awaitable<void> NodeInner::tcp_connector(std::shared_ptr<NodeInner> node, PubKey super_peer,
                                                      std::string addr, std::shared_ptr<TcpConnection> conn,
                                                      std::uint64_t time, MessageKey key) {
  using namespace boost::asio::experimental::awaitable_operators;
  using boost::asio::ip::tcp;
  log::Span span(spdlog::level::info, "tcp_connector", log::field("pk", super_peer));
  TcpPathGuard guard{node, super_peer, conn};
  log::trace("Connect to super peer tcp://{}", addr);

  auto executor = co_await boost::asio::this_coro::executor;
  tcp::socket stream(executor);
  std::string host;
  std::uint16_t port_number = 0;
  boost::system::error_code ec = boost::asio::error::invalid_argument;
  if (util::net::split_host_port(addr, host, port_number)) {
    // Every step has a time limit, and each address its own: a dead address must not hold the
    // link up for the minutes the system would wait.
    const auto limit = node->tcp_time_limit();
    boost::asio::steady_timer timer(executor);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SuperPeer::kLookupTimeoutMs);
    auto resolved = co_await (util::resolve_host(host, deadline) ||
                              conn->token().async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    if (resolved.index() == 1) co_return;  // the link was cancelled
    auto& found = std::get<0>(resolved);
    if (!found) {
      ec = found.error();
    } else {
      ec = boost::asio::error::host_not_found;
      for (const auto& ip : *found) {
        const tcp::endpoint endpoint(ip, port_number);
        boost::system::error_code ignored;
        stream.close(ignored);
        timer.expires_after(limit);
        auto raced = co_await (stream.async_connect(endpoint, boost::asio::as_tuple(boost::asio::use_awaitable)) ||
                               timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)) ||
                               conn->token().async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
        if (raced.index() == 2) co_return;
        if (raced.index() == 1) {
          ec = boost::asio::error::timed_out;
          log::debug("Connecting to super peer tcp://{} at {} timed out after {} ms", addr,
                     util::net::to_string(boost::asio::ip::udp::endpoint(ip, port_number)), limit.count());
          continue;
        }
        ec = std::get<0>(std::get<0>(raced));
        if (!ec) break;
      }
    }
  }
  if (ec) {
    log::warn("Failed to connect to super peer tcp://{}: {}", addr, ec.message());
    co_return;
  }
  stream.set_option(tcp::no_delay(true), ec);
  if (ec) log::warn("Failed to set TCP_NODELAY: {}", ec.message());

  co_await node->tcp_stream_handler(std::move(stream), super_peer, addr, conn, time, key);
}

boost::asio::awaitable<void> NodeInner::tcp_stream_handler(boost::asio::ip::tcp::socket stream,
                                                           const PubKey& super_peer, const std::string& addr,
                                                           const std::shared_ptr<TcpConnection>& conn,
                                                           std::uint64_t, const MessageKey& key) {
  using namespace boost::asio::experimental::awaitable_operators;
  using boost::asio::ip::tcp;
  log::trace("TCP connection to {} established", addr);

  auto executor = co_await boost::asio::this_coro::executor;
  auto reader = std::make_shared<tcp::socket>(std::move(stream));
  boost::system::error_code ec;
  const auto remote_tcp = reader->remote_endpoint(ec);
  if (ec) {
    log::warn("Failed to read the remote address of tcp://{}: {}", addr, ec.message());
    co_return;
  }
  const boost::asio::ip::udp::endpoint remote(remote_tcp.address(), remote_tcp.port());

  // The write half is a second descriptor of the same connection, so that the
  // reader here and the writer task never share one socket object.
  const int wfd = ::dup(reader->native_handle());
  if (wfd < 0) {
    log::warn("Failed to split the TCP stream of tcp://{}: {}", addr, std::strerror(errno));
    co_return;
  }
  tcp::socket write_half(executor);
  write_half.assign(remote_tcp.protocol(), wfd, ec);
  if (ec) {
    ::close(wfd);
    log::warn("Failed to split the TCP stream of tcp://{}: {}", addr, ec.message());
    co_return;
  }
  // Ending the handler ends the connection for both halves.
  struct Shutdown {
    std::shared_ptr<tcp::socket> s;
    ~Shutdown() {
      boost::system::error_code ignored;
      s->shutdown(tcp::socket::shutdown_both, ignored);
    }
  } shutdown{reader};

  // Greeting HELLO. Its time is taken now, not when the pass asked for the link: the super
  // peer refuses a HELLO older than one it already accepted, and the pass's UDP HELLOs went out
  // while this link was connecting.
  auto addrs = my_addrs();
  if (!addrs) {
    log::warn("my_addrs failed: {}", addrs.error().message());
    co_return;
  }
  std::vector<boost::asio::ip::address> ips;
  for (const auto& [name, ip] : *addrs) ips.push_back(ip);
  auto candidates = my_endpoint_candidates(ips);
  if (!candidates) {
    log::warn("my_endpoint_candidates failed: {}", candidates.error().message());
    co_return;
  }
  const std::uint64_t time = current_time();
  auto hello = HelloSuperPeerMessage::build(network_id_, own_key(), own_pow(), key, super_peer, time, *candidates);
  if (!hello) {
    log::warn("building HELLO message failed: {}", hello.error().message());
    co_return;
  }
  {
    boost::asio::steady_timer timer(executor, tcp_time_limit());
    auto written = co_await (util::write_frame(write_half, *hello) ||
                             timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    const auto wec = written.index() == 1 ? boost::system::error_code(boost::asio::error::timed_out)
                                          : std::get<0>(written);
    if (wec) {
      log::warn("Failed to send HELLO to super peer {} via tcp://{} immediately after connection establishment: {}",
                super_peer, addr, wec.message());
      co_return;
    }
  }
  log::trace("Sent HELLO to super peer {} via tcp://{} immediately after connection establishment.", super_peer,
             addr);

  // Publish the writer. A frame it cannot write within the time limit ends the link.
  conn->set_remote(remote);
  std::weak_ptr<TcpConnection> weak_conn = conn;
  auto writer = std::make_shared<TcpWriter>(
      std::move(write_half), tcp_time_limit(), [weak_conn, weak_node = weak_from_this()](const std::error_code& wec) {
        if (auto n = weak_node.lock()) {
          n->send_failure_log(spdlog::level::err, "Failed to send message to super peer via TCP, shutting it down: {}",
                              wec.message());
        }
        if (auto c = weak_conn.lock()) c->cancel_connection();
      });
  struct CloseWriter {
    std::shared_ptr<TcpWriter> w;
    ~CloseWriter() { w->close(); }
  } close_writer{writer};
  if (auto sp = peers_list().super_peer(super_peer)) {
    if (auto held = sp->tcp_connection(); held && held == conn) {
      held->hello_tx(time);
      held->set_stream(writer);
      if (held->is_cancelled()) writer->close();  // cancelled before the writer was there to stop
    }
  }

  // The link's cancellation reaches the pending read through a watcher on this
  // task's strand.
  boost::asio::co_spawn(
      executor,
      [](util::CancellationToken token, std::shared_ptr<tcp::socket> s) -> boost::asio::awaitable<void> {
        co_await token.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
        boost::system::error_code ignored;
        s->cancel(ignored);
      }(conn->token(), reader),
      boost::asio::detached);

  std::vector<std::uint8_t> frame;
  frame.reserve(util::kMaxFrameSize);
  std::vector<std::uint8_t> scratch(opts_.network_mtu, 0);
  Transmits out;
  for (;;) {
    if (conn->is_cancelled()) break;
    const auto rec = co_await util::read_frame(*reader, frame);
    if (conn->is_cancelled()) break;
    if (rec == boost::asio::error::eof) {
      log::error("{}", addr);
      break;
    }
    if (rec) {
      log::error("Error receiving segment: {}", rec.message());
      break;
    }
    // Only a broken frame stream ends the link. A frame that is refused is dropped like a bad
    // datagram: anybody can have the super peer relay one, so it must not cost the link.
    if (frame.size() > opts_.network_mtu) {
      stats_.oversized.fetch_add(1, std::memory_order_relaxed);
      refused_log(spdlog::level::err, "Error processing segment: frame of {} bytes is longer than the network MTU {}", frame.size(),
                  opts_.network_mtu);
      continue;
    }
    out.clear();
    auto r = on_packet(frame, remote, nullptr, Transport::Tcp, scratch, out);
    if (!r) {
      stats_.refused.fetch_add(1, std::memory_order_relaxed);
      refused_log(spdlog::level::err, "Error processing segment: {}", r.error().message());
      continue;
    }
    if (!out.udp.empty() || !out.tcp.empty()) co_await send_transmits(out);
  }
  // Wake the watcher, whatever ended the link.
  conn->cancel_connection();
}

boost::asio::awaitable<std::expected<void, Error>> NodeInner::send_super_peer_tcp(
    std::shared_ptr<TcpWriter> writer, PubKey super_peer, std::span<const std::uint8_t> bytes) {
  // Never waits: a link that does not drain drops the message, as a full UDP path would.
  auto r = writer->try_send(bytes);
  if (r) {
    log::trace("Sent to super peer via TCP.");
    co_return std::expected<void, Error>{};
  }
  // Either way the message is lost, and the caller is told: it may have another road (a send
  // handle falls back to the super peer's UDP paths). A link that fails fails every message
  // until it is replaced, so the lines are rate-limited.
  if (r.error() == std::errc::no_buffer_space) {
    send_failure_log(spdlog::level::warn, "TCP link to super peer {} is not draining; dropped a message", super_peer);
    co_return std::unexpected(Error(Error::SendFailed{r.error()}));
  }
  send_failure_log(spdlog::level::err, "Failed to send message to super peer via TCP, shutting it down: {}",
                   r.error().message());
  if (auto sp = peers_list().super_peer(super_peer)) {
    // Only the link this writer belongs to: a newer link of the super peer is left alone.
    if (auto held = sp->tcp_connection(); held && held->writer() == writer) held->cancel_connection();
  }
  co_return std::unexpected(Error(Error::SendFailed{r.error()}));
}

}  // namespace velarix::p2p
