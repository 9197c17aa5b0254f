#pragma once
// Paths to a peer: one UDP road from a local socket to one of the peer's
// addresses, a relay road through a super peer, or a super peer's TCP link.
// Each path keeps a replaceable record of its HELLOs and ACKs, from which
// reachability and latency follow.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "util/snapshot.h"

namespace velarix::p2p {

using UdpEndpoint = boost::asio::ip::udp::endpoint;

// Names a UDP path: the local socket address of the binding used and the remote address.
struct PeerPathKey {
  UdpEndpoint local;
  UdpEndpoint remote;

  // "LOCAL->REMOTE", e.g. "127.0.0.1:4000->[::1]:5000".
  std::string to_string() const;
  friend bool operator==(const PeerPathKey& a, const PeerPathKey& b) noexcept;
};

struct PeerPathKeyHash {
  std::size_t operator()(const PeerPathKey& k) const noexcept;
};

// The record of one path, replaced whole on every change.
struct PeerPathInner {
  // How many round-trip times are kept.
  static constexpr std::size_t kMaxLatencies = 8;
  // How many HELLOs sent on the path an ACK may answer (the latest ones).
  static constexpr std::size_t kPendingHellos = 8;

  // Time of the oldest unanswered HELLO: absent = no HELLO sent yet, 0 = none unanswered.
  std::optional<std::uint64_t> hello_tx;
  // Recent round-trip times in µs, oldest first.
  std::vector<std::uint64_t> latencies;
  // HELLOs sent since the last ACK (or since the path was made).
  std::uint32_t unanswered = 0;
  // Times of the latest HELLOs sent and not answered yet (0: free); an ACK must echo one.
  std::array<std::uint64_t, kPendingHellos> pending{};
  std::optional<UdpEndpoint> last_ack_src;
  std::uint64_t last_ack_time = 0;  // µs since the Unix epoch, 0 = never
  // The peer's own authenticated HELLO came in on this path: of the addresses that never
  // answered, the likeliest to (a peer restarted with a new port mapping greets from it).
  bool heard = false;

  // The median round-trip time (lower and upper middle averaged), or none.
  std::optional<std::uint64_t> median_latency() const;
  // An ACK arrived within `hello_timeout_ms` before `now`.
  bool is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept;
  // A HELLO has gone unanswered for longer than `hello_timeout_ms` and no ACK is recent.
  bool is_stale(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept;
};

class PeerPath {
 public:
  PeerPath() = default;
  PeerPath(const PeerPath&) = delete;
  PeerPath& operator=(const PeerPath&) = delete;

  // A consistent copy of the record, without a lock.
  util::Snapshot<PeerPathInner>::Ptr inner() const noexcept { return inner_.load(); }

  // Records a HELLO sent at `now` (its time, which the ACK echoes); the oldest unanswered one is
  // kept as well.
  void hello_tx(std::uint64_t now);
  // Records an ACK that echoes `hello_time`, received at `now` from `src`, when it answers a
  // HELLO sent on this path; false (and nothing changes) otherwise. Each HELLO is answered once.
  bool ack_rx(std::uint64_t now, const UdpEndpoint& src, std::uint64_t hello_time);
  // Records that the peer's authenticated HELLO came in on this path (once: no copy after that).
  void hello_rx();

  bool is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept {
    return inner()->is_reachable(now, hello_timeout_ms);
  }
  bool is_stale(std::uint64_t now, std::uint64_t hello_timeout_ms) const noexcept {
    return inner()->is_stale(now, hello_timeout_ms);
  }

 private:
  util::Snapshot<PeerPathInner> inner_;
  std::mutex write_;  // serialises the read-modify-write of the record
};

}  // namespace velarix::p2p
