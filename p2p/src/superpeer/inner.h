#pragma once
// The super peer's shared state (Inner): its sockets, the node table, the links, the credits,
// the UNITE state and the counters, and the operations its tasks run. For the files of
// p2p/src/superpeer only:
//   super_peer_server.cpp  start, stop, and the packet road: UDP readers, dispatch, relaying
//   node_table.h/.cpp      records and routes; a HELLO's checks, its record and making room
//   links.h/.cpp           TCP links: accepting within the caps, reading, writing, time limits
//   credits.h/.cpp         token buckets, the key cache and key exchanges within their caps
//   unites.h/.cpp          the UNITEs that introduce a pair

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <expected>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <fmt/format.h>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "identity/super_peer_url.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "peer/cow_map.h"
#include "superpeer/common.h"
#include "superpeer/credits.h"
#include "superpeer/links.h"
#include "superpeer/node_table.h"
#include "superpeer/super_peer_server.h"
#include "superpeer/unites.h"
#include "util/cancellation_token.h"
#include "util/log.h"
#include "util/log_limiter.h"
#include "util/runtime.h"
#include "util/udp_batch.h"

namespace velarix::p2p::superpeer {

// The counters of SuperPeerStats, spread over cache lines by thread so that readers on many
// cores do not all write one line per packet; a read sums the shards.
class ShardedStats {
 public:
  void add(std::uint64_t SuperPeerStats::*counter, std::int64_t n) noexcept {
    shards_[shard()].v[index(counter)].fetch_add(static_cast<std::uint64_t>(n));
  }
  SuperPeerStats sum() const noexcept {
    SuperPeerStats s;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      std::uint64_t total = 0;
      for (const auto& shard : shards_) total += shard.v[i].load();
      s.*kFields[i] = total;
    }
    return s;
  }

 private:
  static constexpr std::array<std::uint64_t SuperPeerStats::*, 8> kFields{
      &SuperPeerStats::hellos_answered, &SuperPeerStats::relayed_udp,     &SuperPeerStats::relayed_tcp,
      &SuperPeerStats::unites_sent,     &SuperPeerStats::dropped,         &SuperPeerStats::hellos_refused,
      &SuperPeerStats::links_timed_out, &SuperPeerStats::key_exchanges};
  static std::size_t index(std::uint64_t SuperPeerStats::*counter) noexcept {
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (kFields[i] == counter) return i;
    }
    return 0;
  }
  static constexpr std::size_t kShards = 16;
  static std::size_t shard() noexcept {
    static std::atomic<std::size_t> next{0};
    thread_local const std::size_t mine = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return mine;
  }
  struct alignas(64) Shard {
    std::array<std::atomic<std::uint64_t>, kFields.size()> v{};
  };
  std::array<Shard, kShards> shards_{};
};

struct Inner : std::enable_shared_from_this<Inner> {
  Inner(util::Runtime& rt, SuperPeerOptions o)
      : runtime(rt),
        opts(std::move(o)),
        network_id(network_id_from_u32(opts.network_id)),
        acceptor(rt.context()),
        answer_udp(opts.answer_udp),
        hello_limiter(opts.hellos_per_second_per_source, kSourceBuckets),
        exchange_limiter_per_port(port_share(opts.key_exchanges_per_second_per_source), kPortBuckets),
        exchange_limiter_per_source(opts.key_exchanges_per_second_per_source, kSourceBuckets),
        exchange_limiter(opts.key_exchanges_per_second),
        unite_hints(4 * std::max<std::size_t>(opts.max_nodes, 1)) {}

  ~Inner() { close_sockets(); }

  // Keeps count of the server's running tasks so that stop() can wait for
  // them. Lives in the task's coroutine frame or handler, so it also ends when the runtime
  // destroys a task that never ran.
  class Ticket {
   public:
    explicit Ticket(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {
      std::lock_guard lock(inner_->tasks_mutex);
      ++inner_->live_tasks;
    }
    Ticket(Ticket&& other) noexcept = default;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    Ticket& operator=(Ticket&&) = delete;
    ~Ticket() {
      if (!inner_) return;
      std::lock_guard lock(inner_->tasks_mutex);
      --inner_->live_tasks;
      inner_->tasks_done.notify_all();
    }
    Inner& inner() const { return *inner_; }

   private:
    std::shared_ptr<Inner> inner_;
  };

  static awaitable<void> run_task(Ticket ticket, awaitable<void> task) {
    (void)ticket;
    try {
      co_await std::move(task);
    } catch (const boost::system::system_error& e) {
      if (!is_aborted(e.code())) log::error("Super peer task failed: {}", e.what());
    } catch (const std::exception& e) {
      log::error("Super peer task failed: {}", e.what());
    }
  }

  template <class Executor>
  void spawn(const Executor& executor, awaitable<void> task) {
    asio::co_spawn(executor, run_task(Ticket(shared_from_this()), std::move(task)), asio::detached);
  }

  std::expected<void, std::string> bind();
  void close_sockets();
  void stop();

  // A reader's relays over UDP, sent together once its batch is handled.
  struct UdpOut {
    util::DatagramBatch& batch;
    int fd;
  };
  awaitable<void> udp_reader(std::size_t index);
  awaitable<void> accept_loop();
  awaitable<void> link_reader(std::shared_ptr<Link> link);
  awaitable<void> link_writer(std::shared_ptr<Link> link);
  awaitable<void> link_watchdog(std::shared_ptr<Link> link);

  void on_packet(std::span<std::uint8_t> packet, const udp::endpoint* from_udp, const std::shared_ptr<Link>& from_link,
                 UdpOut* out);
  void on_hello(const LongHeader& header, std::span<std::uint8_t> body, const udp::endpoint* from_udp,
                const std::shared_ptr<Link>& from_link);
  void relay(const LongHeader& header, std::span<const std::uint8_t> packet, const udp::endpoint* from_udp,
             const std::shared_ptr<Link>& from_link, UdpOut* out);
  // Introduces `sender` and `recipient` to each other with UNITEs, when it is time and their
  // addresses have paid for them (after a relay from `sender` on its own path).
  void introduce_pair(const PubKey& sender, const PubKey& recipient, UdpOut* out);

  void send_unite(const Path& to, const Path& about);
  // The size of a UNITE to `to` about `about`, and whether `to` may be sent it now (over a link,
  // or over UDP within its address's credit).
  static std::int64_t unite_size(const Path& to, const Path& about);
  static bool affordable(const Path& to, const Path& about);
  // Sends to the node's path and counts it in `counter` (null: relayed_tcp or relayed_udp).
  bool send(const Path& path, std::span<const std::uint8_t> bytes, std::uint64_t SuperPeerStats::*counter);
  bool send_udp(const udp::endpoint& to, std::span<const std::uint8_t> bytes);
  void forget_link(const std::shared_ptr<Link>& link);
  // Takes `link` off the link caps (under `mutex`).
  void release_link_place(Link& link);
  // Takes `link` out of `ungreeted` (under `mutex`); the list's reference to it is returned,
  // to be let go of after the lock (null when it was not there).
  std::shared_ptr<Link> leave_ungreeted(Link& link);
  // The session key with a sender that has no record: cached, else derived within the caps on
  // key exchanges. The error is why there is none.
  std::expected<crypto::SessionKey, const char*> session_key_for(const PubKey& pk, const asio::ip::address& source,
                                                                 std::uint16_t port);
  Path path_of(const PubKey& pk, const NodeRecord& record) const;
  // Makes room in a full table for a newcomer, or says there is none (under `mutex`). A link the
  // forgotten node had is handed to `released`, to be destroyed after the lock.
  bool make_room(Clock::time_point now, std::shared_ptr<Link>& released);
  void erase_record(std::unordered_map<PubKey, NodeRecord>::iterator it);

  // Drops a HELLO (counted in `dropped` and `hellos_refused`).
  template <class... Args>
  void refuse(fmt::format_string<Args...> format, Args&&... args) {
    if (log::enabled(spdlog::level::debug)) log::debug("{}", fmt::format(format, std::forward<Args>(args)...));
    // `dropped` first: whoever sees the refusal counted also sees the drop.
    counters.add(&SuperPeerStats::dropped, 1);
    counters.add(&SuperPeerStats::hellos_refused, 1);
    notify();
  }
  template <class... Args>
  void drop(fmt::format_string<Args...> format, Args&&... args) {
    if (log::enabled(spdlog::level::debug)) log::debug("{}", fmt::format(format, std::forward<Args>(args)...));
    bump(&SuperPeerStats::dropped);
  }
  void bump(std::uint64_t SuperPeerStats::*counter) {
    counters.add(counter, 1);
    notify();
  }
  void unbump(std::uint64_t SuperPeerStats::*counter) {
    counters.add(counter, -1);
    notify();
  }
  // Wakes the threads in wait_for, if any: a counter changed. Without waiters, no lock.
  void notify() {
    if (waiters.load() == 0) return;
    { std::lock_guard lock(mutex); }
    changed.notify_all();
  }
  SuperPeerStats snapshot_stats() const {
    SuperPeerStats s = counters.sum();
    s.known_nodes = nodes.size();
    s.tcp_links = link_count;
    return s;
  }
  // The route of a node as its record now says; called whenever the record's paths change.
  void publish_route(const PubKey& pk, const NodeRecord& record) {
    routes.insert_or_assign(pk, Route{record.udp_addr, record.link, record.marks, record.other_addrs});
  }

  util::Runtime& runtime;
  const SuperPeerOptions opts;
  const NetworkId network_id;
  crypto::X25519Key x_pk{};
  crypto::X25519Key x_sk{};
  std::optional<SuperPeerUrl> url;

  // Sockets bound to one port (SO_REUSEPORT), each read by its own task on a lane, which also
  // sends what it relays through it. Other tasks send through any of them without waiting.
  std::vector<std::unique_ptr<udp::socket>> udp_sockets;
  std::vector<int> udp_fds;  // theirs, fixed once bound
  tcp::acceptor acceptor;
  udp::endpoint udp_local;
  tcp::endpoint tcp_local;
  util::CancellationToken token;
  std::atomic<bool> answer_udp;
  SourceRateLimiter hello_limiter;
  // Key exchanges are what a sender without a record can make costly: capped per port of a
  // source and in all, with sources within their share first, so that registered nodes, which
  // need none, are served whatever comes, and junk from one address holds back the newcomers
  // elsewhere not at all and those behind it only while its keys are new.
  SourceRateLimiter exchange_limiter_per_port;
  SourceRateLimiter exchange_limiter_per_source;
  RateLimiter exchange_limiter;
  KeyCache key_cache;
  // A full node table or link set refuses newcomers: an operator must see it, but newcomers may
  // knock at any rate.
  util::LogLimiter table_full_log;
  util::LogLimiter links_full_log;
  std::atomic<std::size_t> next_send_socket{0};
  std::atomic<bool> stopping{false};
  std::once_flag closed_once;

  // Node records, UNITE times and stats; never held across a co_await or a send.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::unordered_map<PubKey, NodeRecord> nodes;
  std::list<PubKey> lru;  // every key of `nodes`, most recently heard first
  // Keys of `nodes` not seen in use when last looked at, most recently heard first. Records
  // marked in use since leave it when the table makes room.
  std::list<PubKey> unused;
  std::map<std::array<std::uint8_t, 16>, std::size_t> links_per_source;  // at most max_tcp_links entries
  // Links that have not brought an accepted HELLO, oldest first: a full table of links closes
  // the oldest of them to make room.
  std::list<std::shared_ptr<Link>> ungreeted;
  std::unordered_map<PairKey, UniteState, PairKeyHash> unites;
  std::size_t link_count = 0;

  // Read by every relay without a lock: where each node is reached. Written under `mutex`
  // alongside the records.
  CowMap<PubKey, Route> routes;
  // Which pairs were introduced lately, read without a lock; `unites` decides.
  UniteHints unite_hints;
  ShardedStats counters;
  std::atomic<int> waiters{0};  // threads in wait_for

  std::mutex tasks_mutex;
  std::condition_variable tasks_done;
  std::size_t live_tasks = 0;
};

}  // namespace velarix::p2p::superpeer
