#pragma once
// A super peer: a configured relay and rendezvous peer, reached over UDP paths
// from each binding and, as a fall-back, over a TCP link.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>

#include "identity/identity.h"
#include "message/messages.h"
#include "node/error.h"
#include "node/udp_binding.h"
#include "peer/node_peer.h"
#include "peer/path.h"
#include "peer/replay_window.h"
#include "peer/tcp_connection.h"
#include "util/cancellation_token.h"
#include "util/snapshot.h"

namespace velarix::p2p {

using UdpBindings = std::vector<std::shared_ptr<UdpBinding>>;
using ResolvedAddrs = std::vector<boost::asio::ip::udp::endpoint>;

class SuperPeer {
 public:
  // How long a host lookup may take.
  static constexpr std::uint64_t kLookupTimeoutMs = 5000;

  // `hello_timeout_ms` serves the accessors that take no time (status reports).
  SuperPeer(const PubKey& key, std::string addr, std::uint16_t port, std::optional<ResolvedAddrs> resolved,
            MessageKey message_key, std::uint64_t hello_timeout_ms = 30'000);
  SuperPeer(const SuperPeer&) = delete;
  SuperPeer& operator=(const SuperPeer&) = delete;

  // Resolves "HOST:PORT" (a socket-address literal without a resolver query),
  // bounded by kLookupTimeoutMs.
  static boost::asio::awaitable<std::expected<ResolvedAddrs, PeerError>> lookup_host(std::string addr);
  // The same with another bound, for tests.
  static boost::asio::awaitable<std::expected<ResolvedAddrs, PeerError>> lookup_host(
      std::string addr, std::chrono::milliseconds timeout);

  // Adds a path from every binding to every resolved address of the same family
  // that is missing (a loopback binding only reaches loopback addresses).
  static void add_paths_for_resolved_addrs(const UdpBindings& bindings, const std::optional<ResolvedAddrs>& resolved,
                                           DirectPaths& paths);

  const PubKey& key() const noexcept { return key_; }
  const std::string& addr() const noexcept { return addr_; }
  std::uint16_t port() const noexcept { return port_; }
  // The address the TCP connector dials: the same host and port.
  const std::string& tcp_addr() const noexcept { return addr_; }
  const MessageKey& message_key() const noexcept { return message_key_; }
  // The replay window of the super peer's armed messages; null when messages are not armed.
  ReplayWindow* replay() const noexcept { return replay_.get(); }

  std::optional<ResolvedAddrs> resolved_addrs() const noexcept { return *resolved_.load(); }
  void update_resolved_addrs(ResolvedAddrs addrs) { resolved_.store(std::optional<ResolvedAddrs>(std::move(addrs))); }

  DirectPaths& udp_paths() noexcept { return udp_paths_; }
  const DirectPaths& udp_paths() const noexcept { return udp_paths_; }

  // The TCP link, when one exists (connecting, established or ended but not yet cleared).
  std::shared_ptr<TcpConnection> tcp_connection() const noexcept { return *tcp_.load(); }
  // A fresh link, cancelled with `parent`, stored as this super peer's link.
  std::shared_ptr<TcpConnection> new_tcp_path(const util::CancellationToken& parent);
  // Clears the link when it is still `conn`.
  void clear_tcp_connection(const std::shared_ptr<TcpConnection>& conn);

  // True when a TCP link should be opened now: no live link exists, and either
  // TCP is enforced or UDP has had its chance (no UDP path is reachable and one
  // has a HELLO unanswered for `hello_timeout_ms`, or there is no UDP path).
  bool establish_tcp_connection(std::uint64_t now, std::uint64_t hello_timeout_ms, bool enforce_tcp) const;

  // Drops UDP paths from local addresses the host no longer has, and paths to
  // addresses the last lookup no longer returned.
  void remove_invalid_udp_paths(std::uint64_t now, std::uint64_t hello_timeout_ms,
                                const std::vector<boost::asio::ip::address>& host_ips);

  // UDP paths in the order to try them: reachable ones by round trip, then the rest.
  std::vector<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> ordered_udp_paths(
      std::uint64_t now, std::uint64_t hello_timeout_ms) const;
  std::optional<std::pair<PeerPathKey, std::shared_ptr<PeerPath>>> best_udp_path(
      std::uint64_t now, std::uint64_t hello_timeout_ms) const;
  std::optional<PeerPathKey> best_udp_path_key(std::uint64_t now, std::uint64_t hello_timeout_ms) const;

  // A UDP path or the TCP link got an ACK recently.
  bool is_reachable(std::uint64_t now, std::uint64_t hello_timeout_ms) const;
  // The same now, with the node's hello timeout.
  bool is_reachable() const;
  std::optional<PeerPathKey> best_udp_path_key() const;
  // The median round trip of the best reachable road, or none.
  std::optional<std::uint64_t> best_latency(std::uint64_t now, std::uint64_t hello_timeout_ms) const;

 private:
  PubKey key_;
  std::string addr_;
  std::uint16_t port_;
  MessageKey message_key_;
  std::unique_ptr<ReplayWindow> replay_;
  std::uint64_t hello_timeout_ms_;
  util::Snapshot<std::optional<ResolvedAddrs>> resolved_;
  DirectPaths udp_paths_;
  util::Snapshot<std::shared_ptr<TcpConnection>> tcp_{std::shared_ptr<TcpConnection>()};
  std::mutex tcp_write_;  // serialises replacing and clearing the link
};

}  // namespace velarix::p2p
