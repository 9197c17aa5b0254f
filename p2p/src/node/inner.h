#pragma once
// NodeInner: the shared state of a running node and the operations of its
// tasks (UDP readers, TCP links, housekeeping) and message handlers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "crypto/crypto.h"
#include "message/endpoints.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "node/error.h"
#include "node/opts.h"
#include "node/udp_binding.h"
#include "peer/peers_list.h"
#include "peer/session_key_cache.h"
#include "util/cancellation_token.h"
#include "util/log.h"
#include "util/log_limiter.h"
#include "util/net.h"
#include "util/rate_limiter.h"
#include "util/snapshot.h"

namespace velarix::p2p {

namespace util {
class RecvBatch;
}

class SendHandlesList;
struct SendHandleState;

// A reply a handler produced, sent by the reading task.
struct UdpTransmit {
  std::vector<std::uint8_t> bytes;
  boost::asio::ip::udp::endpoint dst;
  std::shared_ptr<boost::asio::ip::udp::socket> socket;
};
struct TcpTransmit {
  std::vector<std::uint8_t> bytes;
  std::shared_ptr<TcpWriter> writer;
  PubKey super_peer;
};
struct Transmits {
  std::vector<UdpTransmit> udp;
  std::vector<TcpTransmit> tcp;
  void clear() noexcept {
    udp.clear();
    tcp.clear();
  }
};

// What the receive road refused, since the node started.
struct NodeStats {
  std::atomic<std::uint64_t> refused{0};    // packets and frames refused by the dispatch
  std::atomic<std::uint64_t> oversized{0};  // datagrams and frames longer than network_mtu
  std::atomic<std::uint64_t> replayed{0};   // armed messages refused as already seen
};

// Where a packet came from: a UDP reader (0) or a super peer's TCP link (1).
enum class Transport : std::uint8_t { Udp = 0, Tcp = 1 };

class NodeInner : public std::enable_shared_from_this<NodeInner> {
 public:
  using Executor = boost::asio::any_io_executor;
  using UdpSocket = boost::asio::ip::udp::socket;

  NodeInner(NodeOpts opts, NetworkId network_id, std::unique_ptr<PeersList> peers,
            std::optional<crypto::X25519Key> x_sk, std::optional<crypto::X25519Key> x_pk,
            const PubKey& default_route, UdpBindings bindings, std::uint16_t port, util::CancellationToken root,
            Executor executor);
  ~NodeInner();
  NodeInner(const NodeInner&) = delete;
  NodeInner& operator=(const NodeInner&) = delete;

  // Binding steps before any task starts: keys, addresses, sockets, peers. Used
  // by Node::bind, and by tests and fuzzers that drive a node without its tasks.
  static boost::asio::awaitable<std::expected<std::shared_ptr<NodeInner>, Error>> create(NodeOpts opts);

  const NodeOpts& opts() const noexcept { return opts_; }
  const NetworkId& network_id() const noexcept { return network_id_; }
  const PubKey& own_key() const noexcept { return opts_.identity.pk(); }
  Pow own_pow() const noexcept { return opts_.identity.pow(); }
  PeersList& peers_list() noexcept { return *peers_; }
  const PeersList& peers_list() const noexcept { return *peers_; }
  const std::vector<std::shared_ptr<SuperPeer>>& super_peers() const noexcept { return super_peers_; }
  const std::optional<crypto::X25519Key>& x25519_sk() const noexcept { return x_sk_; }
  const std::optional<crypto::X25519Key>& x25519_pk() const noexcept { return x_pk_; }
  std::uint16_t udp_port() const noexcept { return port_; }
  const util::CancellationToken& token() const noexcept { return root_; }
  const Executor& executor() const noexcept { return executor_; }
  SendHandlesList& send_handles() noexcept { return *send_handles_; }
  const NodeStats& stats() const noexcept { return stats_; }
  // Log lines about refused packets held back so far.
  std::uint64_t suppressed_log_lines() const noexcept { return refused_log_limiter_.total_suppressed(); }
  // Log lines about failed sends (a TCP link that failed or does not drain, relays that
  // failed) held back so far.
  std::uint64_t suppressed_send_log_lines() const noexcept { return send_log_limiter_.total_suppressed(); }
  // Key exchanges done for senders that were not in the peers map.
  std::uint64_t newcomer_key_exchanges() const noexcept {
    return newcomer_key_exchanges_.load(std::memory_order_relaxed);
  }

  std::shared_ptr<const UdpBindings> udp_bindings() const noexcept { return bindings_.load(); }
  void set_udp_bindings(UdpBindings bindings) { bindings_.store(std::move(bindings)); }

  // The networks the agent has put on its tunnel interface. A host address inside one is the
  // overlay's own: the node does not bind it (unless `udp_addrs` names it), announce it or send
  // from it; the next housekeeping pass drops or regains such bindings.
  void set_overlay_networks(std::vector<util::net::IpNetwork> networks) {
    overlay_networks_.store(std::move(networks));
  }
  std::shared_ptr<const std::vector<util::net::IpNetwork>> overlay_networks() const noexcept {
    return overlay_networks_.load();
  }

  // Microseconds since the Unix epoch; the cached form is cheaper and a few ms coarse.
  static std::uint64_t current_time() noexcept;
  static std::uint64_t cached_time() noexcept;

  // The host's interface addresses.
  static std::expected<std::vector<std::pair<std::string, boost::asio::ip::address>>, Error> my_addrs();
  // Receive and send buffers of every UDP socket of the node.
  static constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
  // A UDP socket bound to `addr` with address and port reuse, sized buffers, on a lane of the
  // runtime (where its reader will run).
  static std::expected<std::shared_ptr<UdpSocket>, std::error_code> new_udp_reuseport(
      const Executor& executor, const boost::asio::ip::udp::endpoint& addr, const std::string& ifname);
  // The addresses this node announces to super peers: the local address of
  // every binding (an unspecified one stands for each address of `ips` of its
  // family outside the overlay networks), without link-local addresses, at most
  // kMaxEndpoints.
  std::expected<std::vector<Endpoint>, Error> my_endpoint_candidates(
      const std::vector<boost::asio::ip::address>& ips) const;
  // The socket of the binding whose local address is the key's.
  std::shared_ptr<UdpSocket> udp_socket_for(const PeerPathKey& key) const;

  // --- receive path (udp.cpp) ---
  // Datagrams read with one system call, and batches handled before a reader lets others run.
  static constexpr std::size_t kReadBatch = 64;
  // Where the kernel coalesces runs of datagrams (one run per receive, up to 64 KiB): receives
  // per system call. Their buffers' pages are touched only as runs come.
  static constexpr std::size_t kCoalescedReads = 8;
  static constexpr unsigned kBatchesPerTurn = 16;
  // Starts the reader of `binding` on its socket's lane.
  static void start_reader(std::shared_ptr<NodeInner> node, std::shared_ptr<UdpBinding> binding);
  static boost::asio::awaitable<void> udp_reader(std::shared_ptr<NodeInner> node, std::shared_ptr<UdpBinding> binding);
  // Dispatches the first `count` datagrams of `batch`, refusing those longer than the MTU.
  void on_datagrams(util::RecvBatch& batch, std::size_t count, const UdpBinding* binding,
                    std::span<std::uint8_t> scratch, Transmits& out);
  // Dispatches one packet. `packet` is changed (armed bodies are decrypted in
  // place). Replies are appended to `out`; a refused packet appends nothing.
  std::expected<void, Error> on_packet(std::span<std::uint8_t> packet, const boost::asio::ip::udp::endpoint& src,
                                       const UdpBinding* binding, Transport transport, std::span<std::uint8_t> scratch,
                                       Transmits& out);
  // Sends the transmits of one packet, UDP then TCP, in order.
  boost::asio::awaitable<void> send_transmits(Transmits& out);

  void on_super_peer_ack(const boost::asio::ip::udp::endpoint& src, const UdpBinding* binding,
                         const LongHeader& header, SuperPeer& super_peer, const AckMessage& ack, std::uint64_t now);
  void on_app(NodePeer& peer, const LongHeader& header, const AppMessage& app);
  std::expected<void, Error> on_unite(std::vector<UdpTransmit>& udp_out, const LongHeader& header,
                                      const UniteMessage& unite, std::uint64_t now);
  // The node-peer handlers take an ACK or HELLO whose time the dispatch has checked.
  std::expected<void, Error> on_node_peer_ack(const boost::asio::ip::udp::endpoint& src, NodePeer& peer,
                                              const LongHeader& header, const AckMessage& ack,
                                              const std::shared_ptr<UdpSocket>& socket, Transport transport,
                                              std::uint64_t now);
  std::expected<void, Error> on_node_peer_hello(const boost::asio::ip::udp::endpoint& src,
                                                std::span<std::uint8_t> scratch, const UdpBinding* binding,
                                                const LongHeader& header, std::vector<UdpTransmit>& udp_out,
                                                NodePeer& peer, const HelloNodePeerMessage& hello, Transport transport,
                                                std::vector<TcpTransmit>& tcp_out, std::uint64_t now);
  void add_to_recv_buf(const PubKey& sender, std::span<const std::uint8_t> payload);

  // A UNITE makes the node try at most this many of the endpoints it lists (in its order: the
  // super peer puts the address it saw first).
  static constexpr std::size_t kMaxUniteEndpoints = 4;
  // An endpoint that never answered gets at most this many HELLOs.
  static constexpr std::uint32_t kMaxUnansweredProbes = 3;
  // Whether a HELLO of `bytes` may go to `path` of `peer` now: always to an endpoint that
  // answered before; to one that never did, only a few, and only as far as the peer's probe
  // credit goes (what the node sends towards addresses that never answered is paid for by
  // what the peer sent).
  bool may_probe(NodePeer& peer, const PeerPath& path, std::size_t bytes);
  // Sends `peer` a HELLO through its relaying super peer: it may not know our rx short id (we
  // restarted, or made the peer anew) and so send short headers we refuse. Once per housekeeping
  // interval at most (the caller checks).
  std::expected<void, Error> greet(NodePeer& peer, std::vector<UdpTransmit>& udp_out,
                                   std::vector<TcpTransmit>& tcp_out, std::uint64_t now);
  // Refuses an armed message seen before (its nonce starts at `nonce`); no window: unarmed.
  std::expected<void, Error> check_replay(ReplayWindow* window, std::span<const std::uint8_t> nonce);
  // Refuses an armed message whose nonce no window would take (too old, too far ahead), before
  // its sender has one.
  std::expected<void, Error> check_replay_time(std::span<const std::uint8_t> nonce);
  // An ACK echoes the time of a HELLO of ours: not ahead of `now`, nor more than hello_max_age
  // behind it. A HELLO's time lies within hello_max_age of `now`, either way.
  std::expected<void, Error> check_ack_time(std::uint64_t time, std::uint64_t now) const;
  std::expected<void, Error> check_hello_time(std::uint64_t time, std::uint64_t now) const;

  // The node peer under `key`, admitted when absent and the peers map has room
  // (`max_peers`); a peer created here is registered in the short-id map. `session`: its
  // session key when already derived.
  std::expected<std::shared_ptr<NodePeer>, Error> admit_node_peer(const PubKey& key, std::optional<Pow> pow,
                                                                 bool enforce_limit,
                                                                 std::optional<MessageKey> session = std::nullopt);
  // The session key of a sender that is not in the peers map, to authenticate its message
  // before it is admitted: from a small cache, else derived (and cached) within a budget of
  // kNewcomerKeyExchangesPerSecond, of which one source (the packet's source address, an IPv6
  // /64) gets kNewcomerKeyExchangesPerSecondPerSource (a burst of twice that). Each costs about
  // 70 µs; a flood of copied headers must not take the node's CPU, nor one address the room
  // of every other newcomer. A key that has no session key is cached as such: however often it
  // comes, it costs one exchange.
  static constexpr std::uint32_t kNewcomerKeyExchangesPerSecond = 512;
  static constexpr std::uint32_t kNewcomerKeyExchangesPerSecondPerSource = 64;
  std::expected<crypto::SessionKey, Error> newcomer_key(const PubKey& key, const boost::asio::ip::address& source);
  // Peers admitted without a proof of work seen (from UNITEs) hold at most this many places:
  // a quarter of max_peers, at most kMaxUnverifiedPeers.
  static constexpr std::size_t kMaxUnverifiedPeers = 1024;
  std::size_t max_unverified_peers() const noexcept;

  // --- TCP links (tcp.cpp) ---
  // The longest a TCP link may take to connect (per address), to write one frame, or to go
  // without an ACK: hello_timeout, at most 10 s.
  static constexpr std::uint64_t kMaxTcpTimeLimitMs = 10'000;
  std::chrono::milliseconds tcp_time_limit() const noexcept;
  static boost::asio::awaitable<void> tcp_connector(std::shared_ptr<NodeInner> node, PubKey super_peer,
                                                    std::string addr, std::shared_ptr<TcpConnection> conn,
                                                    std::uint64_t time, MessageKey key);
  boost::asio::awaitable<void> tcp_stream_handler(boost::asio::ip::tcp::socket stream, const PubKey& super_peer,
                                                  const std::string& addr, const std::shared_ptr<TcpConnection>& conn,
                                                  std::uint64_t time, const MessageKey& key);
  // Queues one message on a link without waiting. A link that does not drain drops it; one that
  // failed is cancelled. Both are reported (SendFailed), and logged within a rate limit.
  boost::asio::awaitable<std::expected<void, Error>> send_super_peer_tcp(std::shared_ptr<TcpWriter> writer,
                                                                         PubKey super_peer,
                                                                         std::span<const std::uint8_t> bytes);

  // --- housekeeping (housekeeping.cpp) ---
  static boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<NodeInner> node,
                                                          util::CancellationToken token);
  boost::asio::awaitable<std::expected<void, Error>> housekeeping();
  boost::asio::awaitable<std::expected<void, Error>> node_peer_housekeeping(const PubKey& key, NodePeer& peer,
                                                                            std::uint64_t now);
  boost::asio::awaitable<std::expected<void, Error>> super_peer_housekeeping(
      const PubKey& key, const std::shared_ptr<SuperPeer>& super_peer, std::uint64_t now,
      const std::vector<boost::asio::ip::address>& ips, const std::vector<Endpoint>& candidates);
  void remove_stale_peers_housekeeping();
  std::expected<void, Error> udp_bindings_housekeeping(const std::vector<boost::asio::ip::address>& ips);
  void default_route_housekeeping();
  void send_handles_housekeeping();
  // How a send handle reaches `peer` now.
  SendHandleState send_handle_state(const NodePeer& peer) const;

  // The super peer that relayed a packet from `src`, when it came through one.
  std::shared_ptr<SuperPeer> relaying_super_peer(const boost::asio::ip::udp::endpoint& src,
                                                 Transport transport) const;

 private:
  // A peer whose proof of work was never seen valid and that has no send handle.
  bool is_unverified(const PubKey& key, const std::shared_ptr<NodePeer>& peer) const;
  // Removes the oldest unverified peer while at least `keep_below` are queued; true when one went.
  bool evict_unverified(std::size_t keep_below);
  // on_packet's work; on an error it may have appended to `out`.
  std::expected<void, Error> dispatch(std::span<std::uint8_t> packet, const boost::asio::ip::udp::endpoint& src,
                                      const UdpBinding* binding, Transport transport, std::span<std::uint8_t> scratch,
                                      Transmits& out);
  // Counts and refuses what a replay window did not accept.
  std::expected<void, Error> replay_verdict(ReplayWindow::Verdict verdict);
  // Removes `peer` (when it is still the entry under `key`) and its short id.
  void remove_peer(const PubKey& key, const std::shared_ptr<NodePeer>& peer);

  // A log line about a refused packet, rate-limited: anyone can send packets that are refused.
  template <class... Args>
  void refused_log(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
    util::limited_log(refused_log_limiter_, level, "refused packets", format, std::forward<Args>(args)...);
  }

 public:
  // A log line about a failed send, rate-limited: a link that fails fails every payload.
  template <class... Args>
  void send_failure_log(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
    util::limited_log(send_log_limiter_, level, "failed sends", format, std::forward<Args>(args)...);
  }

 private:
  NodeOpts opts_;
  NetworkId network_id_;
  std::unique_ptr<PeersList> peers_;
  std::vector<std::shared_ptr<SuperPeer>> super_peers_;
  std::optional<crypto::X25519Key> x_sk_;
  std::optional<crypto::X25519Key> x_pk_;
  util::Snapshot<UdpBindings> bindings_;
  util::Snapshot<std::vector<util::net::IpNetwork>> overlay_networks_;
  std::uint16_t port_;
  util::CancellationToken root_;
  Executor executor_;
  std::unique_ptr<SendHandlesList> send_handles_;
  NodeStats stats_;
  util::LogLimiter refused_log_limiter_;
  util::LogLimiter send_log_limiter_;
  // Session keys of senders not in the peers map: a sender's repeated messages cost one key
  // exchange, not one each.
  SessionKeyCache<256, 256> newcomer_keys_;
  // The windowed limiter of log lines serves as the key-exchange budget as well.
  util::LogLimiter newcomer_budget_{kNewcomerKeyExchangesPerSecond, std::chrono::seconds(1)};
  util::SourceRateLimiter newcomer_source_budget_{kNewcomerKeyExchangesPerSecondPerSource, 1024};
  std::atomic<std::uint64_t> newcomer_key_exchanges_{0};
  // Peers admitted without a proof of work, oldest first (some may have proved it since).
  std::mutex unverified_mutex_;
  std::deque<std::pair<PubKey, std::weak_ptr<NodePeer>>> unverified_;
};

}  // namespace velarix::p2p
