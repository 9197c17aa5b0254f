// Attacks on a running node from loopback: hostile or dead super-peer TCP links,
// garbage relayed onto its link, replays, floods of introduced keys, short-id
// collisions and reflection through UNITEs. The test plays the attacker (and,
// where needed, the super peer) with raw sockets.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log_capture.h"
#include "message/short_header.h"
#include "node/node.h"
#include "junk_flood.h"
#include "node_test_support.h"
#include "raw_peer.h"
#include "superpeer/super_peer_server.h"

namespace velarix::test {
namespace {

using namespace std::chrono_literals;
namespace ip = boost::asio::ip;
using raw::Bytes;

constexpr std::uint32_t kNetwork = 0x0A77AC;

// A super peer played by the test: a TCP listener and a UDP socket on one port.
struct FakeSuperPeer {
  FakeSuperPeer() {
    for (;;) {
      acceptor = ip::tcp::acceptor(io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0));
      boost::system::error_code ec;
      udp = ip::udp::socket(io);
      udp.open(ip::udp::v4());
      udp.bind(ip::udp::endpoint(ip::make_address("127.0.0.1"), acceptor.local_endpoint().port()), ec);
      if (!ec) break;
    }
  }
  std::string addr() const { return "127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()); }
  SuperPeerUrl url() const { return super_peer_url(id.pk(), addr(), kNetwork); }
  // The next connection, or none before the deadline.
  std::optional<ip::tcp::socket> accept(std::chrono::milliseconds deadline = 10s) {
    if (!raw::readable(acceptor.native_handle(), deadline)) return std::nullopt;
    return acceptor.accept();
  }

  boost::asio::io_context io;
  ip::tcp::acceptor acceptor{io};
  ip::udp::socket udp{io};
  Identity id = make_identity();
};

Bytes read_frame(ip::tcp::socket& s) {
  std::array<std::uint8_t, 2> len{};
  boost::asio::read(s, boost::asio::buffer(len));
  Bytes frame((len[0] << 8) | len[1]);
  boost::asio::read(s, boost::asio::buffer(frame));
  return frame;
}

std::shared_ptr<Node> bind_node(util::Runtime& rt, const Identity& id, std::vector<SuperPeerUrl> sps,
                                std::shared_ptr<RecordingSink> sink, const std::function<void(NodeOpts&)>& tweak = {}) {
  auto opts = loopback_opts(id, std::move(sps), true, std::move(sink));
  if (tweak) tweak(opts);
  auto node = util::block_on(rt, Node::bind(std::move(opts)));
  if (!node) throw std::runtime_error(node.error().message());
  return *node;
}

// A super peer that stops reading its link must not freeze the node: sends return at once,
// and the stuck link is closed and replaced.
TEST(NodeAttack, SuperPeerThatStopsReadingDoesNotFreezeTheNode) {
  util::Runtime rt{3};
  FakeSuperPeer sp;
  auto node = bind_node(rt, make_identity(), {sp.url()}, std::make_shared<RecordingSink>(), [](NodeOpts& o) {
    o.enforce_tcp = true;
  });
  auto link = sp.accept();
  ASSERT_TRUE(link);
  link->set_option(boost::asio::socket_base::receive_buffer_size(4096));
  (void)read_frame(*link);  // the greeting; nothing is read after it

  const Identity peer = make_identity();
  auto handle = node->send_handle(peer.pk());
  ASSERT_TRUE(handle);
  ASSERT_TRUE(raw::eventually([&] { return (*handle)->state()->relay_tcp != nullptr; }));
  // Far more than the socket buffers hold; every send must come back at once.
  auto sends = std::async(std::launch::async, [&] {
    const Bytes payload(1000, 7);
    for (int i = 0; i < 20'000; ++i) (void)util::block_on(rt, (*handle)->send(payload));
  });
  ASSERT_EQ(sends.wait_for(20s), std::future_status::ready) << "sending hangs on the stuck link";
  // The stuck link is closed and another one opened.
  auto next = sp.accept(15s);
  ASSERT_TRUE(next) << "the stuck link was never replaced";
}

// A link to the super peer that fails (closed by the super peer) or stops draining (the super
// peer stopped reading) loses what is queued on it. The send handle is told, sends over the
// super peer's UDP path instead, and the failures cost a bounded number of log lines.
TEST(NodeAttack, FailedOrStuckLinkFallsBackToUdpRelay) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  for (const bool stuck : {false, true}) {
    SCOPED_TRACE(stuck ? "stuck link" : "closed link");
    util::Runtime rt{3};
    FakeSuperPeer sp;
    logs.clear();
    auto node = bind_node(rt, make_identity(), {sp.url()}, std::make_shared<RecordingSink>(), [](NodeOpts& o) {
      o.enforce_tcp = true;
      o.housekeeping_interval = 60'000;  // one pass, at once: the handle keeps the failed link
    });
    auto link = sp.accept();
    ASSERT_TRUE(link);
    link->set_option(boost::asio::socket_base::receive_buffer_size(4096));
    (void)read_frame(*link);  // the greeting
    auto super_peer = node->peers_list().super_peer(sp.id.pk());
    ASSERT_TRUE(raw::eventually([&] {
      auto c = super_peer->tcp_connection();
      return c && c->writer();
    }));
    // The pass ends by renewing every send handle's state; one that ended after the link
    // failed would leave the handle without it, and nothing would be tried on the link.
    ASSERT_TRUE(raw::eventually([&] { return logs.count("Finished housekeeping") > 0; }));
    const auto conn = super_peer->tcp_connection();
    const Identity peer = make_identity();
    auto handle = node->send_handle(peer.pk());
    ASSERT_TRUE(handle);
    ASSERT_TRUE((*handle)->state()->relay_tcp);
    ASSERT_FALSE((*handle)->state()->relay_udp_paths.empty());

    // What reaches the super peer's UDP socket, counted as it comes.
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> over_udp{0};
    std::thread counter([&] {
      std::array<std::uint8_t, 2048> buf;
      while (!stop) {
        if (!raw::readable(sp.udp.native_handle(), 20ms)) continue;
        boost::system::error_code ec;
        const auto n = sp.udp.receive(boost::asio::buffer(buf), 0, ec);
        if (!ec && raw::type_of(Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n))) == 1) ++over_udp;
      }
    });
    if (!stuck) {
      link->close();
      ASSERT_TRUE(raw::eventually([&] { return conn->is_cancelled(); }));
    }
    logs.clear();
    const auto logged_from = std::chrono::steady_clock::now();
    const Bytes payload(1000, 7);
    const int sends = stuck ? 20'000 : 200;
    int failed = 0;
    for (int i = 0; i < sends; ++i) failed += util::block_on(rt, (*handle)->send(payload)) ? 0 : 1;
    EXPECT_TRUE(raw::eventually([&] { return over_udp.load() > 0; })) << "nothing went over the UDP path";
    if (!stuck) {
      // Loopback loses none of these few.
      EXPECT_TRUE(raw::eventually([&] { return over_udp.load() == static_cast<std::size_t>(sends); }))
          << over_udp.load() << " of " << sends << " payloads reached the super peer";
    }
    EXPECT_EQ(failed, 0);
    stop = true;
    counter.join();
    // Ten lines per 10 s window of the limiter (and one to spare); a slow run (under the
    // sanitizers) spans more than one window.
    const auto logged_for = std::chrono::steady_clock::now() - logged_from;
    const std::size_t windows = static_cast<std::size_t>(logged_for / 10s) + 1;
    EXPECT_LE(logs.count("Failed to send message to super peer via TCP") + logs.count("is not draining"),
              10u * windows + 1u);
    EXPECT_GT(node->inner()->suppressed_send_log_lines(), 0u);
  }
}

// A super peer that accepts the link but never answers its HELLOs: the link is closed and a
// new one opened, instead of black-holing the node until the system gives up.
TEST(NodeAttack, LinkWithoutAcksIsReplaced) {
  util::Runtime rt{3};
  FakeSuperPeer sp;
  auto node = bind_node(rt, make_identity(), {sp.url()}, std::make_shared<RecordingSink>(), [](NodeOpts& o) {
    o.enforce_tcp = true;
  });
  auto first = sp.accept();
  ASSERT_TRUE(first);
  std::atomic<bool> stop{false};
  std::thread reader([&] {  // reads everything, answers nothing
    std::array<std::uint8_t, 4096> buf;
    boost::system::error_code ec;
    while (!stop && !ec) {
      if (raw::readable(first->native_handle(), 50ms)) first->read_some(boost::asio::buffer(buf), ec);
    }
  });
  auto second = sp.accept(15s);
  stop = true;
  reader.join();
  ASSERT_TRUE(second) << "the dead link was never replaced";
}

// A connect that never completes (a listener whose queue is full drops the SYNs) is given up
// within the time limit, and tried again.
TEST(NodeAttack, ConnectToADeadAddressIsGivenUp) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  boost::asio::io_context io;
  // A listener with a backlog of one, filled by a connection nobody accepts.
  ip::tcp::acceptor full(io);
  full.open(ip::tcp::v4());
  full.bind(ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0));
  full.listen(0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(full.local_endpoint().port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    fillers.push_back(fd);
  }
  ClosesFds closer{fillers};
  util::Runtime rt{3};
  logs.clear();
  const Identity sp = make_identity();
  auto node = bind_node(rt, make_identity(),
                        {super_peer_url(sp.pk(), "127.0.0.1:" + std::to_string(full.local_endpoint().port()), kNetwork)},
                        std::make_shared<RecordingSink>(), [](NodeOpts& o) { o.enforce_tcp = true; });
  EXPECT_TRUE(raw::eventually([&] { return logs.count("Failed to connect to super peer tcp://") >= 2; }, 15s));
}

// Anyone can have the super peer relay a message onto a node's link; one that fails the node's
// checks is dropped, and the link stays.
TEST(NodeAttack, RelayedGarbageDoesNotEndTheLink) {
  util::Runtime rt{3};
  SuperPeerOptions so{.identity = make_identity(), .network_id = kNetwork};
  so.min_pow_difficulty = 0;
  auto server = SuperPeerServer::start(rt, so);
  ASSERT_TRUE(server) << server.error();
  const Identity victim_id = make_identity();
  auto victim = bind_node(rt, victim_id, {(*server)->url()}, std::make_shared<RecordingSink>(), [](NodeOpts& o) {
    o.enforce_tcp = true;
  });
  auto sp = victim->peers_list().super_peer((*server)->public_key());
  ASSERT_TRUE(raw::eventually([&] {
    auto c = sp->tcp_connection();
    return c && c->writer() && c->path()->inner()->last_ack_time != 0;
  }));
  const auto link = sp->tcp_connection();

  boost::asio::io_context io;
  raw::Peer attacker(io, make_identity(), kNetwork);
  attacker.send(attacker.hello_sp((*server)->public_key(), raw::now_us()), (*server)->udp_endpoint());
  ASSERT_TRUE(attacker.recv());
  // A bare long header (79 bytes: an "armed APP" without its body) and a HELLO that fails
  // authentication.
  Bytes bare = attacker.app(victim_id.pk(), {});
  bare.resize(p2p::LongHeader::kSize);
  Bytes tampered = attacker.hello_node(victim_id.pk(), raw::now_us());
  tampered.back() ^= 1;
  const auto relayed_before = (*server)->stats().relayed_tcp;
  for (const Bytes& garbage : {bare, tampered}) attacker.send(garbage, (*server)->udp_endpoint());
  ASSERT_TRUE((*server)->wait_for([&](const SuperPeerStats& s) { return s.relayed_tcp >= relayed_before + 2; }, 10s));
  // The link lives on and keeps being answered.
  const auto acked = link->path()->inner()->last_ack_time;
  ASSERT_TRUE(raw::eventually([&] { return link->path()->inner()->last_ack_time > acked; }));
  EXPECT_FALSE(link->is_cancelled());
  EXPECT_EQ(sp->tcp_connection(), link);
  EXPECT_TRUE(raw::eventually([&] { return victim->inner()->stats().refused.load() >= 2; }));
}

// The HELLO that greets a link announces what the UDP HELLOs announce: with a wildcard among the
// addresses to bind, every host address outside the overlay's networks, and none inside them (a
// super peer that learnt one would hand it out in UNITEs, and nothing comes back through it).
TEST(NodeLinks, TheLinksGreetingAnnouncesTheCandidatesOfTheUdpHellos) {
  util::Runtime rt{3};
  FakeSuperPeer sp;
  const Identity id = make_identity();
  auto node = bind_node(rt, id, {sp.url()}, std::make_shared<RecordingSink>(), [](NodeOpts& o) {
    o.udp_addrs = {ip::make_address("0.0.0.0")};
    o.enforce_tcp = true;
  });
  // Loopback stands for the overlay's network here: the node must not announce it.
  const util::net::IpNetwork overlay{ip::make_address("127.0.0.0"), 8};
  node->inner()->set_overlay_networks({overlay});
  const std::uint64_t since = raw::now_us() + 1;
  const auto key = session_key(sp.id, id.pk());
  // The endpoints of a HELLO sent after the overlay was set, or none.
  auto endpoints_of = [&](Bytes hello) -> std::optional<std::vector<p2p::Endpoint>> {
    auto header = LongHeader::parse(hello);
    if (!header || header->type_byte() != 2) return std::nullopt;
    auto parsed = HelloSuperPeerMessage::parse(std::span(hello).subspan(LongHeader::kSize), *header, key);
    if (!parsed || parsed->time() < since) return std::nullopt;
    return parsed->endpoints().to_vector();
  };

  // The links opened before are closed; the node opens new ones, one a pass.
  std::optional<std::vector<p2p::Endpoint>> over_link;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!over_link && std::chrono::steady_clock::now() < end) {
    auto link = sp.accept();
    ASSERT_TRUE(link) << "the node opened no link";
    over_link = endpoints_of(read_frame(*link));
  }
  ASSERT_TRUE(over_link) << "no greeting of a link after the overlay was set";
  std::optional<std::vector<p2p::Endpoint>> over_udp;
  while (!over_udp && std::chrono::steady_clock::now() < end) {
    if (!raw::readable(sp.udp.native_handle(), 100ms)) continue;
    Bytes d(2048);
    d.resize(sp.udp.receive(boost::asio::buffer(d)));
    over_udp = endpoints_of(std::move(d));
  }
  ASSERT_TRUE(over_udp) << "no UDP HELLO after the overlay was set";

  auto sorted = [](std::vector<p2p::Endpoint> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(*over_link), sorted(*over_udp));
  for (const auto& ep : *over_link) EXPECT_FALSE(overlay.contains(ep.address())) << ep;
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// A node bound on loopback with a super peer played by a raw socket, for attacks over UDP.
struct UdpTarget {
  explicit UdpTarget(const std::function<void(NodeOpts&)>& tweak = {}) {
    node = bind_node(rt, self, {super_peer_url(sp_id.pk(), "127.0.0.1:" + std::to_string(sp.udp_local().port()),
                                               kNetwork)},
                     sink, tweak);
    node_addr = node->udp_bindings()->front()->local_addr();
  }
  std::shared_ptr<NodePeer> peer(const PubKey& key) const { return node->peers_list().node_peer(key); }
  // Whether the node answers, within `timeout`, a HELLO of `key` that the caller sent from `at`:
  // with an ACK to `at`, or with a greeting through the super peer. (What one HELLO brings pays
  // for one of the two, and a newcomer the node has no traffic with is greeted first.)
  bool answered(raw::Peer& at, const PubKey& key, std::chrono::milliseconds timeout = 5s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (auto d = at.recv(1ms); d && raw::type_of(*d) == 0) return true;
      while (auto d = sp.recv(0ms)) {
        auto h = LongHeader::parse(*d);
        if (h && h->type_byte() == 2 && h->recipient() == key) return true;
      }
    }
    return false;
  }

  util::Runtime rt{3};
  boost::asio::io_context io;
  Identity self = make_identity();
  Identity sp_id = make_identity();
  raw::Peer sp{io, sp_id, kNetwork};
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<Node> node;
  ip::udp::endpoint node_addr;
};

// Every short id drawn is 0x5107; from the third draw on, 0x5108, 0x5109, ...
std::atomic<std::uint32_t> g_draws{0};
std::uint32_t colliding_draws() {
  const std::uint32_t n = g_draws++;
  return n < 2 ? 0x5107 : 0x5107 + n - 1;
}

// A newcomer whose short id collides with a known peer's must not take that peer's short-header
// traffic: the id is drawn again.
TEST(NodeAttack, ShortIdCollisionDoesNotTakeAPeersTraffic) {
  UdpTarget t;
  g_draws = 0;
  const ScopedShortIdSource draws(&colliding_draws);

  raw::Peer victim(t.io, make_identity(), kNetwork);
  victim.send(victim.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  ASSERT_TRUE(raw::eventually([&] { return t.peer(victim.pk()) != nullptr; }));
  const ShortId id = t.peer(victim.pk())->rx_short_id();
  raw::Peer newcomer(t.io, make_identity(), kNetwork);
  newcomer.send(newcomer.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  ASSERT_TRUE(raw::eventually([&] { return t.peer(newcomer.pk()) != nullptr; }));
  EXPECT_NE(t.peer(newcomer.pk())->rx_short_id(), id);

  // The victim's short-header packets still reach the node as the victim's.
  const Bytes payload{1, 2, 3};
  victim.send(*ShortHeader::build(id, victim.key_with(t.self.pk()), payload), t.node_addr);
  EXPECT_TRUE(t.sink->wait_until([&](const auto& rx) { return !rx.empty() && rx.back().first == victim.pk(); }, 5s));
}

// UNITEs introduce keys whose proof of work nobody checked. However many come, they hold a
// bounded share of the peers map and give way to a peer that shows its work.
TEST(NodeAttack, UniteFloodDoesNotLockOutPeersWithProofOfWork) {
  UdpTarget t([](NodeOpts& o) {
    o.max_peers = 16;
    o.min_pow_difficulty = 8;
  });
  for (int i = 0; i < 100; ++i) {
    t.sp.send(t.sp.unite(t.self.pk(), make_identity().pk(), {}), t.node_addr);
  }
  // Wait until the node read them all: a last UNITE about a key we can look for.
  const Identity marker = make_identity();
  t.sp.send(t.sp.unite(t.self.pk(), marker.pk(), {}), t.node_addr);
  ASSERT_TRUE(raw::eventually([&] { return t.peer(marker.pk()) != nullptr; }));
  EXPECT_LE(t.node->peers_list().peers.size(), 1 + t.node->inner()->max_unverified_peers());

  raw::Peer real(t.io, *Identity::generate(8), kNetwork);
  real.send(real.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  EXPECT_TRUE(t.answered(real, real.pk())) << "a peer with a valid proof of work was turned away";
  EXPECT_TRUE(t.peer(real.pk()));
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// `bytes` (an armed long-header message built by `from`) sealed again under a nonce of the
// caller's choice: what a sender with another clock, or a capture from long ago, looks like.
Bytes reseal(const raw::Peer& from, const PubKey& to, const Bytes& plain_body, MessageType type,
             std::uint64_t nonce_time) {
  Bytes out(LongHeader::kSize + 24 + plain_body.size() + 16);
  LongHeader::write(std::span(out).first<LongHeader::kSize>(), type, true, from.net(), from.pk(), from.id().pow(), to);
  std::uint64_t fields[3] = {nonce_time, 0x1234567890ABCDEFull, 0};
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 8; ++i) out[LongHeader::kSize + 8 * f + i] = static_cast<std::uint8_t>(fields[f] >> (56 - 8 * i));
  }
  auto body = std::span(out).subspan(LongHeader::kSize + 24, plain_body.size());
  auto tag = std::span(out).last<16>();
  EXPECT_TRUE(crypto::aead_encrypt(body, tag, plain_body, std::span(out).first(LongHeader::kSize),
                                   std::span(out).subspan(LongHeader::kSize).first<24>(), *from.key_with(to)));
  return out;
}

// Captured armed messages are delivered once: a copy sent again (from anywhere), one sealed
// long ago, and a HELLO dated far ahead are all refused.
TEST(NodeAttack, ReplayedMessagesAreRefused) {
  UdpTarget t;
  raw::Peer peer(t.io, make_identity(), kNetwork);
  raw::Peer attacker(t.io, peer.id(), kNetwork, true, "127.0.0.2");
  const Bytes app = peer.app(t.self.pk(), Bytes(60, 0x45));
  peer.send(app, t.node_addr);
  ASSERT_TRUE(t.sink->wait_until([](const auto& rx) { return rx.size() == 1; }));
  ASSERT_TRUE(raw::eventually([&] { return t.peer(peer.pk()) != nullptr; }));

  const ShortId id = t.peer(peer.pk())->rx_short_id();
  const Bytes short_app = *ShortHeader::build(id, peer.key_with(t.self.pk()), Bytes(60, 0x46));
  peer.send(short_app, t.node_addr);
  ASSERT_TRUE(t.sink->wait_until([](const auto& rx) { return rx.size() == 2; }));

  const std::uint64_t month_us = 30ull * 24 * 3600 * 1'000'000;
  Bytes old_app_body(60, 0x47);
  const Bytes old_app = reseal(peer, t.self.pk(), old_app_body, MessageType::App, raw::now_us() - month_us);
  const Bytes future_hello = peer.hello_node(t.self.pk(), raw::now_us() + 3600ull * 1'000'000);
  const auto replayed_before = t.node->inner()->stats().replayed.load();
  for (int round = 0; round < 3; ++round) {
    attacker.send(app, t.node_addr);
    peer.send(app, t.node_addr);
    attacker.send(short_app, t.node_addr);
  }
  attacker.send(old_app, t.node_addr);
  peer.send(future_hello, t.node_addr);
  // A fresh message after them all is the barrier: once it arrived, the others were handled.
  peer.send(peer.app(t.self.pk(), Bytes(60, 0x48)), t.node_addr);
  ASSERT_TRUE(t.sink->wait_until([](const auto& rx) { return rx.size() >= 3; }));
  EXPECT_EQ(t.sink->count(), 3u) << "a replayed or stale message was delivered";
  EXPECT_EQ(t.sink->received().back().second, Bytes(60, 0x48));
  EXPECT_GE(t.node->inner()->stats().replayed.load() - replayed_before, 10u);
  EXPECT_FALSE(peer.recv_until([](const Bytes& b) { return raw::type_of(b) == 0; }, 300ms))
      << "a HELLO dated an hour ahead was answered";
}

// Nothing refused as too old, or as answering nothing, takes a place in the peers map: a copy of
// a message replayed once its sender was dropped as stale (the copy is then older than
// hello_max_age), a HELLO dated beyond the age limit, and an ACK from a sender the node does not
// know (no HELLO of ours went to it).
TEST(NodeAttack, RefusedMessagesOfUnknownSendersAdmitNobody) {
  constexpr std::uint64_t kMaxAgeMs = 1000;
  UdpTarget t([](NodeOpts& o) { o.hello_max_age = kMaxAgeMs; });
  struct Case {
    const char* name;
    bool replayed_after_drop;
    std::function<Bytes(const raw::Peer&)> message;
  };
  const Case cases[] = {
      {"a HELLO replayed", true, [&](const raw::Peer& p) { return p.hello_node(t.self.pk(), raw::now_us()); }},
      {"an APP replayed", true, [&](const raw::Peer& p) { return p.app(t.self.pk(), Bytes(60, 0x49)); }},
      {"a HELLO dated too far back", false,
       [&](const raw::Peer& p) { return p.hello_node(t.self.pk(), raw::now_us() - 2 * kMaxAgeMs * 1000); }},
      {"an ACK", false, [&](const raw::Peer& p) { return p.ack(t.self.pk(), raw::now_us() - 1000); }},
  };
  const auto& stats = t.node->inner()->stats();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    raw::Peer sender(t.io, make_identity(), kNetwork);
    const Bytes message = c.message(sender);
    if (c.replayed_after_drop) {
      const auto sent_at = raw::now_us();
      sender.send(message, t.node_addr);
      ASSERT_TRUE(raw::eventually([&] { return t.peer(sender.pk()) != nullptr; })) << "the original was refused";
      ASSERT_TRUE(raw::eventually([&] { return t.peer(sender.pk()) == nullptr; })) << "the sender was never dropped";
      // Dropped once the copy is as old as the age limit; the node's cached clock may lag a few ms.
      ASSERT_TRUE(raw::eventually([&] { return raw::now_us() > sent_at + (kMaxAgeMs + 50) * 1000; }));
    }
    const auto refused = stats.refused.load();
    sender.send(message, t.node_addr);
    ASSERT_TRUE(raw::eventually([&] { return stats.refused.load() > refused; })) << "the message was not refused";
    EXPECT_EQ(t.peer(sender.pk()), nullptr) << "a refused message admitted its sender";
    EXPECT_EQ(t.node->peers_list().peers.size(), 1u);
  }
}

// An ACK counts only for the path its HELLO went out on: an ACK echoing the HELLO of one path,
// sent from another address, must not make that address a reachable path.
TEST(NodeAttack, AckFromAnotherPathDoesNotMakeItReachable) {
  UdpTarget t;
  raw::Peer peer(t.io, make_identity(), kNetwork);
  raw::Peer second(t.io, peer.id(), kNetwork, true, "127.0.0.2");  // another address of the same key
  // Traffic, so the node keeps paths alive, and credit for the node's greeting and its probes.
  peer.send(peer.app(t.self.pk(), Bytes(600, 1)), t.node_addr);
  peer.send(peer.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  second.send(second.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  ASSERT_TRUE(raw::eventually([&] { return t.peer(peer.pk()) && t.peer(peer.pk())->paths().size() == 2; }));
  const PeerPathKey second_path{t.node_addr, second.udp_local()};

  // The node's next HELLO to the first address: its time is what the attacker echoes.
  auto key = peer.key_with(t.self.pk());
  auto hello_time = [&](raw::Peer& at) -> std::optional<std::uint64_t> {
    auto hello = at.recv_until([](const Bytes& b) { return raw::type_of(b) == 2; });
    if (!hello) return std::nullopt;
    auto header = LongHeader::parse(*hello);
    auto parsed = HelloNodePeerMessage::parse(std::span(*hello).subspan(LongHeader::kSize), *header, key);
    if (!parsed) return std::nullopt;
    return parsed->time();
  };
  const auto t1 = hello_time(peer);
  ASSERT_TRUE(t1);
  second.send(second.ack(t.self.pk(), *t1), t.node_addr);
  // The real answer on the first path: once it counted, the forged one was handled too.
  peer.send(peer.ack(t.self.pk(), *t1), t.node_addr);
  auto path_of = [&](const PeerPathKey& k) { return t.peer(peer.pk())->paths().get(k); };
  const PeerPathKey first_path{t.node_addr, peer.udp_local()};
  ASSERT_TRUE(raw::eventually([&] {
    auto p = path_of(first_path);
    return p && (*p)->inner()->last_ack_time != 0;
  }));
  auto p2 = path_of(second_path);
  ASSERT_TRUE(p2);
  EXPECT_EQ((*p2)->inner()->last_ack_time, 0u) << "an ACK echoing another path's HELLO made this path reachable";

  // Its own HELLO's answer does count.
  const auto t2 = hello_time(second);
  ASSERT_TRUE(t2);
  EXPECT_NE(*t2, *t1);
  second.send(second.ack(t.self.pk(), *t2), t.node_addr);
  EXPECT_TRUE(raw::eventually([&] {
    auto p = path_of(second_path);
    return p && (*p)->inner()->last_ack_time != 0;
  }));
}

// Reflection through UNITEs, through a real super peer: an attacker registers with endpoints
// of a third party and has the super peer introduce it to a node again and again. The node
// must not send the third party more bytes than the attacker spent.
TEST(NodeAttack, UniteReflectionIsNotAmplified) {
  util::Runtime rt{3};
  SuperPeerOptions so{.identity = make_identity(), .network_id = kNetwork};
  so.min_pow_difficulty = 0;
  so.unite_interval = 50ms;
  auto server = SuperPeerServer::start(rt, so);
  ASSERT_TRUE(server) << server.error();
  const Identity victim_id = make_identity();
  auto sink = std::make_shared<RecordingSink>();
  auto victim = bind_node(rt, victim_id, {(*server)->url()}, sink, [](NodeOpts& o) { o.hello_timeout = 300; });

  // The third party: 32 UDP sockets that count what arrives.
  boost::asio::io_context io;
  std::vector<ip::udp::socket> third;
  std::vector<p2p::Endpoint> endpoints;
  for (int i = 0; i < 32; ++i) {
    third.emplace_back(io, ip::udp::endpoint(ip::make_address("127.0.0.9"), 0));
    third.back().non_blocking(true);
    endpoints.push_back(third.back().local_endpoint());
  }
  std::size_t third_bytes = 0;
  auto count_third = [&] {
    std::array<std::uint8_t, 2048> buf;
    for (auto& s : third) {
      boost::system::error_code ec;
      for (;;) {
        const auto n = s.receive(boost::asio::buffer(buf), 0, ec);
        if (ec) break;
        third_bytes += n;
      }
    }
  };

  raw::Peer attacker(io, make_identity(), kNetwork);
  std::size_t attacker_bytes = 0;
  auto attack = [&](const Bytes& b) {
    attacker.send(b, (*server)->udp_endpoint());
    attacker_bytes += b.size();
  };
  attack(attacker.hello_sp((*server)->public_key(), raw::now_us(), endpoints));
  ASSERT_TRUE(attacker.recv());
  // APPs to the victim through the super peer, each a reason for another UNITE, for 3 s.
  const auto end = std::chrono::steady_clock::now() + 3s;
  int sent = 0;
  while (std::chrono::steady_clock::now() < end) {
    attack(attacker.app(victim_id.pk(), Bytes(20, 0x11)));
    ++sent;
    count_third();
    std::this_thread::sleep_for(20ms);  // pacing the attack, not waiting for an event
  }
  ASSERT_TRUE(sink->wait_until([&](const auto& rx) { return rx.size() >= static_cast<std::size_t>(sent) / 2; }));
  // Let the node's last HELLOs arrive: a few housekeeping passes.
  const auto settle = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < settle) count_third();
  ASSERT_GT((*server)->stats().unites_sent, 10u);
  const double factor = static_cast<double>(third_bytes) / static_cast<double>(attacker_bytes);
  RecordProperty("amplification", std::to_string(factor));
  std::printf("third party got %zu bytes, the attacker sent %zu: amplification %.3f\n", third_bytes, attacker_bytes,
              factor);
  EXPECT_LE(factor, 1.0);
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// A flood of refused datagrams costs a bounded number of log lines (the rest are counted), a
// datagram longer than the MTU is refused whole instead of handled cut short, and a node that
// does not arm says so when it starts.
TEST(NodeAttack, RefusedPacketsAreCountedAndTheirLogsLimited) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  logs.clear();
  UdpTarget t;
  raw::Peer flooder(t.io, make_identity(), kNetwork, true, "127.0.0.3");
  Bytes garbage(100, 0x42);
  for (int i = 0; i < 500; ++i) flooder.send(garbage, t.node_addr);
  Bytes oversized = flooder.app(t.self.pk(), Bytes(kDefaultNetworkMtu, 1));
  // The barrier (again, should the flood have filled the socket buffer): once it arrived, the
  // flood before it was handled.
  bool arrived = false;
  for (int i = 0; i < 20 && !arrived; ++i) {
    flooder.send(flooder.app(t.self.pk(), Bytes(10, 2)), t.node_addr);
    arrived = t.sink->wait_until([](const auto& rx) { return !rx.empty(); }, 250ms);
  }
  ASSERT_TRUE(arrived);
  const auto& stats = t.node->inner()->stats();
  EXPECT_GE(stats.refused.load(), 100u);  // the socket buffer may have dropped some
  for (const auto& [from, payload] : t.sink->received()) {
    EXPECT_EQ(payload, Bytes(10, 2)) << "the oversized APP was delivered cut short";
  }
  flooder.send(oversized, t.node_addr);
  ASSERT_TRUE(raw::eventually([&] { return stats.oversized.load() >= 1; }));
  EXPECT_LE(logs.count("Error processing packet: "), 10u);
  EXPECT_GE(t.node->inner()->suppressed_log_lines(), 90u);

  logs.clear();
  util::Runtime rt{2};
  auto unarmed = util::block_on(
      rt, Node::bind(loopback_opts(make_identity(), {t.node->opts().super_peers}, false,
                                   std::make_shared<RecordingSink>())));
  ASSERT_TRUE(unarmed);
  EXPECT_EQ(logs.count("Messages are not armed"), 1u);
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// The node's HELLO to `to` from `from`, as an honest newcomer sends it.
Bytes hello_of(const Identity& from, const PubKey& to) {
  return *HelloNodePeerMessage::build(network_id_from_u32(kNetwork), from.pk(), from.pow(),
                                      session_key(from, to), to, raw::now_us(), ShortId(0x0101));
}

// Headers copied from the wire (a key and its valid proof of work) with bodies of junk: none of
// them takes a place in the peers map, however often they come, and honest newcomers still get
// in. Every sender that is not in the map costs a key exchange, within a budget per second.
TEST(NodeAttack, CopiedHeadersWithJunkBodiesAdmitNobody) {
  UdpTarget t([](NodeOpts& o) {
    o.max_peers = 32;
    o.min_pow_difficulty = 8;
  });
  const auto& stats = t.node->inner()->stats();
  auto junk_of = [&](const Identity& id, std::uint32_t salt) {
    Bytes m = hello_of(id, t.self.pk());
    for (std::size_t i = LongHeader::kSize; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i * 131 + salt);
    return m;
  };
  std::vector<Identity> seen;  // keys whose messages the attacker saw
  for (int i = 0; i < 100; ++i) seen.push_back(*Identity::generate(8));
  raw::Peer attacker(t.io, make_identity(), kNetwork, true, "127.0.0.3");
  // Two rounds of the 100 headers: far more than the map's room before the fix.
  std::uint64_t sent = 0;
  for (std::uint32_t round = 0; round < 2; ++round) {
    for (const auto& id : seen) {
      attacker.send(junk_of(id, round), t.node_addr);
      ++sent;
    }
    ASSERT_TRUE(raw::eventually([&] { return stats.refused.load() >= sent; }));
  }
  EXPECT_EQ(t.node->peers_list().peers.size(), 1u) << "a message that failed authentication admitted its sender";
  EXPECT_TRUE(t.node->peers_list().short_ids.empty());

  raw::Peer honest(t.io, *Identity::generate(8), kNetwork);
  honest.send(hello_of(honest.id(), t.self.pk()), t.node_addr);
  EXPECT_TRUE(t.answered(honest, honest.pk())) << "an honest newcomer was refused";
  EXPECT_TRUE(t.peer(honest.pk()));

  // A flood of distinct keys beyond the budget: the key exchanges stay within it (two windows
  // may meet within the flood), and a newcomer that greets again, as it does every pass, is in.
  std::vector<Identity> many;
  for (int i = 0; i < 1500; ++i) many.push_back(*Identity::generate(8));
  const auto exchanges_before = t.node->inner()->newcomer_key_exchanges();
  const auto flood_start = std::chrono::steady_clock::now();
  for (const auto& id : many) {
    attacker.send(junk_of(id, 7), t.node_addr);
    ++sent;
  }
  ASSERT_TRUE(raw::eventually([&] { return stats.refused.load() >= sent - 100; }));  // the socket may drop some
  const auto flood_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - flood_start).count();
  const auto exchanges = t.node->inner()->newcomer_key_exchanges() - exchanges_before;
  std::printf("%llu key exchanges for %zu junk datagrams in %.2f s\n", static_cast<unsigned long long>(exchanges),
              many.size(), flood_s);
  EXPECT_LE(exchanges, (static_cast<std::uint64_t>(flood_s) + 2) * NodeInner::kNewcomerKeyExchangesPerSecond);
  raw::Peer late(t.io, *Identity::generate(8), kNetwork);
  EXPECT_TRUE(raw::eventually([&] {
    late.send(hello_of(late.id(), t.self.pk()), t.node_addr);
    return t.answered(late, late.pk(), 100ms);
  }));
  EXPECT_EQ(t.node->peers_list().peers.size(), 3u);
}

// Honest newcomers greet a node, one HELLO every 100 ms (each a new identity), while junk APPs
// from unknown senders flood it under keys that have a proof of work but no session key (not
// curve points): neither one key nor one source may use up the key exchanges the node spends on
// newcomers.
TEST(NodeAttack, JunkUnderOneKeyOrFromOneSourceDoesNotLockNewcomersOut) {
  constexpr int kNewcomers = 20;
  constexpr unsigned kJunkPerSecond = 5000;
  for (const auto& shape : junk::kFloodShapes) {
    SCOPED_TRACE(shape.name);
    UdpTarget t([](NodeOpts& o) { o.min_pow_difficulty = 8; });
    const auto datagrams = shape.junk(t.self.pk(), kNetwork, 8);
    std::vector<Identity> newcomers;
    for (int i = 0; i < kNewcomers; ++i) newcomers.push_back(*Identity::generate(8));

    const auto exchanges_before = t.node->inner()->newcomer_key_exchanges();
    const auto start = std::chrono::steady_clock::now();
    int answered = 0;
    {
      junk::Flood flood(datagrams, shape.hosts(), t.node_addr, kJunkPerSecond);
      ASSERT_TRUE(raw::eventually([&] { return t.node->inner()->stats().refused.load() >= 500; }))
          << "the flood did not reach the node";
      raw::Peer honest(t.io, make_identity(), kNetwork, true, "127.0.0.2");
      for (const auto& id : newcomers) {
        const auto next = std::chrono::steady_clock::now() + 100ms;
        honest.send(hello_of(id, t.self.pk()), t.node_addr);
        if (t.answered(honest, id.pk(), 100ms)) ++answered;
        std::this_thread::sleep_until(next);  // one HELLO every 100 ms
      }
      std::printf("%s: %d of %d newcomers answered, %llu junk datagrams sent\n", shape.name, answered, kNewcomers,
                  static_cast<unsigned long long>(flood.sent()));
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto exchanges = t.node->inner()->newcomer_key_exchanges() - exchanges_before;
    std::printf("%s: %llu key exchanges in %.1f s\n", shape.name, static_cast<unsigned long long>(exchanges), seconds);
    EXPECT_GE(answered, kNewcomers * 8 / 10);
    // Beside the newcomers' own: one exchange for the one key; for many keys from one address,
    // that address's share of the budget (a burst of two seconds' worth, then its rate).
    if (shape.keys == 1) {
      EXPECT_LE(exchanges, kNewcomers + 1u);
    } else {
      EXPECT_LE(exchanges, kNewcomers + (static_cast<std::uint64_t>(seconds) + 3) *
                                            NodeInner::kNewcomerKeyExchangesPerSecondPerSource);
    }
  }
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// What the node sends towards addresses that never answered it is paid for by what the peer
// sent, wherever it comes from. Bytes the victim gets against the bytes the attacker spent:
// - a peer sends HELLOs with the victim's addresses as source (each is answered with an ACK,
//   and makes a path the node then probes);
// - a super peer (played by the test) names the victim's addresses for a peer the node sends to
//   but which never sent anything.
TEST(NodeAttack, ReflectionTowardsUnprovenAddressesIsNotAmplified) {
  auto drain = [](raw::Peer& p) {
    std::size_t bytes = 0;
    while (auto d = p.recv(0ms)) bytes += d->size();
    return bytes;
  };
  {
    UdpTarget t;
    const Identity attacker_id = make_identity();
    raw::Peer attacker(t.io, attacker_id, kNetwork);
    std::vector<std::unique_ptr<raw::Peer>> victims;  // the victim's sockets, used as forged sources
    for (int i = 0; i < 8; ++i) {
      victims.push_back(std::make_unique<raw::Peer>(t.io, attacker_id, kNetwork, true, "127.0.0.9"));
    }
    std::size_t spent = 0, reflected = 0;
    // Traffic, so that the node keeps (and probes) the peer's paths, and credit to probe with.
    const Bytes app = attacker.app(t.self.pk(), Bytes(1000, 1));
    attacker.send(app, t.node_addr);
    spent += app.size();
    for (auto& v : victims) {
      const Bytes hello = v->hello_node(t.self.pk(), raw::now_us(), ShortId(0x2222));
      v->send(hello, t.node_addr);
      spent += hello.size();
    }
    // Housekeeping passes (100 ms each) probe the paths until their HELLOs are spent.
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end) {
      for (auto& v : victims) reflected += drain(*v);
      std::this_thread::sleep_for(20ms);  // pacing the count, not waiting for an event
    }
    for (auto& v : victims) reflected += drain(*v);
    const double factor = static_cast<double>(reflected) / static_cast<double>(spent);
    std::printf("forged HELLO sources: the victim got %zu bytes, the attacker spent %zu: factor %.3f\n", reflected,
                spent, factor);
    EXPECT_GT(reflected, 0u);
    EXPECT_LE(factor, 1.0);
  }
  {
    UdpTarget t;
    const Identity quiet = make_identity();  // a peer the node sends to; it never sends anything
    auto handle = t.node->send_handle(quiet.pk());
    ASSERT_TRUE(handle);
    std::vector<std::unique_ptr<raw::Peer>> victims;
    std::vector<p2p::Endpoint> endpoints;
    for (int i = 0; i < 4; ++i) {
      victims.push_back(std::make_unique<raw::Peer>(t.io, make_identity(), kNetwork, true, "127.0.0.9"));
      endpoints.push_back(victims.back()->udp_local());
    }
    std::size_t spent = 0, reflected = 0;
    // One UNITE per hello_timeout (1 s, what the node acts on), three times; the node keeps
    // sending to the peer all along (from before the first: a peer without traffic keeps no
    // paths).
    (void)util::block_on(t.rt, (*handle)->send(Bytes(100, 3)));
    for (int round = 0; round < 3; ++round) {
      const Bytes unite = t.sp.unite(t.self.pk(), quiet.pk(), endpoints);
      t.sp.send(unite, t.node_addr);
      spent += unite.size();
      if (round == 0) {
        ASSERT_TRUE(raw::eventually([&] { return t.peer(quiet.pk()) && !t.peer(quiet.pk())->paths().empty(); }))
            << "the UNITE was not acted on";
      }
      const auto next = std::chrono::steady_clock::now() + 1100ms;
      while (std::chrono::steady_clock::now() < next) {
        (void)util::block_on(t.rt, (*handle)->send(Bytes(100, 3)));
        for (auto& v : victims) reflected += drain(*v);
        std::this_thread::sleep_for(20ms);  // pacing the attack, not waiting for an event
      }
    }
    const double factor = static_cast<double>(reflected) / static_cast<double>(spent);
    std::printf("UNITEs about a peer being sent to: the victim got %zu bytes, the super peer spent %zu: factor %.3f\n",
                reflected, spent, factor);
    EXPECT_LE(factor, 1.0);
  }
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// A peer that does not know the node's short id is greeted through the super peer, which
// forwards the greeting to where the peer registered: an attacker that registered from a victim's
// address (a spoofed source) and sends direct HELLOs from it makes the node send the victim an
// ACK and a greeting for each. What reaches the victim must not exceed what the attacker sent.
TEST(NodeAttack, GreetingsThroughTheSuperPeerReflectNoMoreThanWasSent) {
  util::Runtime rt{3};
  SuperPeerOptions so{.identity = make_identity(), .network_id = kNetwork};
  so.min_pow_difficulty = 0;
  auto server = SuperPeerServer::start(rt, so);
  ASSERT_TRUE(server) << server.error();
  const Identity node_id = make_identity();
  auto node = bind_node(rt, node_id, {(*server)->url()}, std::make_shared<RecordingSink>());
  const auto node_addr = node->udp_bindings()->front()->local_addr();
  ASSERT_TRUE(raw::eventually([&] {
    auto sp = node->peers_list().super_peer((*server)->public_key());
    return sp && sp->best_udp_path(NodeInner::current_time(), 1000).has_value();
  })) << "the node did not reach the super peer";

  // The attacker's messages, sent from the victim's address.
  boost::asio::io_context io;
  raw::Peer spoofed(io, make_identity(), kNetwork, true, "127.0.0.9");
  std::size_t sent = 0, reflected = 0;
  auto send = [&](const Bytes& b, const ip::udp::endpoint& to) {
    spoofed.send(b, to);
    sent += b.size();
  };
  auto count = [&] {
    while (auto d = spoofed.recv(0ms)) reflected += d->size();
  };
  send(spoofed.hello_sp((*server)->public_key(), raw::now_us()), (*server)->udp_endpoint());
  ASSERT_TRUE(raw::eventually([&] {
    count();
    return reflected > 0;
  })) << "the super peer did not take the registration";
  // Direct HELLOs, each more than a housekeeping interval (100 ms) after the last: each may be
  // greeted. The attacker never answers, so the node never learns that its short id is known.
  int greetings_possible = 0;
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < end) {
    send(spoofed.hello_node(node_id.pk(), raw::now_us()), node_addr);
    ++greetings_possible;
    const auto next = std::chrono::steady_clock::now() + 150ms;
    while (std::chrono::steady_clock::now() < next) {
      count();
      std::this_thread::sleep_for(5ms);  // pacing the attack, not waiting for an event
    }
  }
  const auto settle = std::chrono::steady_clock::now() + 300ms;
  while (std::chrono::steady_clock::now() < settle) count();
  const double factor = static_cast<double>(reflected) / static_cast<double>(sent);
  std::printf("greetings: the victim got %zu bytes for %zu sent in %d HELLOs: factor %.3f\n", reflected, sent,
              greetings_possible, factor);
  EXPECT_GT((*server)->stats().relayed_udp, 0u) << "no greeting was relayed";
  EXPECT_LE(factor, 1.0);
}

// The probe credit a peer earns pays for few HELLOs to addresses that never answered; they go
// first to the address the peer greets from. A node restarted with its identity has only such
// addresses for the peers that send to it, most of them named by a super peer and dead (its
// loopback, link-local and other interfaces' addresses): spread over all of them, the credit
// reached the live one after a dozen passes or more, and the direct path stayed down as long.
TEST(ProbeCredit, GoesFirstToTheAddressThePeerGreetsFrom) {
  UdpTarget t([](NodeOpts& o) { o.hello_timeout = 300; });  // a UNITE acted on every 300 ms
  const Identity id = make_identity();
  raw::Peer peer(t.io, id, kNetwork);
  auto handle = t.node->send_handle(id.pk());
  ASSERT_TRUE(handle);
  (void)util::block_on(t.rt, (*handle)->send(Bytes(100, 3)));  // traffic: the node keeps the peer's paths
  // Twelve dead addresses, four to a UNITE.
  std::vector<std::unique_ptr<raw::Peer>> dead;
  for (int round = 0; round < 3; ++round) {
    std::vector<p2p::Endpoint> endpoints;
    for (int i = 0; i < 4; ++i) {
      dead.push_back(std::make_unique<raw::Peer>(t.io, make_identity(), kNetwork, true, "127.0.0.9"));
      endpoints.push_back(dead.back()->udp_local());
    }
    t.sp.send(t.sp.unite(t.self.pk(), id.pk(), endpoints), t.node_addr);
    ASSERT_TRUE(raw::eventually([&] { return t.peer(id.pk()) && t.peer(id.pk())->paths().size() >= dead.size(); }))
        << "UNITE " << round << " was not acted on: the peer has "
        << (t.peer(id.pk()) ? std::to_string(t.peer(id.pk())->paths().size()) : std::string("no record")) << " of "
        << dead.size() << " paths; the node listens on " << t.node->udp_bindings()->front()->local_addr()
        << ", the UNITE went to " << t.node_addr;
    std::this_thread::sleep_for(350ms);  // until the node acts on the next UNITE
    (void)util::block_on(t.rt, (*handle)->send(Bytes(100, 3)));
  }

  // The HELLO times the node sent to each: one pass sends them in order, one microsecond apart.
  const auto key = peer.key_with(t.self.pk());
  auto hello_times = [&](raw::Peer& at) {
    std::vector<std::uint64_t> times;
    while (auto d = at.recv(0ms)) {
      if (raw::type_of(*d) != 2) continue;
      auto header = LongHeader::parse(*d);
      auto hello = HelloNodePeerMessage::parse(std::span(*d).subspan(LongHeader::kSize), *header, key);
      if (hello) times.push_back(hello->time());
    }
    return times;
  };
  std::optional<std::uint64_t> first_live, first_dead;
  auto note = [](std::optional<std::uint64_t>& first, const std::vector<std::uint64_t>& times) {
    for (auto v : times) first = first ? std::min(*first, v) : v;
  };
  // The peer greets (its path is made, and answered), then sends what pays for one probe and a
  // half; after that it greets once per pass, as one with traffic for the node does.
  peer.send(peer.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  ASSERT_TRUE(peer.recv_until([](const Bytes& b) { return raw::type_of(b) == 0; })) << "the greeting got no ACK";
  const std::size_t hello_size = HelloNodePeerMessage::wire_size(true);
  const std::size_t app_size = AppMessage::wire_size(true, 0);
  peer.send(peer.app(t.self.pk(), Bytes(hello_size * 3 / 2 - app_size, 7)), t.node_addr);
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (!first_live && std::chrono::steady_clock::now() < end) {
    peer.send(peer.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
    (void)util::block_on(t.rt, (*handle)->send(Bytes(100, 3)));
    std::this_thread::sleep_for(100ms);  // one housekeeping pass
    note(first_live, hello_times(peer));
    for (auto& d : dead) note(first_dead, hello_times(*d));
  }
  ASSERT_TRUE(first_live) << "no HELLO to the address the peer greets from in 5 s";
  std::this_thread::sleep_for(50ms);
  for (auto& d : dead) note(first_dead, hello_times(*d));
  EXPECT_TRUE(!first_dead || *first_live < *first_dead) << "addresses that never answered were probed first";
}

// A peer's direct paths are bounded: HELLOs from ever more source addresses make the least
// useful paths go (never answered first), never a reachable one, and the newest gets a place.
TEST(NodeAttack, DirectPathsOfAPeerAreBounded) {
  UdpTarget t;
  const Identity id = make_identity();
  raw::Peer peer(t.io, id, kNetwork);
  peer.send(peer.app(t.self.pk(), Bytes(1000, 1)), t.node_addr);  // traffic: the node probes the paths
  peer.send(peer.hello_node(t.self.pk(), raw::now_us()), t.node_addr);
  // The node's HELLO on the first path, answered: that path is reachable.
  auto key = peer.key_with(t.self.pk());
  auto hello = peer.recv_until([](const Bytes& b) { return raw::type_of(b) == 2; });
  ASSERT_TRUE(hello);
  auto header = LongHeader::parse(*hello);
  auto parsed = HelloNodePeerMessage::parse(std::span(*hello).subspan(LongHeader::kSize), *header, key);
  ASSERT_TRUE(parsed);
  peer.send(peer.ack(t.self.pk(), parsed->time()), t.node_addr);
  const PeerPathKey proven{t.node_addr, peer.udp_local()};
  ASSERT_TRUE(raw::eventually([&] {
    auto p = t.peer(id.pk())->paths().get(proven);
    return p && (*p)->inner()->last_ack_time != 0;
  }));

  std::vector<std::unique_ptr<raw::Peer>> sources;
  for (int i = 0; i < 80; ++i) {
    sources.push_back(std::make_unique<raw::Peer>(t.io, id, kNetwork, true, "127.0.0." + std::to_string(10 + i % 8)));
    sources.back()->send(sources.back()->hello_node(t.self.pk(), raw::now_us()), t.node_addr);
    ASSERT_TRUE(sources.back()->recv_until([](const Bytes& b) { return raw::type_of(b) == 0; }));
  }
  // At most 16 paths (about 10 KiB) per peer, whatever it sends.
  const auto& paths = t.peer(id.pk())->paths();
  EXPECT_LE(paths.size(), 16u);
  EXPECT_TRUE(paths.contains(proven)) << "the reachable path was given up";
  EXPECT_TRUE(paths.contains(PeerPathKey{t.node_addr, sources.back()->udp_local()}))
      << "the newest path found no place";
}

}  // namespace
}  // namespace velarix::test
