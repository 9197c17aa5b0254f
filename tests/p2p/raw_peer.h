#pragma once
// A peer driven by hand for the tests that attack a node or a super peer: an
// identity, a UDP socket and a TCP socket bound to a chosen loopback address
// (127.0.0.2 and up stand for other hosts), blocking sockets with deadlines.

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "util/length_codec.h"
#include "util/net.h"

namespace velarix::test {

namespace raw {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

inline p2p::crypto::SessionKey kx(const p2p::Identity& me, const p2p::PubKey& peer) {
  using namespace p2p::crypto;
  return *compute_kx_session_keys(*convert_ed25519_pk_to_curve25519_pk(me.pk()),
                                  *convert_ed25519_sk_to_curve25519_sk(me.sk()),
                                  *convert_ed25519_pk_to_curve25519_pk(peer));
}

inline std::uint64_t now_us() { return p2p::util::now_us(); }

// Waits until `pred` holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class Peer {
 public:
  Peer(asio::io_context& io, p2p::Identity id, std::uint32_t network, bool armed = true,
       const std::string& host = "127.0.0.1")
      : id_(std::move(id)),
        net_(p2p::network_id_from_u32(network)),
        armed_(armed),
        host_(asio::ip::make_address(host)),
        udp_(io, udp::endpoint(host_, 0)),
        io_(io),
        tcp_(io) {}

  const p2p::Identity& id() const { return id_; }
  const p2p::PubKey& pk() const { return id_.pk(); }
  const p2p::NetworkId& net() const { return net_; }
  udp::endpoint udp_local() const { return udp_.local_endpoint(); }
  p2p::MessageKey key_with(const p2p::PubKey& peer) const {
    return armed_ ? p2p::MessageKey(kx(id_, peer)) : std::nullopt;
  }

  Bytes hello_sp(const p2p::PubKey& sp, std::uint64_t time, const std::vector<p2p::Endpoint>& eps = {}) const {
    return *p2p::HelloSuperPeerMessage::build(net_, pk(), id_.pow(), key_with(sp), sp, time, eps);
  }
  Bytes hello_node(const p2p::PubKey& to, std::uint64_t time, p2p::ShortId id = p2p::ShortId(0)) const {
    return *p2p::HelloNodePeerMessage::build(net_, pk(), id_.pow(), key_with(to), to, time, id);
  }
  Bytes ack(const p2p::PubKey& to, std::uint64_t time) const {
    return *p2p::AckMessage::build(net_, pk(), id_.pow(), key_with(to), to, time);
  }
  Bytes app(const p2p::PubKey& to, const Bytes& payload) const {
    return *p2p::AppMessage::build(net_, pk(), id_.pow(), key_with(to), to, payload);
  }
  Bytes unite(const p2p::PubKey& to, const p2p::PubKey& about, const std::vector<p2p::Endpoint>& eps) const {
    return *p2p::UniteMessage::build(net_, pk(), id_.pow(), key_with(to), to, about, eps);
  }

  void send(const Bytes& bytes, const udp::endpoint& to) { udp_.send_to(asio::buffer(bytes), to); }
  std::optional<Bytes> recv(std::chrono::milliseconds timeout = 5s) {
    if (!readable(udp_.native_handle(), timeout)) return std::nullopt;
    Bytes buf(65536);
    buf.resize(udp_.receive(asio::buffer(buf)));
    return buf;
  }
  // The next datagram for which `pred` holds; others are skipped.
  std::optional<Bytes> recv_until(const std::function<bool(const Bytes&)>& pred,
                                  std::chrono::milliseconds timeout = 5s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto d = recv(left);
      if (!d) return std::nullopt;
      if (pred(*d)) return d;
    }
  }
  void drain() {
    while (recv(0ms)) {
    }
  }

  // TCP from this peer's address.
  boost::system::error_code connect(const tcp::endpoint& to) {
    boost::system::error_code ec;
    tcp_ = tcp::socket(io_);
    tcp_.open(to.protocol(), ec);
    if (!ec) tcp_.bind(tcp::endpoint(host_, 0), ec);
    if (!ec) tcp_.connect(to, ec);
    if (!ec) tcp_.set_option(tcp::no_delay(true), ec);
    return ec;
  }
  void send_frame(const Bytes& bytes) { asio::write(tcp_, asio::buffer(*p2p::util::encode_frame(bytes))); }
  void send_raw(const Bytes& bytes) { asio::write(tcp_, asio::buffer(bytes)); }
  std::optional<Bytes> recv_frame(std::chrono::milliseconds timeout = 5s) {
    std::array<std::uint8_t, 2> header{};
    if (!read_exact(header.data(), header.size(), timeout)) return std::nullopt;
    Bytes frame(p2p::util::frame_length(header));
    if (!read_exact(frame.data(), frame.size(), timeout)) return std::nullopt;
    return frame;
  }
  // True when the other end closed the link before the deadline.
  bool link_closed(std::chrono::milliseconds timeout = 5s) {
    std::array<std::uint8_t, 4096> skip;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readable(tcp_.native_handle(), left)) return false;
      boost::system::error_code ec;
      tcp_.read_some(asio::buffer(skip), ec);
      if (ec) return true;
    }
  }
  tcp::socket& tcp_socket() { return tcp_; }

 private:
  bool read_exact(std::uint8_t* p, std::size_t n, std::chrono::milliseconds timeout) {
    while (n > 0) {
      if (!readable(tcp_.native_handle(), timeout)) return false;
      boost::system::error_code ec;
      const auto got = tcp_.read_some(asio::buffer(p, n), ec);
      if (ec) return false;
      p += got;
      n -= got;
    }
    return true;
  }

  p2p::Identity id_;
  p2p::NetworkId net_;
  bool armed_;
  asio::ip::address host_;
  udp::socket udp_;
  asio::io_context& io_;
  tcp::socket tcp_;
};

// The type byte of a message, or -1 when it has no long header.
inline int type_of(const Bytes& bytes) {
  auto h = p2p::LongHeader::parse(bytes);
  return h ? h->type_byte() : -1;
}

}  // namespace raw
}  // namespace velarix::test
