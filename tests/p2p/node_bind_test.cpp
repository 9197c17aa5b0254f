// Binding a node, the super-peer host lookup, and one housekeeping pass over
// node peers and super peers, driven on a node state without its tasks.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include <boost/asio/io_context.hpp>

#include "node/node.h"
#include "node_test_support.h"
#include "util/net.h"

namespace velarix::test {
namespace {

namespace ip = boost::asio::ip;
using namespace std::chrono_literals;

std::expected<std::shared_ptr<NodeInner>, Error> try_create(util::Runtime& rt, NodeOpts opts) {
  return util::block_on(rt, NodeInner::create(std::move(opts)));
}

// Three sockets on each of two loopback addresses, the port left to the system.
NodeOpts two_addresses_three_sockets(const Identity& id) {
  auto opts = loopback_opts(id, {super_peer_url(make_identity().pk(), "127.0.0.1:9", 5)}, true,
                            std::make_shared<RecordingSink>());
  opts.udp_addrs = {ip::make_address("127.0.0.1"), ip::make_address("127.0.0.2")};
  opts.udp_sockets = 3;
  return opts;
}

TEST(Bind, SocketsPerAddressAndPorts) {
  util::Runtime rt{2};
  const auto id = make_identity();
  auto opts = two_addresses_three_sockets(id);
  auto inner = try_create(rt, opts);
  ASSERT_TRUE(inner) << inner.error().message();
  const auto bindings = (*inner)->udp_bindings();
  ASSERT_EQ(bindings->size(), 6u);
  for (const auto& b : *bindings) EXPECT_NE(b->local_addr().port(), 0);
  // One UDP path from every local address to the super peer: the sockets of an address share
  // its port, so they are one local end.
  auto sp = (*inner)->peers_list().super_peer(opts.super_peers[0].pk());
  ASSERT_TRUE(sp);
  EXPECT_EQ(sp->udp_paths().size(), 2u);
  EXPECT_EQ((*inner)->network_id(), network_id_from_u32(5));
  EXPECT_EQ((*inner)->peers_list().default_route(), opts.super_peers[0].pk());
  EXPECT_TRUE((*inner)->x25519_sk() && sp->message_key());

  // Without a port option every socket takes the port of the own key.
  opts.udp_addrs = {ip::make_address("127.0.0.1")};
  opts.udp_sockets = 2;
  opts.udp_port.reset();
  auto derived = try_create(rt, opts);
  ASSERT_TRUE(derived) << derived.error().message();
  for (const auto& b : *(*derived)->udp_bindings()) EXPECT_EQ(b->local_addr().port(), id.pk().udp_port());
}

// A port left to the system is one port for every socket, and it is not one that another
// process's sharing sockets hold: sharing it would split their datagrams with ours.
TEST(Bind, PortChosenBySystemIsOneAndSharedWithNoOneElse) {
  // Sockets of "another process": port sharing on, ports chosen by the system.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const std::size_t held_count = std::min<std::size_t>(6000, limit.rlim_cur > 1000 ? limit.rlim_cur - 1000 : 0);
  if (held_count < 2000) GTEST_SKIP() << "too few file descriptors allowed to hold the ports";
  std::vector<int> held;
  std::set<std::uint16_t> held_ports;
  for (std::size_t i = 0; i < held_count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    held.push_back(fd);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    held_ports.insert(ntohs(a.sin_port));
  }
  ClosesFds close_held{held};

  util::Runtime rt{2};
  for (int n = 0; n < 10; ++n) {
    auto inner = try_create(rt, two_addresses_three_sockets(make_identity()));
    ASSERT_TRUE(inner) << inner.error().message();
    const auto bindings = (*inner)->udp_bindings();
    ASSERT_EQ(bindings->size(), 6u);
    const std::uint16_t port = bindings->front()->local_addr().port();
    EXPECT_NE(port, 0);
    EXPECT_EQ((*inner)->udp_port(), port);
    EXPECT_FALSE(held_ports.contains(port)) << "port " << port << " is shared with another process's sockets";
    for (const auto& b : *bindings) EXPECT_EQ(b->local_addr().port(), port);
  }
}

TEST(Bind, Refusals) {
  util::Runtime rt{2};
  const auto sp = make_identity().pk();
  auto base = [&] {
    return loopback_opts(make_identity(), {super_peer_url(sp, "127.0.0.1:9", 5)}, true,
                         std::make_shared<RecordingSink>());
  };
  {
    auto opts = base();
    opts.udp_addrs = {ip::make_address("192.0.2.1")};  // not an address of this host
    auto r = try_create(rt, opts);
    ASSERT_FALSE(r);
    ASSERT_EQ(r.error().kind(), Error::Kind::BindError);
    EXPECT_EQ(r.error().get<Error::BindError>()->addr.address(), ip::make_address("192.0.2.1"));
  }
  {
    auto opts = base();
    opts.super_peers.clear();
    auto r = try_create(rt, opts);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::NoSuperPeers);
  }
  {
    auto opts = base();
    opts.super_peers.push_back(super_peer_url(make_identity().pk(), "127.0.0.1:10", 6));
    auto r = try_create(rt, opts);
    ASSERT_FALSE(r);
    ASSERT_EQ(r.error().kind(), Error::Kind::SuperPeerNetworkIdMismatch);
    EXPECT_EQ(r.error().get<Error::SuperPeerNetworkIdMismatch>()->first, network_id_from_u32(5));
    EXPECT_EQ(r.error().get<Error::SuperPeerNetworkIdMismatch>()->other, network_id_from_u32(6));
  }
}

TEST(Bind, UnarmedNodeHasNoKeysAndMaxPeersZeroBinds) {
  util::Runtime rt{2};
  auto opts = loopback_opts(make_identity(), {super_peer_url(make_identity().pk(), "127.0.0.1:9", 5)}, false,
                            std::make_shared<RecordingSink>());
  opts.max_peers = 0;
  auto inner = try_create(rt, opts);
  ASSERT_TRUE(inner);
  EXPECT_FALSE((*inner)->x25519_sk());
  EXPECT_FALSE((*inner)->peers_list().super_peer(opts.super_peers[0].pk())->message_key());
}

TEST(LookupHost, LiteralsFailuresAndTimeout) {
  util::Runtime rt{2};
  auto v4 = util::block_on(rt, SuperPeer::lookup_host("192.0.2.1:4000"));
  ASSERT_TRUE(v4);
  EXPECT_EQ(*v4, (ResolvedAddrs{ip::udp::endpoint(ip::make_address("192.0.2.1"), 4000)}));
  auto v6 = util::block_on(rt, SuperPeer::lookup_host("[2001:db8::1]:5"));
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->front(), ip::udp::endpoint(ip::make_address("2001:db8::1"), 5));

  for (const char* bad : {"localhost", "192.0.2.1", "host:port", ":80"}) {
    auto r = util::block_on(rt, SuperPeer::lookup_host(bad));
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().kind(), PeerError::Kind::SuperPeerLookupFailed) << bad;
    EXPECT_EQ(r.error().get<PeerError::SuperPeerLookupFailed>()->address, bad);
  }

  auto timed_out = util::block_on(rt, SuperPeer::lookup_host("localhost:80", 0ms));
  ASSERT_FALSE(timed_out);
  ASSERT_EQ(timed_out.error().kind(), PeerError::Kind::SuperPeerResolveTimeout);
  EXPECT_EQ(timed_out.error().get<PeerError::SuperPeerResolveTimeout>()->address, "localhost:80");
}

// A node state with one super peer whose UDP address is a socket the test reads.
struct HousekeepingFixture {
  explicit HousekeepingFixture(bool enforce_tcp = false) {
    timeval tv{0, 100'000};
    ::setsockopt(sp_socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto opts = loopback_opts(self, {super_peer_url(sp.pk(), util::net::to_string(sp_socket.local_endpoint()), 1)},
                              false, std::make_shared<RecordingSink>());
    opts.enforce_tcp = enforce_tcp;
    inner = create_inner(rt, opts);
    super_peer = inner->peers_list().super_peer(sp.pk());
    peer = *inner->admit_node_peer(other.pk(), std::nullopt, true);
  }
  // How many datagrams reached the super peer's socket, and of which types.
  std::vector<std::uint8_t> received_types() {
    std::vector<std::uint8_t> types;
    std::vector<std::uint8_t> buf(2000);
    for (;;) {
      const auto n = ::recv(sp_socket.native_handle(), buf.data(), buf.size(), 0);
      if (n < 0) return types;
      if (auto h = LongHeader::parse(std::span(buf.data(), static_cast<std::size_t>(n)))) {
        types.push_back(h->recipient() == sp.pk() ? 0xFF : h->type_byte());
      }
    }
  }
  std::expected<void, Error> node_peer_pass() {
    return util::block_on(rt, inner->node_peer_housekeeping(other.pk(), *peer, NodeInner::current_time()));
  }
  std::expected<void, Error> super_peer_pass() {
    return util::block_on(rt, inner->super_peer_housekeeping(sp.pk(), super_peer, NodeInner::current_time(),
                                                             {ip::make_address("127.0.0.1")}, {}));
  }
  PeerPathKey local_path_to(const ip::udp::endpoint& remote) const {
    return PeerPathKey{inner->udp_bindings()->front()->local_addr(), remote};
  }

  util::Runtime rt{2};
  boost::asio::io_context io;
  ip::udp::socket sp_socket{io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)};
  Identity self = make_identity();
  Identity sp = make_identity();
  Identity other = make_identity();
  std::shared_ptr<NodeInner> inner;
  std::shared_ptr<SuperPeer> super_peer;
  std::shared_ptr<NodePeer> peer;
};

TEST(NodePeerHousekeeping, DrawsAMissingRxShortId) {
  HousekeepingFixture f;
  f.inner->peers_list().short_ids.erase(f.peer->rx_short_id());
  f.peer->set_rx_short_id(ShortId());
  ASSERT_TRUE(f.node_peer_pass());
  ASSERT_TRUE(f.peer->rx_short_id().is_valid());
  EXPECT_EQ(f.inner->peers_list().short_ids.get(f.peer->rx_short_id()), f.other.pk());
}

// Draws that return another peer's rx short id first, then a free one.
std::atomic<std::uint32_t> g_taken_id{0};
std::atomic<int> g_draw{0};
std::uint32_t taken_then_free() { return g_draw++ == 0 ? g_taken_id.load() : 0x0BADF00D; }

// A drawn rx short id that another peer holds is drawn again: that peer keeps its entry (its
// short-header traffic would otherwise go to the peer that drew it).
TEST(NodePeerHousekeeping, DrawnRxShortIdHeldByAnotherPeerIsDrawnAgain) {
  HousekeepingFixture f;
  const Identity holder = make_identity();
  auto held = *f.inner->admit_node_peer(holder.pk(), std::nullopt, true);
  f.inner->peers_list().short_ids.erase(f.peer->rx_short_id());
  f.peer->set_rx_short_id(ShortId());
  g_taken_id = held->rx_short_id().value();
  g_draw = 0;
  const ScopedShortIdSource draws(&taken_then_free);

  ASSERT_TRUE(f.node_peer_pass());
  EXPECT_EQ(f.inner->peers_list().short_ids.get(held->rx_short_id()), holder.pk());
  EXPECT_EQ(f.peer->rx_short_id(), ShortId(0x0BADF00D));
  EXPECT_EQ(f.inner->peers_list().short_ids.get(ShortId(0x0BADF00D)), f.other.pk());
}

TEST(NodePeerHousekeeping, WithoutTrafficNoHelloAndNoPaths) {
  HousekeepingFixture f;
  const ip::udp::endpoint remote(ip::make_address("127.0.0.1"), f.sp_socket.local_endpoint().port());
  f.peer->direct_path(f.local_path_to(remote), NodeInner::current_time(), 1000);
  f.peer->relay_paths().insert_if_absent(f.sp.pk(), std::make_shared<PeerPath>());
  f.peer->set_tx_short_id(ShortId(77));
  ASSERT_TRUE(f.node_peer_pass());
  EXPECT_TRUE(f.peer->paths().empty());
  EXPECT_TRUE(f.peer->relay_paths().empty());
  EXPECT_FALSE(f.peer->tx_short_id()) << "an unreachable peer kept its short id";
  EXPECT_TRUE(f.received_types().empty());
}

TEST(NodePeerHousekeeping, UnreachablePeerWithTrafficGetsDirectAndRelayedHellos) {
  HousekeepingFixture f;
  f.peer->app_rx(NodeInner::current_time());
  f.peer->earn_probe_credit(1000);  // what the peer sent pays for HELLOs to its unanswered endpoints
  // A direct path on the super peer's socket (so the test sees the HELLO) and one whose binding is gone.
  const auto sp_addr = f.sp_socket.local_endpoint();
  f.peer->direct_path(f.local_path_to(sp_addr), NodeInner::current_time(), 1000);
  f.peer->direct_path(PeerPathKey{ip::udp::endpoint(ip::make_address("127.0.0.1"), 1), sp_addr},
                      NodeInner::current_time(), 1000);
  ASSERT_TRUE(f.node_peer_pass());
  EXPECT_EQ(f.peer->paths().size(), 1u) << "the path without a binding stayed";
  // One HELLO on the direct path, one relayed through the super peer: both to the peer.
  EXPECT_EQ(f.received_types(), (std::vector<std::uint8_t>{2, 2}));
  EXPECT_TRUE(f.peer->relay_paths().contains(f.sp.pk()));
}

TEST(NodePeerHousekeeping, ReachablePeerLosesItsRelayPaths) {
  HousekeepingFixture f;
  f.peer->app_rx(NodeInner::current_time());
  auto path =
      f.peer->direct_path(f.local_path_to(f.sp_socket.local_endpoint()), NodeInner::current_time(), 1000);
  const auto sent = NodeInner::current_time();
  path->hello_tx(sent);
  path->ack_rx(NodeInner::current_time(), f.sp_socket.local_endpoint(), sent);
  f.peer->relay_paths().insert_if_absent(f.sp.pk(), std::make_shared<PeerPath>());
  f.peer->set_tx_short_id(ShortId(77));
  ASSERT_TRUE(f.node_peer_pass());
  EXPECT_TRUE(f.peer->relay_paths().empty());
  EXPECT_EQ(f.peer->tx_short_id(), ShortId(77));
  EXPECT_EQ(f.received_types(), (std::vector<std::uint8_t>{2}));
}

TEST(SuperPeerHousekeeping, HelloOnEveryUdpPathAndTcpRule) {
  for (bool enforce : {false, true}) {
    SCOPED_TRACE(enforce ? "enforced" : "not enforced");
    HousekeepingFixture f(enforce);
    auto conn = f.super_peer->new_tcp_path(f.inner->token());
    auto path = f.super_peer->udp_paths().get(f.local_path_to(f.sp_socket.local_endpoint()));
    ASSERT_TRUE(path);
    const auto sent = NodeInner::current_time();
    (*path)->hello_tx(sent);
    (*path)->ack_rx(NodeInner::current_time(), f.sp_socket.local_endpoint(), sent);
    ASSERT_TRUE(f.super_peer_pass());
    EXPECT_EQ(conn->is_cancelled(), !enforce) << "a reachable UDP path decides only without enforced TCP";
    EXPECT_EQ(f.received_types(), (std::vector<std::uint8_t>{0xFF}));  // one HELLO to the super peer
  }
}

TEST(SuperPeerHousekeeping, UnansweredUdpAsksForTcp) {
  HousekeepingFixture f;
  const auto now = NodeInner::current_time();
  EXPECT_FALSE(f.super_peer->establish_tcp_connection(now, 1000, false));
  (*f.super_peer->udp_paths().get(f.local_path_to(f.sp_socket.local_endpoint())))->hello_tx(now - 2'000'000);
  EXPECT_TRUE(f.super_peer->establish_tcp_connection(now, 1000, false));
  auto conn = f.super_peer->new_tcp_path(f.inner->token());
  EXPECT_FALSE(f.super_peer->establish_tcp_connection(now, 1000, true)) << "a live link is enough";
  conn->cancel_connection();
  EXPECT_TRUE(f.super_peer->establish_tcp_connection(now, 1000, true));
}

bool host_has(const ip::address& a) {
  auto addrs = util::net::get_addrs();
  return addrs && std::any_of(addrs->begin(), addrs->end(), [&](const auto& p) { return p.second == a; });
}

// A node, unarmed, whose two super peers are sockets the test reads: one on 127.0.0.1, one on
// ::1. Without `udp_addrs` it binds every address of the host.
struct TwoSuperPeerSockets {
  explicit TwoSuperPeerSockets(std::vector<ip::address> udp_addrs = {}) {
    for (auto* s : {&sp4, &sp6}) {
      timeval tv{0, 100'000};
      ::setsockopt(s->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    auto opts = loopback_opts(self,
                              {super_peer_url(sp4_id.pk(), util::net::to_string(sp4.local_endpoint()), 1),
                               super_peer_url(sp6_id.pk(), util::net::to_string(sp6.local_endpoint()), 1)},
                              false, std::make_shared<RecordingSink>());
    opts.udp_addrs = std::move(udp_addrs);
    inner = create_inner(rt, opts);
  }
  bool pass() {
    auto r = util::block_on(rt, inner->housekeeping());
    if (!r) ADD_FAILURE() << r.error().message();
    return r.has_value();
  }
  std::vector<ip::address> bound() const {
    std::vector<ip::address> out;
    for (const auto& b : *inner->udp_bindings()) {
      if (!b->is_cancelled()) out.push_back(b->local_addr().address());
    }
    return out;
  }
  std::vector<ip::address> sp4_path_locals() const {
    std::vector<ip::address> out;
    const auto snapshot = inner->peers_list().super_peer(sp4_id.pk())->udp_paths().snapshot();
    for (const auto& [key, path] : *snapshot) out.push_back(key.local.address());
    return out;
  }
  // What the HELLOs that reached `s` since the last call came from and announced.
  struct Heard {
    std::vector<ip::address> sources;
    std::vector<ip::address> announced;
  };
  Heard heard(ip::udp::socket& s) {
    Heard h;
    std::vector<std::uint8_t> buf(2000);
    for (;;) {
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      const auto n = ::recvfrom(s.native_handle(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) return h;
      ip::udp::endpoint src;
      std::memcpy(src.data(), &from, len);
      const auto packet = std::span(buf.data(), static_cast<std::size_t>(n));
      auto header = LongHeader::parse(packet);
      if (!header) continue;
      auto hello = HelloSuperPeerMessage::parse(packet.subspan(LongHeader::kSize), *header, std::nullopt);
      if (!hello) continue;
      h.sources.push_back(src.address());
      for (const auto& ep : hello->endpoints()) h.announced.push_back(ep.address());
    }
  }

  util::Runtime rt{2};
  boost::asio::io_context io;
  ip::udp::socket sp4{io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)};
  ip::udp::socket sp6{io, ip::udp::endpoint(ip::make_address("::1"), 0)};
  Identity self = make_identity();
  Identity sp4_id = make_identity();
  Identity sp6_id = make_identity();
  std::shared_ptr<NodeInner> inner;
};

const util::net::IpNetwork kLoopbackOverlay{ip::make_address("127.0.0.0"), 8};
bool in_overlay(const std::vector<ip::address>& addrs) {
  return std::any_of(addrs.begin(), addrs.end(), [](const auto& a) { return kLoopbackOverlay.contains(a); });
}

// The tunnel's own addresses are the overlay's: a node on every host address drops its bindings
// on them at the next pass, no longer announces them or sends from them, and takes them back
// once the network is gone. (127.0.0.0/8 stands in for an overlay network here.)
TEST(BindingHousekeeping, OverlayAddressesGoAndComeBackWithTheirNetworks) {
  if (!host_has(ip::make_address("127.0.0.1")) || !host_has(ip::make_address("::1"))) {
    GTEST_SKIP() << "needs 127.0.0.1 and ::1 on this host";
  }
  TwoSuperPeerSockets f;
  struct Stage {
    const char* what;
    std::vector<util::net::IpNetwork> overlay;
    bool on_loopback;
  };
  for (const Stage& stage : {Stage{"before any network", {}, true},
                             Stage{"127.0.0.0/8 applied", {kLoopbackOverlay}, false},
                             Stage{"and removed again", {}, true}}) {
    SCOPED_TRACE(stage.what);
    f.inner->set_overlay_networks(stage.overlay);
    f.heard(f.sp4);
    f.heard(f.sp6);
    ASSERT_TRUE(f.pass());
    EXPECT_EQ(in_overlay(f.bound()), stage.on_loopback) << "bindings";
    EXPECT_EQ(in_overlay(f.sp4_path_locals()), stage.on_loopback) << "paths to the IPv4 super peer";
    // The IPv6 super peer hears from ::1 in every stage: what the node announces.
    const auto six = f.heard(f.sp6);
    ASSERT_FALSE(six.sources.empty());
    EXPECT_EQ(in_overlay(six.announced), stage.on_loopback) << "announced endpoints";
    EXPECT_EQ(in_overlay(f.heard(f.sp4).sources), stage.on_loopback) << "HELLOs sent from";
  }
}

// Addresses named in `udp_addrs` stay as given; a wildcard one stands for the host's addresses
// outside the overlay networks.
TEST(BindingHousekeeping, ConfiguredAddressesStayAndAWildcardAnnouncesNoOverlayAddress) {
  if (!host_has(ip::make_address("127.0.0.1")) || !host_has(ip::make_address("::1"))) {
    GTEST_SKIP() << "needs 127.0.0.1 and ::1 on this host";
  }
  {
    SCOPED_TRACE("127.0.0.1 configured");
    TwoSuperPeerSockets f({ip::make_address("127.0.0.1")});
    f.inner->set_overlay_networks({kLoopbackOverlay});
    ASSERT_TRUE(f.pass());
    EXPECT_EQ(f.bound(), std::vector{ip::make_address("127.0.0.1")});
    EXPECT_EQ(f.heard(f.sp4).sources, std::vector{ip::make_address("127.0.0.1")});
  }
  {
    SCOPED_TRACE("0.0.0.0 and ::1 configured");
    TwoSuperPeerSockets f({ip::make_address("0.0.0.0"), ip::make_address("::1")});
    f.inner->set_overlay_networks({kLoopbackOverlay});
    ASSERT_TRUE(f.pass());
    const auto six = f.heard(f.sp6);
    ASSERT_FALSE(six.sources.empty());
    EXPECT_FALSE(in_overlay(six.announced));
    f.inner->set_overlay_networks({});
    ASSERT_TRUE(f.pass());
    EXPECT_TRUE(in_overlay(f.heard(f.sp6).announced)) << "127.0.0.1 is announced again";
  }
}

TEST(IpNetwork, Contains) {
  struct Case {
    const char* net;
    std::uint8_t len;
    const char* ip;
    bool in;
  };
  for (const Case& c : {Case{"198.19.0.0", 24, "198.19.0.7", true}, Case{"198.19.0.1", 24, "198.19.1.1", false},
                        Case{"198.19.0.1", 23, "198.19.1.1", true}, Case{"10.0.0.0", 0, "192.0.2.1", true},
                        Case{"198.19.0.1", 32, "198.19.0.1", true}, Case{"198.19.0.1", 32, "198.19.0.2", false},
                        Case{"198.19.0.1", 40, "198.19.0.1", true}, Case{"198.19.0.0", 24, "::ffff:198.19.0.1", false},
                        Case{"fd00::", 8, "fdff::1", true}, Case{"fd00::", 9, "fd80::1", false},
                        Case{"::", 0, "198.19.0.1", false}}) {
    const util::net::IpNetwork n{ip::make_address(c.net), c.len};
    EXPECT_EQ(n.contains(ip::make_address(c.ip)), c.in) << c.net << "/" << int(c.len) << " " << c.ip;
  }
}

TEST(PeerPath, ReachabilityStalenessAndMedian) {
  PeerPath p;
  const std::uint64_t t = 1'000'000'000;
  EXPECT_FALSE(p.inner()->hello_tx);
  p.hello_tx(t);
  p.hello_tx(t + 5);  // the oldest unanswered one is kept
  EXPECT_EQ(p.inner()->hello_tx, std::optional<std::uint64_t>(t));
  EXPECT_FALSE(p.is_stale(t + 1'000'000, 1000));
  EXPECT_TRUE(p.is_stale(t + 1'000'001, 1000));
  EXPECT_FALSE(p.ack_rx(t + 900, ip::udp::endpoint(), t + 3)) << "an ACK for a HELLO never sent on the path";
  EXPECT_FALSE(p.is_reachable(t + 900, 1000));
  EXPECT_TRUE(p.ack_rx(t + 1000, ip::udp::endpoint(), t));
  EXPECT_FALSE(p.ack_rx(t + 1100, ip::udp::endpoint(), t)) << "a HELLO is answered once";
  p.hello_tx(t + 1500);
  EXPECT_TRUE(p.ack_rx(t + 4000, ip::udp::endpoint(), t + 1500));
  EXPECT_EQ(p.inner()->median_latency(), std::optional<std::uint64_t>(1750));
  EXPECT_TRUE(p.is_reachable(t + 4000 + 1'000'000, 1000));
  EXPECT_FALSE(p.is_reachable(t + 4000 + 1'000'001, 1000));
  EXPECT_FALSE(p.is_stale(t + 10'000'000, 1000)) << "no HELLO is unanswered";
}

}  // namespace
}  // namespace velarix::test
