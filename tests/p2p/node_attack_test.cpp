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
  struct Closer {
    std::vector<int>& fds;
    ~Closer() {
      for (int fd : fds) ::close(fd);
    }
  } closer{fillers};
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
  EXPECT_GE(victim->inner()->stats().refused.load(), 2u);
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
  const auto previous = ShortId::set_source(&colliding_draws);
  struct Restore {
    ShortId::Source s;
    ~Restore() { ShortId::set_source(s); }
  } restore{previous};

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
  auto ack = real.recv_until([](const Bytes& b) { return raw::type_of(b) == 0; });
  EXPECT_TRUE(ack) << "a peer with a valid proof of work was turned away";
  EXPECT_TRUE(t.peer(real.pk()));
}

}  // namespace
}  // namespace velarix::test
