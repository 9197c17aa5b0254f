#include "superpeer/super_peer_server.h"

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "message/short_header.h"
#include "util/length_codec.h"
#include "util/net.h"
#include "util/runtime.h"

namespace velarix::p2p {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint32_t kNetwork = 0x00C0FFEE;
const NetworkId kNet = network_id_from_u32(kNetwork);
constexpr auto kDeadline = 10s;

crypto::SessionKey session_key(const Identity& me, const PubKey& peer) {
  return *crypto::compute_kx_session_keys(*crypto::convert_ed25519_pk_to_curve25519_pk(me.pk()),
                                          *crypto::convert_ed25519_sk_to_curve25519_sk(me.sk()),
                                          *crypto::convert_ed25519_pk_to_curve25519_pk(peer));
}

// HELLO times in these tests count from here: the super peer refuses times far from its clock.
std::uint64_t g_time_base = 0;

bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// A node as the super peer sees it, driven by hand: its identity, a UDP socket and, when
// connected, a TCP link. Blocking sockets; every receive has a deadline.
class TestNode {
 public:
  TestNode(asio::io_context& io, const PubKey& super_peer, bool armed)
      : id_(*Identity::generate(0)), super_peer_(super_peer), armed_(armed), udp_(io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), tcp_(io) {}
  // The same node on another of its addresses: its identity, another socket.
  TestNode(asio::io_context& io, const TestNode& node, const std::string& host)
      : id_(node.id_), super_peer_(node.super_peer_), armed_(node.armed_), udp_(io, udp::endpoint(asio::ip::make_address(host), 0)), tcp_(io) {}

  const Identity& id() const { return id_; }
  const PubKey& pk() const { return id_.pk(); }
  bool armed() const { return armed_; }
  udp::endpoint udp_local() const { return udp_.local_endpoint(); }
  MessageKey key_with(const PubKey& peer) const {
    return armed_ ? MessageKey(session_key(id_, peer)) : std::nullopt;
  }

  Bytes hello(std::uint64_t time, const std::vector<Endpoint>& candidates = {}) const {
    return *HelloSuperPeerMessage::build(kNet, pk(), id_.pow(), key_with(super_peer_), super_peer_, g_time_base + time,
                                         candidates);
  }
  Bytes app_to(const TestNode& to, const Bytes& payload) const {
    return *AppMessage::build(kNet, pk(), id_.pow(), key_with(to.pk()), to.pk(), payload);
  }

  void send_udp(const Bytes& bytes, const udp::endpoint& to) { udp_.send_to(asio::buffer(bytes), to); }
  std::optional<Bytes> recv_udp(std::chrono::milliseconds timeout = kDeadline) {
    if (!readable(udp_.native_handle(), timeout)) return std::nullopt;
    Bytes buf(65536);
    buf.resize(udp_.receive(asio::buffer(buf)));
    return buf;
  }

  void connect(const tcp::endpoint& to) {
    tcp_.connect(to);
    tcp_.set_option(tcp::no_delay(true));
  }
  void send_frame(const Bytes& bytes) { asio::write(tcp_, asio::buffer(*util::encode_frame(bytes))); }
  void send_raw(const Bytes& bytes) { asio::write(tcp_, asio::buffer(bytes)); }
  // The next frame, or std::nullopt when the deadline passes or the link ends.
  std::optional<Bytes> recv_frame(std::chrono::milliseconds timeout = kDeadline) {
    std::array<std::uint8_t, 2> header{};
    if (!read_exact(header.data(), header.size(), timeout)) return std::nullopt;
    Bytes frame(util::frame_length(header));
    if (!read_exact(frame.data(), frame.size(), timeout)) return std::nullopt;
    return frame;
  }
  // True when the server closed the link (seen before the deadline); what it sent before is skipped.
  bool link_closed(std::chrono::milliseconds timeout = kDeadline) {
    std::array<std::uint8_t, 4096> skip;
    for (;;) {
      if (!readable(tcp_.native_handle(), timeout)) return false;
      boost::system::error_code ec;
      tcp_.read_some(asio::buffer(skip), ec);
      if (ec) return ec == asio::error::eof || ec == asio::error::connection_reset;
    }
  }
  void close_link() { tcp_.close(); }

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

  Identity id_;
  PubKey super_peer_;
  bool armed_;
  udp::socket udp_;
  tcp::socket tcp_;
};

class SuperPeerServerTest : public ::testing::Test {
 protected:
  void start(SuperPeerOptions opts) {
    auto s = SuperPeerServer::start(rt_, std::move(opts));
    ASSERT_TRUE(s) << s.error();
    server_ = std::move(*s);
  }
  void start() { start(options()); }
  SuperPeerOptions options() {
    SuperPeerOptions o{.identity = sp_id_, .network_id = kNetwork};
    o.min_pow_difficulty = 0;
    return o;
  }
  SuperPeerServerTest() { g_time_base = util::now_us(); }

  std::unique_ptr<TestNode> node(bool armed) { return std::make_unique<TestNode>(io_, sp_id_.pk(), armed); }
  udp::endpoint sp_udp() const { return server_->udp_endpoint(); }

  // Parses an ACK from the super peer to `n` and returns its time.
  std::optional<std::uint64_t> ack_time(const TestNode& n, Bytes bytes) {
    auto header = LongHeader::parse(bytes);
    if (!header) return std::nullopt;
    EXPECT_EQ(header->sender(), sp_id_.pk());
    EXPECT_EQ(header->recipient(), n.pk());
    EXPECT_EQ(header->network_id(), kNet);
    EXPECT_EQ(header->armed(), n.armed());
    auto ack = AckMessage::parse(std::span(bytes).subspan(LongHeader::kSize), *header, n.key_with(sp_id_.pk()));
    if (!ack) return std::nullopt;
    return ack->time() - g_time_base;
  }

  // Parses a UNITE from the super peer to `n`: the peer it names and its endpoints.
  std::optional<std::pair<PubKey, std::vector<Endpoint>>> unite(const TestNode& n, Bytes bytes) {
    auto header = LongHeader::parse(bytes);
    if (!header || header->type() != MessageType::Unite) return std::nullopt;
    EXPECT_EQ(header->sender(), sp_id_.pk());
    EXPECT_EQ(header->recipient(), n.pk());
    auto u = UniteMessage::parse(std::span(bytes).subspan(LongHeader::kSize), *header, n.key_with(sp_id_.pk()));
    if (!u) return std::nullopt;
    return std::pair(u->peer(), u->endpoints().to_vector());
  }

  bool wait(const std::function<bool(const SuperPeerStats&)>& pred) { return server_->wait_for(pred, kDeadline); }

  util::Runtime rt_{2};
  asio::io_context io_;  // only for the test's blocking sockets
  Identity sp_id_ = *Identity::generate(0);
  std::unique_ptr<SuperPeerServer> server_;
};

TEST_F(SuperPeerServerTest, ReportsItsAddress) {
  start();
  EXPECT_NE(server_->udp_port(), 0);
  EXPECT_EQ(server_->tcp_port(), server_->udp_port());  // one URL names both
  const auto url = server_->url();
  EXPECT_EQ(url.pk(), sp_id_.pk());
  EXPECT_EQ(url.network_id(), kNetwork);
  EXPECT_EQ(url.port(), server_->udp_port());
  EXPECT_EQ(url.host(), "127.0.0.1");
  EXPECT_EQ(SuperPeerUrl::parse(server_->url_text()).value(), url);
  EXPECT_EQ(server_->public_key(), sp_id_.pk());
}

TEST_F(SuperPeerServerTest, UdpHelloIsAnsweredWithAnAckInItsOwnForm) {
  for (bool armed : {true, false}) {
    SCOPED_TRACE(armed ? "armed" : "unarmed");
    auto opts = options();
    opts.arm_messages = armed;
    start(opts);
    auto n = node(armed);
    const std::uint64_t time = armed ? 0x0708 : 42;
    n->send_udp(n->hello(time), sp_udp());
    auto reply = n->recv_udp();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), AckMessage::wire_size(armed));
    EXPECT_EQ(ack_time(*n, *reply), time);
    const auto s = server_->stats();
    EXPECT_EQ(s.hellos_answered, 1u);
    EXPECT_EQ(s.known_nodes, 1u);
  }
}

TEST_F(SuperPeerServerTest, TcpHelloIsAnsweredWithAnAckFrame) {
  start();
  auto n = node(true);
  n->connect(server_->tcp_endpoint());
  n->send_frame(n->hello(777));
  auto frame = n->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ack_time(*n, *frame), 777u);
  // An empty frame and a second HELLO on the same link: the link stays up.
  n->send_frame({});
  n->send_frame(n->hello(778));
  frame = n->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ack_time(*n, *frame), 778u);
  EXPECT_TRUE(wait([](const auto& s) { return s.tcp_links == 1 && s.known_nodes == 1 && s.dropped == 1; }));
}

// Datagrams from many sources land on different readers of the port at once: each relay
// arrives once, unchanged, and is counted once.
TEST_F(SuperPeerServerTest, RelaysFromManySourcesAtOnceArriveOnceAndAreCounted) {
  auto opts = options();
  opts.send_unites = false;
  start(opts);
  auto b = node(true);
  b->send_udp(b->hello(1), sp_udp());
  ASSERT_TRUE(b->recv_udp());
  constexpr int kSenders = 8;
  constexpr int kEach = 16;
  std::vector<std::unique_ptr<TestNode>> senders;
  std::vector<std::vector<Bytes>> apps(kSenders);
  std::multiset<Bytes> expected;
  for (int i = 0; i < kSenders; ++i) {
    senders.push_back(node(true));
    senders.back()->send_udp(senders.back()->hello(1), sp_udp());
    ASSERT_TRUE(senders.back()->recv_udp());
    for (int k = 0; k < kEach; ++k) {
      apps[i].push_back(senders.back()->app_to(*b, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(k)}));
      expected.insert(apps[i].back());
    }
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kSenders; ++i) {
    threads.emplace_back([&, i] {
      for (const auto& app : apps[i]) senders[i]->send_udp(app, sp_udp());
    });
  }
  for (auto& t : threads) t.join();
  for (int n = 0; n < kSenders * kEach; ++n) {
    auto got = b->recv_udp();
    ASSERT_TRUE(got) << "only " << n << " relayed";
    auto it = expected.find(*got);
    ASSERT_NE(it, expected.end()) << "a relayed datagram changed or came twice";
    expected.erase(it);
  }
  EXPECT_TRUE(wait([](const auto& s) { return s.relayed_udp == kSenders * kEach && s.dropped == 0; }));
  EXPECT_FALSE(b->recv_udp(50ms));
}

TEST_F(SuperPeerServerTest, RelaysOverUdpUnchangedAndUnitesThePairOnce) {
  start();
  auto a = node(true);
  auto b = node(true);
  auto c = node(true);
  const std::vector<Endpoint> a_candidates{Endpoint(asio::ip::make_address("192.0.2.10"), 4000),
                                           Endpoint(asio::ip::make_address("2001:db8::1"), 4001)};
  const std::vector<Endpoint> b_candidates{Endpoint(asio::ip::make_address("198.51.100.7"), 5000)};
  a->send_udp(a->hello(1, a_candidates), sp_udp());
  ASSERT_TRUE(a->recv_udp());
  b->send_udp(b->hello(2, b_candidates), sp_udp());
  ASSERT_TRUE(b->recv_udp());
  c->send_udp(c->hello(2), sp_udp());
  ASSERT_TRUE(c->recv_udp());
  // B has talked to C before: what it sent pays for UNITEs to its address. (C, which has sent
  // nothing but its HELLO, has not paid for its own, so that pair is not introduced yet.)
  b->send_udp(b->app_to(*c, Bytes(1000, 7)), sp_udp());
  ASSERT_TRUE(c->recv_udp());

  // A's first message pays for its own introduction.
  const Bytes app = a->app_to(*b, Bytes(50, 1));
  a->send_udp(app, sp_udp());
  auto relayed = b->recv_udp();
  ASSERT_TRUE(relayed);
  EXPECT_EQ(*relayed, app);

  auto to_b = b->recv_udp();
  ASSERT_TRUE(to_b);
  auto ub = unite(*b, *to_b);
  ASSERT_TRUE(ub);
  EXPECT_EQ(ub->first, a->pk());
  std::vector<Endpoint> want_a{a->udp_local()};
  want_a.insert(want_a.end(), a_candidates.begin(), a_candidates.end());
  EXPECT_EQ(ub->second, want_a);

  auto to_a = a->recv_udp();
  ASSERT_TRUE(to_a);
  auto ua = unite(*a, *to_a);
  ASSERT_TRUE(ua);
  EXPECT_EQ(ua->first, b->pk());
  std::vector<Endpoint> want_b{b->udp_local()};
  want_b.insert(want_b.end(), b_candidates.begin(), b_candidates.end());
  EXPECT_EQ(ua->second, want_b);

  // Traffic the other way within the interval is relayed, and the pair is not united again.
  const Bytes back = b->app_to(*a, {9});
  b->send_udp(back, sp_udp());
  auto relayed_back = a->recv_udp();
  ASSERT_TRUE(relayed_back);
  EXPECT_EQ(*relayed_back, back);
  // The super peer reads one socket in order: once B's next HELLO is answered, everything B
  // sent before has been handled.
  b->send_udp(b->hello(3, b_candidates), sp_udp());
  auto ack = b->recv_udp();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack_time(*b, *ack), 3u);
  EXPECT_FALSE(a->recv_udp(0ms));
  const auto s = server_->stats();
  EXPECT_EQ(s.relayed_udp, 3u);
  EXPECT_EQ(s.unites_sent, 2u);
  EXPECT_FALSE(b->recv_udp(0ms));
  EXPECT_FALSE(c->recv_udp(0ms));
}

// A UNITE over UDP goes to a node's address only once that address has sent as much (messages
// relayed from it, and what its HELLOs bring beyond their ACKs), and a pair is introduced once
// both have paid, to both at once (so that they probe each other at the same time).
TEST_F(SuperPeerServerTest, UnitesWaitUntilBothAddressesHavePaidForThem) {
  auto opts = options();
  opts.unite_interval = 2s;
  start(opts);
  auto a = node(true);
  auto b = node(true);
  for (auto* n : {a.get(), b.get()}) {
    n->send_udp(n->hello(1, {Endpoint(asio::ip::make_address("192.0.2.1"), 4000)}), sp_udp());
    ASSERT_TRUE(n->recv_udp());
  }
  const Bytes first = a->app_to(*b, {1});
  a->send_udp(first, sp_udp());
  auto got = b->recv_udp();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, first);
  // B answers: it has paid, A has not yet.
  const Bytes answer = b->app_to(*a, Bytes(100, 2));
  b->send_udp(answer, sp_udp());
  got = a->recv_udp();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, answer);
  EXPECT_FALSE(b->recv_udp(300ms));
  EXPECT_EQ(server_->stats().unites_sent, 0u);
  // A goes on talking: once its messages have paid too, both are introduced.
  std::optional<std::pair<PubKey, std::vector<Endpoint>>> to_a, to_b;
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while ((!to_a || !to_b) && std::chrono::steady_clock::now() < end) {
    a->send_udp(a->app_to(*b, Bytes(100, 3)), sp_udp());
    while (auto in = b->recv_udp(50ms)) {
      if (auto u = unite(*b, *in)) to_b = u;
    }
    while (auto in = a->recv_udp(0ms)) {
      if (auto u = unite(*a, *in)) to_a = u;
    }
  }
  ASSERT_TRUE(to_a && to_b);
  EXPECT_EQ(to_a->first, b->pk());
  EXPECT_EQ(to_b->first, a->pk());
  EXPECT_EQ(server_->stats().unites_sent, 2u);
}

// A node with two addresses sends each HELLO from both, and which copy the super peer takes
// first is a race. What is relayed from either address is the node's (it pays for the node's
// UNITEs and introduces it), and a HELLO that comes first from the other address keeps what the
// node has paid.
TEST_F(SuperPeerServerTest, ANodeIsIntroducedWhicheverOfItsAddressesItsHellosAndRelaysComeFrom) {
  auto opts = options();
  opts.unite_interval = 60s;  // no introduction goes unpaid after a wait within the test
  start(opts);
  auto a1 = node(true);
  auto a2 = std::make_unique<TestNode>(io_, *a1, "127.0.0.2");
  auto b = node(true);
  auto c = node(true);
  const auto greet = [&](TestNode& n, std::uint64_t time) {
    n.send_udp(n.hello(time), sp_udp());
    ASSERT_TRUE(n.recv_udp()) << "no ACK";
  };
  const auto unite_to = [&](TestNode& n, const TestNode& about, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      auto in = n.recv_udp(std::max(left, 0ms));
      if (!in) return false;
      if (auto u = unite(n, *in); u && u->first == about.pk()) return true;
    }
  };
  greet(*a1, 1);  // the copy taken first: A's relays go to its first address
  greet(*a2, 1);
  greet(*b, 1);
  greet(*c, 1);

  // B has paid; A relays only from its second address, which pays for A's UNITE.
  b->send_udp(b->app_to(*a1, Bytes(300, 1)), sp_udp());
  ASSERT_TRUE(a1->recv_udp());
  bool to_a = false;
  bool to_b = false;
  const auto end = std::chrono::steady_clock::now() + 3s;
  while ((!to_a || !to_b) && std::chrono::steady_clock::now() < end) {
    a2->send_udp(a2->app_to(*b, Bytes(300, 2)), sp_udp());
    to_b = to_b || unite_to(*b, *a1, 100ms);
    to_a = to_a || unite_to(*a1, *b, 0ms);
  }
  EXPECT_TRUE(to_a) << "A's relays from its second address did not pay for its UNITE";
  EXPECT_TRUE(to_b) << "A's relays from its second address did not introduce it";

  // A's next HELLO comes first from its second address: what it paid stays, so C's first
  // message introduces the two at once, to A where its HELLO now came from.
  greet(*a2, 2);
  greet(*a1, 2);
  c->send_udp(c->app_to(*a1, Bytes(300, 3)), sp_udp());
  EXPECT_TRUE(unite_to(*a2, *c, 2s)) << "A's credit went with the move to its other address";
  EXPECT_TRUE(unite_to(*c, *a1, 500ms));
}

TEST_F(SuperPeerServerTest, RelaysBetweenUdpAndTcpLinks) {
  start();
  auto a = node(true);
  auto b = node(true);
  a->send_udp(a->hello(1), sp_udp());
  ASSERT_TRUE(a->recv_udp());
  // B is heard over UDP first and then over TCP: the link is its path from then on.
  b->send_udp(b->hello(2), sp_udp());
  ASSERT_TRUE(b->recv_udp());
  b->connect(server_->tcp_endpoint());
  b->send_frame(b->hello(3));
  auto ack = b->recv_frame();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack_time(*b, *ack), 3u);

  const Bytes app = a->app_to(*b, Bytes(1000, 0xAB));
  a->send_udp(app, sp_udp());
  auto frame = b->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, app);
  auto ub_frame = b->recv_frame();
  ASSERT_TRUE(ub_frame);
  auto ub = unite(*b, *ub_frame);
  ASSERT_TRUE(ub);
  EXPECT_EQ(ub->first, a->pk());
  EXPECT_EQ(ub->second, std::vector<Endpoint>{a->udp_local()});
  auto ua_bytes = a->recv_udp();
  ASSERT_TRUE(ua_bytes);
  auto ua = unite(*a, *ua_bytes);
  ASSERT_TRUE(ua);
  EXPECT_EQ(ua->first, b->pk());
  EXPECT_EQ(ua->second, std::vector<Endpoint>{b->udp_local()});  // its observed UDP address

  const Bytes back = b->app_to(*a, {});
  b->send_frame(back);
  auto relayed = a->recv_udp();
  ASSERT_TRUE(relayed);
  EXPECT_EQ(*relayed, back);
  const auto s = server_->stats();
  EXPECT_EQ(s.relayed_tcp, 1u);
  EXPECT_EQ(s.relayed_udp, 1u);

  // When the link closes, B is reached over UDP again.
  b->close_link();
  ASSERT_TRUE(wait([](const auto& s) { return s.tcp_links == 0; }));
  a->send_udp(app, sp_udp());
  auto over_udp = b->recv_udp();
  ASSERT_TRUE(over_udp);
  EXPECT_EQ(*over_udp, app);
}

TEST_F(SuperPeerServerTest, NodeKnownOnlyByItsLinkIsForgottenWhenTheLinkCloses) {
  start();
  auto a = node(true);
  a->connect(server_->tcp_endpoint());
  a->send_frame(a->hello(1));
  ASSERT_TRUE(a->recv_frame());
  EXPECT_EQ(server_->known_nodes(), 1u);
  a->close_link();
  EXPECT_TRUE(wait([](const auto& s) { return s.tcp_links == 0 && s.known_nodes == 0; }));
}

TEST_F(SuperPeerServerTest, GarbageAndForeignPacketsGetNoAnswer) {
  start();
  auto n = node(true);
  auto other = node(true);
  Bytes foreign = *HelloSuperPeerMessage::build(network_id_from_u32(kNetwork + 1), n->pk(), n->id().pow(),
                                                n->key_with(sp_id_.pk()), sp_id_.pk(), 1, {});
  Bytes tampered = n->hello(2);
  tampered.back() ^= 0x01;
  Bytes wrong_key = *HelloSuperPeerMessage::build(kNet, n->pk(), n->id().pow(), n->key_with(other->pk()),
                                                  sp_id_.pk(), 3, {});
  Bytes truncated = n->hello(4);
  truncated.resize(LongHeader::kSize + 3);
  Bytes bad_version = n->hello(5);
  bad_version[4] = 2;
  const Bytes cases[] = {
      {},                                                        // empty datagram
      {0x1E, 0x3F, 0x50},                                        // shorter than any header
      Bytes(LongHeader::kSize - 1, 0x00),                        // shorter than a long header
      *ShortHeader::build(ShortId(7), std::nullopt, Bytes{1}),   // a short header
      Bytes(1500, 0xFF),                                         // noise
      foreign,                                                   // another network
      tampered,                                                  // fails authentication
      wrong_key,                                                 // armed for someone else
      truncated,                                                 // body cut short
      bad_version,                                               // unknown version
      n->app_to(*other, {1}),                                    // for a node it does not know
      *AppMessage::build(kNet, n->pk(), n->id().pow(), std::nullopt, sp_id_.pk(), Bytes{1}),  // APP for itself
      *AckMessage::build(kNet, n->pk(), n->id().pow(), std::nullopt, sp_id_.pk(), 1),         // ACK for itself
  };
  for (const auto& c : cases) n->send_udp(c, sp_udp());
  const auto count = std::size(cases);
  ASSERT_TRUE(wait([&](const auto& s) { return s.dropped == count; }));
  EXPECT_FALSE(n->recv_udp(0ms));
  EXPECT_EQ(server_->known_nodes(), 0u);

  // The same over TCP: frames are dropped one by one, the link stays.
  n->connect(server_->tcp_endpoint());
  for (const auto& c : cases) n->send_frame(c);
  n->send_frame(n->hello(99));
  auto frame = n->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ack_time(*n, *frame), 99u);  // the first thing it got back
  EXPECT_EQ(server_->stats().dropped, 2 * count);

  // Still serving UDP.
  n->send_udp(n->hello(100), sp_udp());
  auto reply = n->recv_udp();
  ASSERT_TRUE(reply);
  EXPECT_EQ(ack_time(*n, *reply), 100u);
}

TEST_F(SuperPeerServerTest, ServesOneFormOnly) {
  for (bool armed : {true, false}) {
    SCOPED_TRACE(armed ? "armed super peer" : "unarmed super peer");
    auto opts = options();
    opts.arm_messages = armed;
    start(opts);
    auto wrong = node(!armed);
    wrong->send_udp(wrong->hello(1), sp_udp());
    ASSERT_TRUE(wait([](const auto& s) { return s.dropped == 1 && s.hellos_refused == 1; }));
    EXPECT_FALSE(wrong->recv_udp(0ms));
    EXPECT_EQ(server_->known_nodes(), 0u);
    auto right = node(armed);
    right->send_udp(right->hello(2), sp_udp());
    auto reply = right->recv_udp();
    ASSERT_TRUE(reply);
    EXPECT_EQ(ack_time(*right, *reply), 2u);
  }
}

TEST_F(SuperPeerServerTest, UdpCanBeSwitchedOffToForceTcp) {
  auto opts = options();
  opts.answer_udp = false;
  start(opts);
  auto n = node(true);
  n->send_udp(n->hello(1), sp_udp());
  ASSERT_TRUE(wait([](const auto& s) { return s.dropped == 1; }));
  EXPECT_FALSE(n->recv_udp(0ms));
  EXPECT_EQ(server_->known_nodes(), 0u);

  n->connect(server_->tcp_endpoint());
  n->send_frame(n->hello(2));
  auto frame = n->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ack_time(*n, *frame), 2u);

  server_->set_answer_udp(true);
  n->send_udp(n->hello(3), sp_udp());
  auto reply = n->recv_udp();
  ASSERT_TRUE(reply);
  EXPECT_EQ(ack_time(*n, *reply), 3u);
}

TEST_F(SuperPeerServerTest, UnitesCanBeSwitchedOff) {
  auto opts = options();
  opts.send_unites = false;
  start(opts);
  auto a = node(true);
  auto b = node(true);
  for (auto* n : {a.get(), b.get()}) {
    n->send_udp(n->hello(1), sp_udp());
    ASSERT_TRUE(n->recv_udp());
  }
  const Bytes app = a->app_to(*b, {1});
  a->send_udp(app, sp_udp());
  auto relayed = b->recv_udp();
  ASSERT_TRUE(relayed);
  EXPECT_EQ(*relayed, app);
  a->send_udp(a->hello(2), sp_udp());
  ASSERT_TRUE(a->recv_udp());  // the ACK, not a UNITE
  EXPECT_FALSE(b->recv_udp(0ms));
  EXPECT_EQ(server_->stats().unites_sent, 0u);
}

TEST_F(SuperPeerServerTest, KnownNodesAreCappedOldestFirst) {
  auto opts = options();
  opts.max_nodes = 2;
  opts.node_idle_timeout = 0ms;  // any node may be forgotten to make room
  start(opts);
  auto first = node(true);
  auto second = node(true);
  auto third = node(true);
  for (auto* n : {first.get(), second.get(), third.get()}) {
    n->send_udp(n->hello(1), sp_udp());
    ASSERT_TRUE(n->recv_udp());
  }
  EXPECT_EQ(server_->known_nodes(), 2u);
  // The first was evicted: messages for it are dropped, those for the second still relayed.
  third->send_udp(third->app_to(*first, {1}), sp_udp());
  ASSERT_TRUE(wait([](const auto& s) { return s.dropped == 1; }));
  third->send_udp(third->app_to(*second, {2}), sp_udp());
  ASSERT_TRUE(second->recv_udp());
  EXPECT_FALSE(first->recv_udp(0ms));
}

// Once every place is held by a greeted link, another link is closed at once. (A link that has
// not greeted yet gives its place up instead: see the attack tests.)
TEST_F(SuperPeerServerTest, LinksBeyondTheCapAreClosed) {
  auto opts = options();
  opts.max_tcp_links = 1;
  start(opts);
  auto a = node(true);
  auto b = node(true);
  a->connect(server_->tcp_endpoint());
  a->send_frame(a->hello(4));
  ASSERT_TRUE(a->recv_frame());
  b->connect(server_->tcp_endpoint());
  EXPECT_TRUE(b->link_closed());
  a->send_frame(a->hello(5));
  auto frame = a->recv_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ack_time(*a, *frame), 5u);
}

// A full node table or link set, which refuses newcomers, is told to the operator with a
// warning, a few times per ten seconds however many newcomers knock.
TEST_F(SuperPeerServerTest, AFullTableOrLinkSetIsWarnedAboutAtALimitedRate) {
  auto& log = test::LogCapture::get();
  if (!log.installed()) GTEST_SKIP() << "another logger was installed first";
  struct Case {
    const char* what;
    const char* warning;
    std::function<void(SuperPeerOptions&)> shape;
    std::function<void(TestNode&)> knock;  // a newcomer that finds no room
  };
  const Case cases[] = {
      {"node table", "Super peer: the node table is full (2 nodes, all in use or heard from lately): refusing newcomers",
       [](SuperPeerOptions& o) { o.max_nodes = 2; },
       [&](TestNode& n) {
         const auto refused = server_->stats().hellos_refused;
         n.send_udp(n.hello(1), sp_udp());
         ASSERT_TRUE(wait([&](const SuperPeerStats& s) { return s.hellos_refused > refused; }));
         EXPECT_FALSE(n.recv_udp(0ms)) << "a newcomer got into a full table";
       }},
      {"TCP links", "Super peer: all 2 TCP links are taken, each greeted by its node: refusing new links",
       [](SuperPeerOptions& o) { o.max_tcp_links = 2; },
       [&](TestNode& n) {
         n.connect(server_->tcp_endpoint());
         EXPECT_TRUE(n.link_closed()) << "a link got into a full set";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto opts = options();
    c.shape(opts);
    start(opts);
    // Two nodes in use, each on its own link.
    auto a = node(true);
    auto b = node(true);
    for (auto* n : {a.get(), b.get()}) {
      n->connect(server_->tcp_endpoint());
      n->send_frame(n->hello(2));
      ASSERT_TRUE(n->recv_frame());
    }
    a->send_frame(a->app_to(*b, {1}));
    ASSERT_TRUE(b->recv_frame());
    b->send_frame(b->app_to(*a, {2}));
    ASSERT_TRUE(a->recv_frame());
    log.clear();
    for (int i = 0; i < 25; ++i) {
      auto newcomer = node(true);
      c.knock(*newcomer);
    }
    const auto warned = log.count(std::string("warning ") + c.warning);
    EXPECT_GE(warned, 1u);
    EXPECT_LE(warned, 10u);
    server_.reset();
  }
}

TEST_F(SuperPeerServerTest, StopClosesLinksAndSockets) {
  start();
  auto a = node(true);
  a->connect(server_->tcp_endpoint());
  a->send_frame(a->hello(1));
  ASSERT_TRUE(a->recv_frame());
  // A frame left half sent must not hold the stop up.
  a->send_raw({0x00, 0x10, 0x01});
  const auto tcp_at = server_->tcp_endpoint();
  server_->stop();
  EXPECT_TRUE(a->link_closed());
  tcp::socket late(io_);
  boost::system::error_code ec;
  late.connect(tcp_at, ec);
  EXPECT_EQ(ec, asio::error::connection_refused);
  server_->stop();  // idempotent
}

TEST_F(SuperPeerServerTest, DestroyedWithLinksOpenAndTrafficInFlight) {
  start();
  std::vector<std::unique_ptr<TestNode>> nodes;
  for (int i = 0; i < 4; ++i) {
    nodes.push_back(node(true));
    auto& n = *nodes.back();
    n.connect(server_->tcp_endpoint());
    n.send_frame(n.hello(1));
    ASSERT_TRUE(n.recv_frame());
  }
  // Relays queued for links nobody reads.
  for (int i = 0; i < 200; ++i) nodes[0]->send_frame(nodes[0]->app_to(*nodes[1], Bytes(1200, 1)));
  nodes[2]->send_raw({0xFF, 0xFF, 0x00});
  server_.reset();
  for (auto& n : nodes) EXPECT_TRUE(n->link_closed());
}

TEST_F(SuperPeerServerTest, PortsInUseAreReported) {
  start();
  auto opts = options();
  opts.udp_port = server_->udp_port();
  auto second = SuperPeerServer::start(rt_, opts);
  ASSERT_FALSE(second);
  EXPECT_NE(second.error().find("bind UDP 127.0.0.1:"), std::string::npos) << second.error();
  // Separate ports on request.
  auto split = options();
  split.tcp_port = 0;
  auto third = SuperPeerServer::start(rt_, split);
  ASSERT_TRUE(third) << third.error();
  EXPECT_NE((*third)->tcp_port(), 0);
}

}  // namespace
}  // namespace velarix::p2p
