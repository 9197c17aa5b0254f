#pragma once
// SuperPeerServer: a small super peer, for tests and for trying the overlay out.
//
// - HELLOs addressed to it (over UDP, or as frames on a TCP link) record the sending node: the
//   UDP address its HELLOs come from, or the TCP link they came on, and the endpoint candidates
//   it announced. Each is answered with an ACK echoing the HELLO's time, on the same path and in
//   the same form. It serves one form only (armed unless told otherwise), registers only nodes
//   whose proof of work is strong enough, refuses HELLOs outside its time window or older than
//   the node's last one, and limits HELLOs per source address. Session keys of senders without
//   a record are cached, and the key exchanges that derive them capped per port of a source and
//   in all, sources within their share first.
// - Every other long-header message names another node as recipient and is relayed unchanged
//   to that node's path: its TCP link while it has one, else the UDP address its last HELLO
//   came from. Messages for nodes it has not heard from are dropped.
// - When it relays a message from a node it knows, on that node's own path, to another, it sends
//   each a UNITE that introduces the other (the observed UDP address first, then the announced
//   candidates), at most once per pair and `unite_interval`, and over UDP only as far as the
//   node's address has paid for it with what it sent.
// - Garbage, short headers, other network ids and unknown types are dropped without an answer.
//   All state is bounded: at most `max_nodes` nodes (a quiet node makes room for a newcomer,
//   else one that was never in use), `max_tcp_links` links (fewer per source, one per node; the
//   oldest that has not greeted makes room), each with time limits, and a bounded send queue
//   per link.
//
// TCP links carry length-delimited frames (util/length_codec.h). The TCP listener takes the
// UDP port's number unless told otherwise, so one `SuperPeerUrl` names both.
//
// Threads: all members are thread-safe. The server runs its tasks on the Runtime given to
// `start`; destroy the server before that Runtime.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "identity/identity.h"
#include "identity/super_peer_url.h"
#include "util/runtime.h"

namespace velarix::p2p {

namespace superpeer {
struct Inner;  // internal
}

struct SuperPeerOptions {
  Identity identity;
  std::uint32_t network_id = 0;
  boost::asio::ip::address listen_address = boost::asio::ip::address_v4::loopback();
  std::uint16_t udp_port = 0;             // 0: chosen by the system
  std::optional<std::uint16_t> tcp_port = std::nullopt;  // absent: the UDP port's number; 0: chosen by the system
  // The one form served: armed HELLOs only (true), or unarmed only (false: a network whose nodes
  // do not arm, where nothing is authenticated). HELLOs of the other form are dropped unread.
  bool arm_messages = true;
  // Nodes whose proof of work is weaker are never registered.
  std::uint8_t min_pow_difficulty = 24;
  // A HELLO whose time lies further than this behind or ahead of the server's clock is refused.
  std::chrono::milliseconds hello_max_age{60'000};
  // false: every datagram is dropped unread, as if UDP were blocked (nodes fall back to TCP).
  bool answer_udp = true;
  bool send_unites = true;
  std::chrono::milliseconds unite_interval{5000};  // per pair of nodes
  std::size_t max_nodes = 4096;
  // A full table makes room only by forgetting a node not heard from for this long.
  std::chrono::milliseconds node_idle_timeout{60'000};
  // HELLOs answered per second from one source address (twice that in a burst). Only HELLOs that
  // authenticate and are on time count, so junk from an address never holds its nodes back.
  std::uint32_t hellos_per_second_per_source = 100;
  // Key exchanges (what a HELLO from a key without a record costs) per second: the share of one
  // source, and in all (twice that in a burst; 0: no limit). A source within its share comes
  // first; beyond it a source has what the others leave. One port of a source may take a tenth
  // of the share (at least 1). Registered nodes need none.
  std::uint32_t key_exchanges_per_second_per_source = 20;
  std::uint32_t key_exchanges_per_second = 1000;
  std::size_t max_tcp_links = 1024;
  std::size_t max_tcp_links_per_source = 16;
  // A link must bring an accepted HELLO this soon after it is accepted.
  std::chrono::milliseconds tcp_first_hello_timeout{10'000};
  // A frame, once begun, must be complete this soon.
  std::chrono::milliseconds tcp_frame_timeout{10'000};
  // A link that brings no frame for this long is closed.
  std::chrono::milliseconds tcp_idle_timeout{60'000};
  // A frame that cannot be written within this long closes the link.
  std::chrono::milliseconds tcp_write_timeout{10'000};
};

// What the server has done since it started.
struct SuperPeerStats {
  std::size_t known_nodes = 0;
  std::size_t tcp_links = 0;          // open now
  std::uint64_t hellos_answered = 0;  // ACKs sent, UDP and TCP
  std::uint64_t relayed_udp = 0;      // messages relayed to a UDP address
  std::uint64_t relayed_tcp = 0;      // messages relayed over a TCP link
  std::uint64_t unites_sent = 0;
  std::uint64_t dropped = 0;          // packets and frames dropped (garbage, unknown recipient, ...)
  std::uint64_t hellos_refused = 0;   // HELLOs dropped for their form, proof of work, time or rate (also in dropped)
  std::uint64_t links_timed_out = 0;  // TCP links closed by a time limit, or to make room
  std::uint64_t key_exchanges = 0;    // session keys derived for HELLOs
};

class SuperPeerServer {
 public:
  // Binds the sockets (so the ports are known when it returns) and starts serving. The error
  // is a text naming the step that failed.
  static std::expected<std::unique_ptr<SuperPeerServer>, std::string> start(util::Runtime& runtime,
                                                                             SuperPeerOptions options);

  // Stops (see stop()).
  ~SuperPeerServer();
  SuperPeerServer(const SuperPeerServer&) = delete;
  SuperPeerServer& operator=(const SuperPeerServer&) = delete;

  // Ends every task and closes every socket. Idempotent. Called from outside the runtime it
  // returns once all is closed; called from a runtime thread it only starts the stop, and the
  // sockets close as the tasks end.
  void stop();

  boost::asio::ip::udp::endpoint udp_endpoint() const noexcept;
  boost::asio::ip::tcp::endpoint tcp_endpoint() const noexcept;
  std::uint16_t udp_port() const noexcept { return udp_endpoint().port(); }
  std::uint16_t tcp_port() const noexcept { return tcp_endpoint().port(); }
  const PubKey& public_key() const noexcept;
  // "udp://HOST:PORT?publicKey=...&networkId=..." with the UDP port; an unspecified listen
  // address (0.0.0.0, ::) is given as loopback.
  SuperPeerUrl url() const;
  std::string url_text() const { return url().to_string(); }

  std::size_t known_nodes() const;
  SuperPeerStats stats() const;
  // Waits until `pred` holds for the stats, or `timeout` passes (then false). For tests.
  bool wait_for(const std::function<bool(const SuperPeerStats&)>& pred, std::chrono::milliseconds timeout) const;

  // Switches UDP answering at run time (see SuperPeerOptions::answer_udp).
  void set_answer_udp(bool answer);

 private:
  explicit SuperPeerServer(std::shared_ptr<superpeer::Inner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<superpeer::Inner> inner_;
};

}  // namespace velarix::p2p
