#include "superpeer/super_peer_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <list>
#include <map>
#include <mutex>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "crypto/crypto.h"
#include "message/endpoints.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/length_codec.h"
#include "util/log.h"
#include "util/net.h"
#include "util/udp_batch.h"
#include "util/yield.h"

namespace velarix::p2p {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;
using IoStrand = asio::strand<asio::io_context::executor_type>;

namespace {

// A link whose node does not read may hold at most this much unsent data; more is dropped,
// as a congested UDP path would drop it.
constexpr std::size_t kLinkQueueBytes = 256 * 1024;
constexpr std::size_t kLinkQueueFrames = 512;
// Datagrams handed to the UDP socket from other tasks and not yet sent.
constexpr std::size_t kMaxPendingUdpSends = 1024;
// Larger than any UDP payload, so no datagram is cut.
constexpr std::size_t kUdpBufferSize = 65536;
// Datagrams a reader takes with one system call, and batches before it lets others run.
constexpr std::size_t kReadBatch = 32;
constexpr unsigned kBatchesPerTurn = 16;
// Socket buffers: bursts at full speed must not overflow them within milliseconds.
constexpr int kSocketBufferBytes = 8 * 1024 * 1024;
// A listener that fails to accept (out of descriptors) pauses this long before trying again.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// Tries to find a system-chosen port free for both UDP and TCP.
constexpr int kSharedPortAttempts = 32;

// An IPv4 address seen through a dual-stack IPv6 socket is handed on in its IPv4 form.
Endpoint plain_endpoint(const Endpoint& ep) {
  if (ep.address().is_v6() && ep.address().to_v6().is_v4_mapped()) {
    return Endpoint(asio::ip::make_address_v4(asio::ip::v4_mapped, ep.address().to_v6()), ep.port());
  }
  return ep;
}

bool usable(const Endpoint& ep) { return ep.port() != 0 && !ep.address().is_unspecified(); }

struct PairKey {
  PubKey a, b;  // a < b
  friend bool operator==(const PairKey&, const PairKey&) = default;
};
struct PairKeyHash {
  std::size_t operator()(const PairKey& k) const noexcept {
    const std::hash<PubKey> h;
    return h(k.a) * 31 + h(k.b);
  }
};

bool is_aborted(const boost::system::error_code& ec) { return ec == asio::error::operation_aborted; }

// "ADDR:PORT", with an IPv6 address in brackets.
template <class Ep>
std::string text(const Ep& ep) {
  const auto a = ep.address();
  return a.is_v6() ? fmt::format("[{}]:{}", a.to_string(), ep.port()) : fmt::format("{}:{}", a.to_string(), ep.port());
}

// The source a HELLO is charged to: the address for IPv4, the /64 prefix for IPv6 (one host
// commonly holds a whole /64).
std::array<std::uint8_t, 16> source_of(const asio::ip::address& addr) {
  std::array<std::uint8_t, 16> out{};
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) {
    const auto v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6()).to_bytes();
    std::copy(v4.begin(), v4.end(), out.begin());
  } else if (addr.is_v4()) {
    const auto v4 = addr.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), out.begin());
  } else {
    const auto v6 = addr.to_v6().to_bytes();
    std::copy(v6.begin(), v6.begin() + 8, out.begin());
    out[15] = 6;  // never equal to an IPv4 source
  }
  return out;
}

// Token buckets per source in a table of fixed size: sources that hash alike share a bucket.
// The hash is keyed per process, so nobody can aim at another source's bucket. Bounded memory,
// O(1) per HELLO, nothing to evict.
class SourceRateLimiter {
 public:
  explicit SourceRateLimiter(std::uint32_t per_second)
      : rate_(per_second), burst_(2.0 * per_second), buckets_(per_second == 0 ? 0 : kBuckets) {
    crypto::random_bytes(std::span(reinterpret_cast<std::uint8_t*>(&seed_), sizeof seed_));
  }

  // Takes one token of `addr`'s bucket; false when it is empty. A rate of 0 means no limit.
  bool allow(const asio::ip::address& addr, Clock::time_point now) {
    if (rate_ == 0) return true;
    const auto src = source_of(addr);
    std::uint64_t h = seed_;
    for (std::size_t i = 0; i < src.size(); i += 8) {
      std::uint64_t w = 0;
      for (std::size_t j = 0; j < 8; ++j) w = (w << 8) | src[i + j];
      h = (h ^ w) * 0x9E3779B97F4A7C15ull;
      h ^= h >> 31;
    }
    std::lock_guard lock(mutex_);
    Bucket& b = buckets_[h % buckets_.size()];
    if (b.last == Clock::time_point{}) {
      b.tokens = burst_;
    } else if (now > b.last) {
      b.tokens = std::min(burst_, b.tokens + std::chrono::duration<double>(now - b.last).count() * rate_);
    }
    b.last = now;
    if (b.tokens < 1.0) return false;
    b.tokens -= 1.0;
    return true;
  }

 private:
  static constexpr std::size_t kBuckets = 4096;
  struct Bucket {
    double tokens = 0;
    Clock::time_point last{};
  };
  double rate_;
  double burst_;
  std::uint64_t seed_ = 0;
  std::mutex mutex_;
  std::vector<Bucket> buckets_;
};

std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

// One accepted TCP connection. Its reader, writer and watchdog run on its strand; other tasks
// only queue frames for it.
struct Link {
  Link(tcp::socket s, IoStrand st, util::CancellationToken t)
      : socket(std::move(s)), strand(std::move(st)), token(std::move(t)) {}

  // Queues `bytes` as one frame; false when the link is closing or its queue is full.
  bool enqueue(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > util::kMaxFrameSize) return false;
    if (queued_bytes.fetch_add(bytes.size()) + bytes.size() > kLinkQueueBytes) {
      queued_bytes.fetch_sub(bytes.size());
      return false;
    }
    if (!out.try_send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()))) {
      queued_bytes.fetch_sub(bytes.size());
      return false;
    }
    return true;
  }

  tcp::socket socket;
  IoStrand strand;
  util::CancellationToken token;  // ends both tasks of the link
  util::Channel<std::vector<std::uint8_t>> out{kLinkQueueFrames};
  std::atomic<std::size_t> queued_bytes{0};
  tcp::endpoint remote;
  // Set once a HELLO on this link was accepted.
  std::atomic<bool> greeted{false};
  // The watchdog closes the link when one of these passes (Clock ticks; 0: none).
  std::atomic<std::int64_t> read_deadline{0};
  std::atomic<std::int64_t> write_deadline{0};
};

// What the server knows of one node.
struct NodeRecord {
  std::optional<udp::endpoint> udp_addr;  // where its UDP HELLOs come from
  std::shared_ptr<Link> link;        // the TCP link its HELLOs came on, while open
  std::vector<Endpoint> candidates;  // announced in its last HELLO
  std::optional<crypto::SessionKey> key;
  bool armed = false;  // form of its last HELLO; what it is sent follows it
  Clock::time_point last_seen;
  std::uint64_t last_time = 0;  // time of the newest HELLO accepted; older ones are replays
  Pow pow;                      // the proof of work checked when it registered
  std::list<PubKey>::iterator lru;  // its place in Inner::lru
};

// Where and how to send to one node, copied out of its record.
struct Path {
  PubKey pk;
  std::optional<udp::endpoint> udp_addr;
  std::shared_ptr<Link> link;
  MessageKey key;  // set when the node arms
  std::vector<Endpoint> endpoints;  // observed UDP address first, then its candidates
};

}  // namespace

struct SuperPeerServer::Inner : std::enable_shared_from_this<SuperPeerServer::Inner> {
  Inner(util::Runtime& rt, SuperPeerOptions o)
      : runtime(rt),
        opts(std::move(o)),
        network_id(network_id_from_u32(opts.network_id)),
        udp_socket(rt.context()),
        udp_strand(asio::make_strand(rt.context())),
        acceptor(rt.context()),
        answer_udp(opts.answer_udp),
        hello_limiter(opts.hellos_per_second_per_source) {}

  ~Inner() { close_sockets(); }

  // Keeps count of the server's running tasks (and queued sends) so that stop() can wait for
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

  awaitable<void> udp_reader();
  awaitable<void> accept_loop();
  awaitable<void> link_reader(std::shared_ptr<Link> link);
  awaitable<void> link_writer(std::shared_ptr<Link> link);
  awaitable<void> link_watchdog(std::shared_ptr<Link> link);

  void on_packet(std::span<std::uint8_t> packet, const udp::endpoint* from_udp, const std::shared_ptr<Link>& from_link);
  void on_hello(const LongHeader& header, std::span<std::uint8_t> body, const udp::endpoint* from_udp,
                const std::shared_ptr<Link>& from_link);
  void relay(const LongHeader& header, std::span<const std::uint8_t> packet);
  void send_unite(const Path& to, const Path& about);
  // Sends to the node's path and counts it in `counter` (null: relayed_tcp or relayed_udp).
  bool send(const Path& path, std::span<const std::uint8_t> bytes, std::uint64_t SuperPeerStats::*counter);
  bool send_udp(const udp::endpoint& to, std::span<const std::uint8_t> bytes);
  void forget_link(const std::shared_ptr<Link>& link);
  std::optional<crypto::SessionKey> session_key_for(const PubKey& pk);
  Path path_of(const PubKey& pk, const NodeRecord& record) const;

  // Drops a HELLO (counted in `dropped` and `hellos_refused`).
  template <class... Args>
  void refuse(fmt::format_string<Args...> format, Args&&... args) {
    if (log::enabled(spdlog::level::debug)) log::debug("{}", fmt::format(format, std::forward<Args>(args)...));
    std::lock_guard lock(mutex);
    ++counters.dropped;
    ++counters.hellos_refused;
    changed.notify_all();
  }
  template <class... Args>
  void drop(fmt::format_string<Args...> format, Args&&... args) {
    if (log::enabled(spdlog::level::debug)) log::debug("{}", fmt::format(format, std::forward<Args>(args)...));
    bump(&SuperPeerStats::dropped);
  }
  void bump(std::uint64_t SuperPeerStats::*counter) {
    std::lock_guard lock(mutex);
    ++(counters.*counter);
    changed.notify_all();
  }
  void unbump(std::uint64_t SuperPeerStats::*counter) {
    std::lock_guard lock(mutex);
    --(counters.*counter);
    changed.notify_all();
  }

  util::Runtime& runtime;
  const SuperPeerOptions opts;
  const NetworkId network_id;
  crypto::X25519Key x_pk{};
  crypto::X25519Key x_sk{};
  std::optional<SuperPeerUrl> url;

  // The UDP socket is used on `udp_strand` only; other tasks post their sends there.
  udp::socket udp_socket;
  IoStrand udp_strand;
  tcp::acceptor acceptor;
  udp::endpoint udp_local;
  tcp::endpoint tcp_local;
  util::CancellationToken token;
  std::atomic<bool> answer_udp;
  SourceRateLimiter hello_limiter;
  std::atomic<std::size_t> pending_udp_sends{0};
  std::atomic<bool> stopping{false};
  std::once_flag closed_once;

  // Node records, UNITE times and stats; never held across a co_await or a send.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::unordered_map<PubKey, NodeRecord> nodes;
  std::list<PubKey> lru;  // every key of `nodes`, most recently heard first
  std::map<std::array<std::uint8_t, 16>, std::size_t> links_per_source;  // at most max_tcp_links entries
  std::unordered_map<PairKey, Clock::time_point, PairKeyHash> unites;
  std::size_t link_count = 0;
  SuperPeerStats counters;

  std::mutex tasks_mutex;
  std::condition_variable tasks_done;
  std::size_t live_tasks = 0;
};

using Inner = SuperPeerServer::Inner;

// --- start and stop ---------------------------------------------------------------------

std::expected<void, std::string> Inner::bind() {
  boost::system::error_code ec;
  const auto addr = opts.listen_address;
  const bool shared_port = !opts.tcp_port.has_value();
  const int attempts = shared_port && opts.udp_port == 0 ? kSharedPortAttempts : 1;
  std::string failure;
  for (int i = 0; i < attempts; ++i) {
    udp_socket.close(ec);
    acceptor.close(ec);
    const udp::endpoint udp_want(addr, opts.udp_port);
    if (udp_socket.open(udp_want.protocol(), ec); ec) return std::unexpected(fmt::format("open UDP socket: {}", ec.message()));
    if (udp_socket.bind(udp_want, ec); ec) {
      return std::unexpected(fmt::format("bind UDP {}: {}", text(udp_want), ec.message()));
    }
    udp_local = udp_socket.local_endpoint(ec);
    if (ec) return std::unexpected(fmt::format("UDP local address: {}", ec.message()));
    // Bursts at full speed must not overflow the default buffers within milliseconds.
    util::size_socket_buffers(udp_socket.native_handle(), kSocketBufferBytes);
    // Sends never wait: a full socket buffer drops the datagram, as the network may.
    udp_socket.non_blocking(true, ec);

    const tcp::endpoint tcp_want(addr, shared_port ? udp_local.port() : *opts.tcp_port);
    if (acceptor.open(tcp_want.protocol(), ec); ec) {
      return std::unexpected(fmt::format("open TCP listener: {}", ec.message()));
    }
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor.bind(tcp_want, ec);
    if (ec) {
      failure = fmt::format("bind TCP {}: {}", text(tcp_want), ec.message());
      continue;  // another port pair, when the system chose the UDP one
    }
    if (acceptor.listen(asio::socket_base::max_listen_connections, ec); ec) {
      return std::unexpected(fmt::format("listen on TCP {}: {}", text(tcp_want), ec.message()));
    }
    tcp_local = acceptor.local_endpoint(ec);
    if (ec) return std::unexpected(fmt::format("TCP local address: {}", ec.message()));
    return {};
  }
  udp_socket.close(ec);
  acceptor.close(ec);
  return std::unexpected(failure);
}

void Inner::close_sockets() {
  std::call_once(closed_once, [this] {
    boost::system::error_code ec;
    udp_socket.close(ec);
    acceptor.close(ec);
  });
}

void Inner::stop() {
  if (!stopping.exchange(true)) token.cancel();
  if (runtime.running_in_this_thread()) return;  // waiting here could hold up the tasks it waits for
  {
    std::unique_lock lock(tasks_mutex);
    tasks_done.wait(lock, [&] { return live_tasks == 0; });
  }
  // No task is left to use the sockets.
  close_sockets();
  std::unordered_map<PubKey, NodeRecord> dropped;
  {
    std::lock_guard lock(mutex);
    dropped.swap(nodes);
    lru.clear();
    unites.clear();
    changed.notify_all();
  }
}

std::expected<std::unique_ptr<SuperPeerServer>, std::string> SuperPeerServer::start(util::Runtime& runtime,
                                                                                    SuperPeerOptions options) {
  auto inner = std::make_shared<Inner>(runtime, std::move(options));
  auto x_sk = crypto::convert_ed25519_sk_to_curve25519_sk(inner->opts.identity.sk());
  auto x_pk = crypto::convert_ed25519_pk_to_curve25519_pk(inner->opts.identity.pk());
  if (!x_sk || !x_pk) return std::unexpected(std::string("the identity has no X25519 form"));
  inner->x_sk = *x_sk;
  inner->x_pk = *x_pk;

  if (auto bound = inner->bind(); !bound) return std::unexpected(bound.error());

  auto host = inner->udp_local.address();
  if (host.is_unspecified()) {
    host = host.is_v4() ? asio::ip::address(asio::ip::address_v4::loopback())
                        : asio::ip::address(asio::ip::address_v6::loopback());
  }
  const auto host_text = host.is_v6() ? "[" + host.to_string() + "]" : host.to_string();
  const auto url_string = fmt::format("udp://{}:{}?publicKey={}&networkId={}", host_text, inner->udp_local.port(),
                                inner->opts.identity.pk().to_string(), inner->opts.network_id);
  auto url = SuperPeerUrl::parse(url_string);
  if (!url) return std::unexpected(fmt::format("the listen address makes no super peer address: {}", url.error().message()));
  inner->url = *url;

  if (!inner->opts.arm_messages) {
    log::warn("Super peer serves unarmed HELLOs: nothing is authenticated, and anyone can take over any node's "
              "relayed traffic");
  }
  inner->spawn(inner->udp_strand, inner->udp_reader());
  inner->spawn(asio::make_strand(runtime.context()), inner->accept_loop());
  log::info("Super peer {} listening on udp://{} and tcp://{}", inner->opts.identity.pk().to_string(),
            text(inner->udp_local), text(inner->tcp_local));
  return std::unique_ptr<SuperPeerServer>(new SuperPeerServer(std::move(inner)));
}

SuperPeerServer::~SuperPeerServer() { stop(); }

void SuperPeerServer::stop() { inner_->stop(); }

udp::endpoint SuperPeerServer::udp_endpoint() const noexcept { return inner_->udp_local; }
tcp::endpoint SuperPeerServer::tcp_endpoint() const noexcept { return inner_->tcp_local; }
const PubKey& SuperPeerServer::public_key() const noexcept { return inner_->opts.identity.pk(); }
SuperPeerUrl SuperPeerServer::url() const { return *inner_->url; }

std::size_t SuperPeerServer::known_nodes() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->nodes.size();
}

SuperPeerStats SuperPeerServer::stats() const {
  std::lock_guard lock(inner_->mutex);
  SuperPeerStats s = inner_->counters;
  s.known_nodes = inner_->nodes.size();
  s.tcp_links = inner_->link_count;
  return s;
}

bool SuperPeerServer::wait_for(const std::function<bool(const SuperPeerStats&)>& pred,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(inner_->mutex);
  return inner_->changed.wait_for(lock, timeout, [&] {
    SuperPeerStats s = inner_->counters;
    s.known_nodes = inner_->nodes.size();
    s.tcp_links = inner_->link_count;
    return pred(s);
  });
}

void SuperPeerServer::set_answer_udp(bool answer) { inner_->answer_udp.store(answer); }

// --- UDP ----------------------------------------------------------------------------------

awaitable<void> Inner::udp_reader() {
  // The datagrams waiting are read with one system call; the batch's buffers are allocated
  // once, here, and left uninitialised beyond what datagrams fill.
  util::RecvBatch batch(kReadBatch, kUdpBufferSize);
  // The server's cancellation reaches the pending wait through a cancellation signal emitted on
  // this task's strand: no race per datagram.
  auto signal = std::make_shared<asio::cancellation_signal>();
  spawn(udp_strand, [](util::CancellationToken t, std::shared_ptr<asio::cancellation_signal> sig) -> awaitable<void> {
    co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
    sig->emit(asio::cancellation_type::terminal);
  }(token, signal));
  const int fd = udp_socket.native_handle();
  // A socket that never empties is read without suspending; other tasks on the strand's
  // threads get their turn every so many batches.
  util::YieldEvery turn(kBatchesPerTurn);
  while (!token.is_cancelled()) {
    const int n = batch.receive(fd);
    if (n == 0) {
      auto [ec] = co_await udp_socket.async_wait(
          udp::socket::wait_read, asio::bind_cancellation_slot(signal->slot(), asio::as_tuple(asio::use_awaitable)));
      if (ec) {
        if (is_aborted(ec) || ec == asio::error::bad_descriptor) break;
        log::debug("Super peer: waiting for datagrams failed: {}", ec.message());
      }
      continue;
    }
    if (n < 0) {
      const boost::system::error_code ec(errno, boost::system::system_category());
      if (ec == asio::error::bad_descriptor) break;
      log::debug("Super peer: receiving a datagram failed: {}", ec.message());
      continue;
    }
    for (int i = 0; i < n; ++i) {
      const auto& from = batch.source(static_cast<std::size_t>(i));
      if (!answer_udp.load(std::memory_order_relaxed)) {
        drop("Super peer: UDP is switched off, dropping a datagram from {}", text(from));
        continue;
      }
      on_packet(batch.datagram(static_cast<std::size_t>(i)), &from, nullptr);
    }
    if (turn.tick()) co_await util::yield_now();
  }
  signal->slot().clear();
}

bool Inner::send_udp(const udp::endpoint& to, std::span<const std::uint8_t> bytes) {
  if (!answer_udp.load(std::memory_order_relaxed)) return false;
  if (udp_strand.running_in_this_thread()) {
    boost::system::error_code ec;
    udp_socket.send_to(asio::buffer(bytes.data(), bytes.size()), to, 0, ec);
    if (ec) {
      log::debug("Super peer: sending to udp://{} failed: {}", text(to), ec.message());
      return false;
    }
    return true;
  }
  if (pending_udp_sends.fetch_add(1) >= kMaxPendingUdpSends) {
    pending_udp_sends.fetch_sub(1);
    log::debug("Super peer: too many UDP sends waiting, dropping one to udp://{}", text(to));
    return false;
  }
  asio::post(udp_strand, [ticket = Ticket(shared_from_this()), to,
                          data = std::vector<std::uint8_t>(bytes.begin(), bytes.end())]() {
    auto& self = ticket.inner();
    self.pending_udp_sends.fetch_sub(1);
    boost::system::error_code ec;
    self.udp_socket.send_to(asio::buffer(data), to, 0, ec);
    if (ec) log::debug("Super peer: sending to udp://{} failed: {}", text(to), ec.message());
  });
  return true;
}

// --- TCP ----------------------------------------------------------------------------------

awaitable<void> Inner::accept_loop() {
  for (;;) {
    auto r = co_await (acceptor.async_accept(asio::as_tuple(asio::use_awaitable)) || token.cancelled());
    if (r.index() == 1) break;
    auto [ec, socket] = std::get<0>(std::move(r));
    if (ec) {
      if (is_aborted(ec) || ec == asio::error::bad_descriptor) break;
      log::warn("Super peer: accepting a TCP connection failed: {}", ec.message());
      asio::steady_timer pause(co_await asio::this_coro::executor, kAcceptRetryDelay);
      auto p = co_await (pause.async_wait(asio::as_tuple(asio::use_awaitable)) || token.cancelled());
      if (p.index() == 1) break;
      continue;
    }
    boost::system::error_code ignored;
    const auto remote = socket.remote_endpoint(ignored);
    const auto source = source_of(remote.address());
    {
      std::lock_guard lock(mutex);
      const char* full = nullptr;
      if (link_count >= opts.max_tcp_links) {
        full = "links are open";
      } else if (auto it = links_per_source.find(source);
                 it != links_per_source.end() && it->second >= std::max<std::size_t>(opts.max_tcp_links_per_source, 1)) {
        full = "links are open from its source";
      }
      if (full != nullptr) {
        ++counters.dropped;
        changed.notify_all();
        log::debug("Super peer: refusing a TCP connection from {}: too many {}", text(remote), full);
        socket.close(ignored);
        continue;
      }
      ++link_count;
      ++links_per_source[source];
      changed.notify_all();
    }
    socket.set_option(tcp::no_delay(true), ignored);
    auto link = std::make_shared<Link>(std::move(socket), asio::make_strand(runtime.context()), token.child_token());
    link->remote = remote;
    link->read_deadline = ticks(Clock::now() + opts.tcp_first_hello_timeout);
    log::debug("Super peer: TCP link from {}", text(remote));
    spawn(link->strand, link_reader(link));
    spawn(link->strand, link_writer(link));
    spawn(link->strand, link_watchdog(link));
  }
}

awaitable<void> Inner::link_reader(std::shared_ptr<Link> link) {
  // The watchdog closes the socket when a time limit passes or the link is cancelled, which
  // ends a pending read: no race per frame.
  const auto first_hello_by = link->read_deadline.load();
  std::vector<std::uint8_t> frame;  // grows to the largest frame the link brought
  std::array<std::uint8_t, util::kFrameHeaderSize> header{};
  boost::system::error_code ec;
  for (;;) {
    auto [hec, hn] = co_await asio::async_read(link->socket, asio::buffer(header), asio::as_tuple(asio::use_awaitable));
    if (hec) {
      ec = hec == asio::error::eof && hn > 0 ? util::make_error_code(util::FrameErrc::truncated) : hec;
      break;
    }
    // A frame once begun must complete in time (and within the first-HELLO limit while ungreeted).
    auto by = ticks(Clock::now() + opts.tcp_frame_timeout);
    if (!link->greeted.load()) by = std::min(by, first_hello_by);
    link->read_deadline = by;
    frame.resize(util::frame_length(header));
    if (!frame.empty()) {
      auto [bec, bn] = co_await asio::async_read(link->socket, asio::buffer(frame), asio::as_tuple(asio::use_awaitable));
      (void)bn;
      if (bec) {
        ec = bec == asio::error::eof ? util::make_error_code(util::FrameErrc::truncated) : bec;
        break;
      }
    }
    if (link->token.is_cancelled()) break;
    on_packet(frame, nullptr, link);
    link->read_deadline = link->greeted.load() ? ticks(Clock::now() + opts.tcp_idle_timeout) : first_hello_by;
  }
  if (ec == asio::error::eof) {
    log::debug("Super peer: TCP link from {} closed", text(link->remote));
  } else if (ec && !is_aborted(ec)) {
    log::debug("Super peer: reading from TCP link {} failed: {}", text(link->remote), ec.message());
  }
  // Closing here, on the link's strand, also ends a write the writer has in progress.
  link->token.cancel();
  link->out.close();
  boost::system::error_code ignored;
  link->socket.shutdown(tcp::socket::shutdown_both, ignored);
  link->socket.close(ignored);
  forget_link(link);
}

awaitable<void> Inner::link_writer(std::shared_ptr<Link> link) {
  for (;;) {
    // No race with the token per frame: a cancelled link has its socket closed by the
    // watchdog, which ends the reader, which closes this queue.
    auto next = co_await link->out.receive();
    if (!next || link->token.is_cancelled()) break;
    const auto bytes = std::move(*next);
    link->write_deadline = ticks(Clock::now() + opts.tcp_write_timeout);
    const auto ec = co_await util::write_frame(link->socket, bytes);
    link->write_deadline = 0;
    link->queued_bytes.fetch_sub(bytes.size());
    if (ec) {
      if (!is_aborted(ec)) log::debug("Super peer: writing to TCP link {} failed: {}", text(link->remote), ec.message());
      break;
    }
  }
  link->token.cancel();  // the watchdog closes the socket, which ends the reader
}

awaitable<void> Inner::link_watchdog(std::shared_ptr<Link> link) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  bool timed_out = false;
  for (;;) {
    const auto now = Clock::now();
    const std::int64_t read_by = link->read_deadline.load();
    const std::int64_t write_by = link->write_deadline.load();
    if ((read_by != 0 && ticks(now) >= read_by) || (write_by != 0 && ticks(now) >= write_by)) {
      timed_out = true;
      break;
    }
    std::int64_t next = read_by;
    if (write_by != 0 && (next == 0 || write_by < next)) next = write_by;
    // Deadlines move later as frames arrive; the timer wakes at the old one and looks again. A
    // write deadline set meanwhile is seen within one more write limit.
    auto wake = now + opts.tcp_write_timeout;
    if (next != 0) wake = std::min(wake, Clock::time_point(Clock::duration(next)));
    timer.expires_at(wake);
    auto r = co_await (timer.async_wait(asio::as_tuple(asio::use_awaitable)) || link->token.cancelled());
    if (r.index() == 1) break;
  }
  if (timed_out) {
    const char* why = link->write_deadline.load() != 0 ? "a frame could not be written in time"
                      : link->greeted.load()            ? "no complete frame in time"
                                                        : "no HELLO in time";
    log::debug("Super peer: closing TCP link {}: {}", text(link->remote), why);
    bump(&SuperPeerStats::links_timed_out);
  }
  link->token.cancel();
  boost::system::error_code ignored;
  link->socket.close(ignored);
}

void Inner::forget_link(const std::shared_ptr<Link>& link) {
  std::vector<std::shared_ptr<Link>> released;  // destroyed after the lock
  std::lock_guard lock(mutex);
  --link_count;
  if (auto it = links_per_source.find(source_of(link->remote.address())); it != links_per_source.end()) {
    if (--it->second == 0) links_per_source.erase(it);
  }
  for (auto it = nodes.begin(); it != nodes.end();) {
    auto& record = it->second;
    if (record.link == link) {
      released.push_back(std::move(record.link));
      record.link.reset();
      if (!record.udp_addr) {
        lru.erase(record.lru);
        it = nodes.erase(it);
        continue;
      }
    }
    ++it;
  }
  changed.notify_all();
}

// --- packets ------------------------------------------------------------------------------

void Inner::on_packet(std::span<std::uint8_t> packet, const udp::endpoint* from_udp,
                      const std::shared_ptr<Link>& from_link) {
  auto header = LongHeader::parse(packet);
  if (!header) {
    // Short headers land here too: they are meant for a node, never for a super peer.
    drop("Super peer: dropping a packet of {} bytes: {}", packet.size(), header.error().message());
    return;
  }
  if (packet.size() > kMaxMessageSize) {
    drop("Super peer: dropping a packet of {} bytes: too long", packet.size());
    return;
  }
  if (header->network_id() != network_id) {
    const auto id = header->network_id();
    drop("Super peer: dropping a packet for network {:02x}{:02x}{:02x}{:02x}", id[0], id[1], id[2], id[3]);
    return;
  }
  const PubKey sender = header->sender();
  if (sender == opts.identity.pk()) {
    drop("Super peer: dropping a packet that claims to come from this super peer");
    return;
  }
  if (header->recipient() == opts.identity.pk()) {
    if (header->type() == MessageType::Hello) {
      on_hello(*header, packet.subspan(LongHeader::kSize), from_udp, from_link);
    } else {
      drop("Super peer: ignoring a {} message addressed to it from {}", message_type_name(header->type_byte()),
           sender.to_string());
    }
    return;
  }
  relay(*header, packet);
}

std::optional<crypto::SessionKey> Inner::session_key_for(const PubKey& pk) {
  {
    std::lock_guard lock(mutex);
    auto it = nodes.find(pk);
    if (it != nodes.end() && it->second.key) return it->second.key;
  }
  auto peer = crypto::convert_ed25519_pk_to_curve25519_pk(pk);
  if (!peer) return std::nullopt;
  auto key = crypto::compute_kx_session_keys(x_pk, x_sk, *peer);
  if (!key) return std::nullopt;
  return *key;
}

void Inner::on_hello(const LongHeader& header, std::span<std::uint8_t> body, const udp::endpoint* from_udp,
                     const std::shared_ptr<Link>& from_link) {
  const PubKey sender = header.sender();
  // One form only: on an armed super peer an unarmed HELLO, which anybody can write, never
  // reaches a record.
  if (opts.arm_messages != header.armed()) {
    refuse("Super peer: refusing an {} HELLO from {}", header.armed() ? "armed" : "unarmed", sender.to_string());
    return;
  }
  // Cheapest checks first: the source's rate, then the proof of work (known for a registered
  // key), and only then key exchange and decryption.
  const auto source = from_udp ? from_udp->address() : from_link->remote.address();
  if (!hello_limiter.allow(source, Clock::now())) {
    refuse("Super peer: too many HELLOs from {}", source.to_string());
    return;
  }
  std::optional<crypto::SessionKey> known_key;
  bool pow_known = false;
  {
    std::lock_guard lock(mutex);
    if (auto it = nodes.find(sender); it != nodes.end()) {
      known_key = it->second.key;
      pow_known = it->second.pow == header.pow();
    }
  }
  if (!pow_known && !header.pow().is_valid(sender, opts.min_pow_difficulty)) {
    refuse("Super peer: refusing a HELLO from {}: proof of work below {}", sender.to_string(),
           opts.min_pow_difficulty);
    return;
  }
  MessageKey key;
  if (header.armed()) {
    key = known_key ? known_key : session_key_for(sender);
    if (!key) {
      refuse("Super peer: no session key with {}", sender.to_string());
      return;
    }
  }
  auto hello = HelloSuperPeerMessage::parse(body, header, key);
  if (!hello) {
    refuse("Super peer: dropping a HELLO from {}: {}", sender.to_string(), hello.error().message());
    return;
  }
  // A HELLO is only good within the allowed age either way: an old one is a replay, and one from
  // the future would lock the node's own HELLOs out until its time came.
  const std::uint64_t now_us = util::now_us();
  const std::uint64_t max_age_us = static_cast<std::uint64_t>(opts.hello_max_age.count()) * 1000;
  const std::uint64_t time = hello->time();
  if ((time < now_us && now_us - time > max_age_us) || (time > now_us && time - now_us > max_age_us)) {
    refuse("Super peer: refusing a HELLO from {}: its time {} is outside the allowed age", sender.to_string(), time);
    return;
  }
  std::vector<Endpoint> candidates;
  for (const auto& raw : hello->endpoints()) {
    const auto ep = plain_endpoint(raw);
    if (usable(ep) && std::find(candidates.begin(), candidates.end(), ep) == candidates.end()) {
      candidates.push_back(ep);
    }
  }

  auto ack = AckMessage::build(network_id, opts.identity.pk(), opts.identity.pow(), key, sender, time);
  if (!ack) {
    drop("Super peer: building an ACK for {} failed: {}", sender.to_string(), ack.error().message());
    return;
  }

  enum class Outcome { Accepted, Older, Full };
  Outcome outcome = Outcome::Accepted;
  std::shared_ptr<Link> replaced;  // destroyed after the lock
  {
    std::lock_guard lock(mutex);
    const auto seen = Clock::now();
    auto it = nodes.find(sender);
    const bool fresh = it == nodes.end();
    if (fresh) {
      if (nodes.size() >= std::max<std::size_t>(opts.max_nodes, 1)) {
        // Room is made only by forgetting the least recently heard node, and only when it has
        // gone quiet: a flood of newcomers cannot push out nodes that are still there.
        auto oldest = nodes.find(lru.back());
        if (seen - oldest->second.last_seen >= opts.node_idle_timeout) {
          log::debug("Super peer: forgetting node {} to make room", oldest->first.to_string());
          replaced = std::move(oldest->second.link);
          lru.pop_back();
          nodes.erase(oldest);
        } else {
          outcome = Outcome::Full;
        }
      }
      if (outcome == Outcome::Accepted) {
        it = nodes.emplace(sender, NodeRecord{}).first;
        lru.push_front(sender);
        it->second.lru = lru.begin();
        it->second.last_time = time;
      }
    }
    if (outcome == Outcome::Accepted) {
      auto& record = it->second;
      if (time < record.last_time) {
        outcome = Outcome::Older;
      } else {
        // A newer HELLO moves the node to where it came from. One with the same time is the same
        // HELLO on another of the node's paths (or a copy of it): it is answered, but only fills
        // a path the record lacks, so a copy sent from elsewhere cannot take a path over.
        const bool newer = fresh || time > record.last_time;
        if (from_udp && (newer || !record.udp_addr)) record.udp_addr = *from_udp;
        if (from_link && record.link != from_link && (newer || !record.link || record.link->token.is_cancelled())) {
          replaced = std::exchange(record.link, from_link);
        }
        if (newer) record.candidates = std::move(candidates);
        record.last_time = time;
        record.armed = header.armed();
        record.pow = header.pow();
        if (key) record.key = key;
        record.last_seen = seen;
        lru.splice(lru.begin(), lru, record.lru);
        if (from_link) from_link->greeted = true;
        changed.notify_all();
      }
    }
  }
  if (outcome == Outcome::Older) {
    refuse("Super peer: refusing a HELLO from {}: older than the last one accepted", sender.to_string());
    return;
  }
  if (outcome == Outcome::Full) {
    refuse("Super peer: refusing node {}: {} nodes are known and all were heard from lately", sender.to_string(),
           opts.max_nodes);
    return;
  }

  bump(&SuperPeerStats::hellos_answered);  // before the ACK can arrive
  const bool sent = from_udp ? send_udp(*from_udp, *ack) : from_link->enqueue(*ack);
  if (sent) {
    log::trace("Super peer: answered HELLO from {}", sender.to_string());
  } else {
    unbump(&SuperPeerStats::hellos_answered);
    drop("Super peer: could not answer the HELLO from {}", sender.to_string());
  }
}

Path Inner::path_of(const PubKey& pk, const NodeRecord& record) const {
  Path p{pk, record.udp_addr, record.link, record.armed ? record.key : std::nullopt, {}};
  if (record.udp_addr) p.endpoints.push_back(plain_endpoint(*record.udp_addr));
  for (const auto& ep : record.candidates) {
    if (p.endpoints.size() >= kMaxEndpoints) break;
    if (std::find(p.endpoints.begin(), p.endpoints.end(), ep) == p.endpoints.end()) p.endpoints.push_back(ep);
  }
  return p;
}

void Inner::relay(const LongHeader& header, std::span<const std::uint8_t> packet) {
  const PubKey recipient = header.recipient();
  const PubKey sender = header.sender();
  std::optional<Path> to;
  std::optional<Path> from;  // set when the two are to be introduced
  {
    std::lock_guard lock(mutex);
    auto r = nodes.find(recipient);
    if (r != nodes.end()) {
      to = path_of(recipient, r->second);
      auto s = nodes.find(sender);
      if (opts.send_unites && s != nodes.end() && sender != recipient) {
        const PairKey pair = sender < recipient ? PairKey{sender, recipient} : PairKey{recipient, sender};
        const auto now = Clock::now();
        auto [u, inserted] = unites.try_emplace(pair, now);
        if (inserted || now - u->second >= opts.unite_interval) {
          u->second = now;
          from = path_of(sender, s->second);
        }
        // Pairs of nodes long forgotten must not pile up.
        const std::size_t cap = 4 * std::max<std::size_t>(opts.max_nodes, 1);
        if (unites.size() > cap) {
          std::erase_if(unites, [&](const auto& e) { return now - e.second >= opts.unite_interval; });
          if (unites.size() > cap) unites.clear();
        }
      }
    }
  }
  if (!to) {
    drop("Super peer: dropping a {} message for unknown node {}", message_type_name(header.type_byte()),
         recipient.to_string());
    return;
  }
  if (!send(*to, packet, nullptr)) {
    drop("Super peer: could not relay a {} message to {}", message_type_name(header.type_byte()),
         recipient.to_string());
  }
  if (from) {
    send_unite(*to, *from);
    send_unite(*from, *to);
  }
}

void Inner::send_unite(const Path& to, const Path& about) {
  auto unite =
      UniteMessage::build(network_id, opts.identity.pk(), opts.identity.pow(), to.key, to.pk, about.pk, about.endpoints);
  if (!unite) {
    log::debug("Super peer: building a UNITE for {} failed: {}", to.pk.to_string(), unite.error().message());
    return;
  }
  if (send(to, *unite, &SuperPeerStats::unites_sent)) {
    log::trace("Super peer: sent UNITE to {} about {}", to.pk.to_string(), about.pk.to_string());
  } else {
    log::debug("Super peer: could not send a UNITE to {}", to.pk.to_string());
  }
}

bool Inner::send(const Path& path, std::span<const std::uint8_t> bytes, std::uint64_t SuperPeerStats::*counter) {
  const bool tcp = path.link != nullptr;
  if (!tcp && !path.udp_addr) return false;
  if (counter == nullptr) counter = tcp ? &SuperPeerStats::relayed_tcp : &SuperPeerStats::relayed_udp;
  // Counted first: whoever receives the message then also sees it counted.
  bump(counter);
  const bool sent = tcp ? path.link->enqueue(bytes) : send_udp(*path.udp_addr, bytes);
  if (!sent) unbump(counter);
  return sent;
}

}  // namespace velarix::p2p
