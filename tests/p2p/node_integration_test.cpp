// Two nodes and a super peer on loopback, in one process: relayed delivery, the
// direct path, TCP links (enforced and as fall-back) and re-binding.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "node/node.h"
#include "junk_flood.h"
#include "node_test_support.h"
#include "superpeer/super_peer_server.h"

namespace velarix::test {
namespace {

using namespace std::chrono_literals;
namespace ip = boost::asio::ip;
constexpr std::uint32_t kNetwork = 42;

struct Overlay {
  explicit Overlay(bool arm, std::function<void(SuperPeerOptions&)> sp_tweak = {},
                   std::function<void(NodeOpts&)> node_tweak = {}) {
    SuperPeerOptions so{.identity = make_identity(), .network_id = kNetwork};
    so.unite_interval = 200ms;
    so.arm_messages = arm;
    so.min_pow_difficulty = 0;
    if (sp_tweak) sp_tweak(so);
    auto started = SuperPeerServer::start(rt, so);
    if (!started) throw std::runtime_error(started.error());
    server = std::move(*started);
    a = bind_node(ida, arm, sink_a, node_tweak);
    b = bind_node(idb, arm, sink_b, node_tweak);
  }
  ~Overlay() {
    a.reset();
    b.reset();
    server->stop();
  }

  std::shared_ptr<Node> bind_node(const Identity& id, bool arm, std::shared_ptr<RecordingSink> sink,
                                  const std::function<void(NodeOpts&)>& tweak) {
    auto opts = loopback_opts(id, {server->url()}, arm, std::move(sink));
    if (tweak) tweak(opts);
    auto node = util::block_on(rt, Node::bind(std::move(opts)));
    if (!node) throw std::runtime_error(node.error().message());
    return *node;
  }

  // Sends numbered payloads from A to B until `done` holds for what B got (true)
  // or the deadline passes (false). Each payload is 1,000 bytes with its number.
  bool send_until(const std::function<bool(const std::vector<std::uint8_t>& last)>& done,
                  std::chrono::milliseconds deadline = 15s) {
    auto handle = a->send_handle(idb.pk());
    if (!handle) return false;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      std::vector<std::uint8_t> payload(1000);
      const std::uint32_t n = ++counter;
      for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(n * 31 + i);
      (void)util::block_on(rt, (*handle)->send(payload));
      const bool got = sink_b->wait_until(
          [&](const auto& rx) { return !rx.empty() && rx.back().second == payload && done(payload); }, 50ms);
      if (got) return true;
    }
    return false;
  }

  util::Runtime rt{4};
  Identity ida = make_identity();
  Identity idb = make_identity();
  std::shared_ptr<RecordingSink> sink_a = std::make_shared<RecordingSink>();
  std::shared_ptr<RecordingSink> sink_b = std::make_shared<RecordingSink>();
  std::unique_ptr<SuperPeerServer> server;
  std::shared_ptr<Node> a, b;
  std::atomic<std::uint32_t> counter{0};
};

bool direct(const Node& node, const PubKey& peer) {
  auto h = const_cast<Node&>(node).send_handle(peer);
  if (!h) return false;
  auto st = (*h)->state();
  return st->direct_path && st->tx_short_id;
}

class Integration : public ::testing::TestWithParam<bool> {};

TEST_P(Integration, RelayedFirstThenDirectWithShortHeaders) {
  Overlay o(GetParam());
  // Relayed through the super peer at first.
  ASSERT_TRUE(o.send_until([](const auto&) { return true; }));
  EXPECT_GT(o.server->stats().relayed_udp, 0u);
  EXPECT_EQ(o.sink_b->received().back().first, o.ida.pk());

  // UNITE, HELLO and ACK run; the handle then holds a direct path and a short id.
  ASSERT_TRUE(o.send_until([&](const auto&) { return direct(*o.a, o.idb.pk()); }));
  const auto relayed = o.server->stats().relayed_udp;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(o.send_until([](const auto&) { return true; }, 5s));
  EXPECT_EQ(o.server->stats().relayed_udp, relayed) << "payloads still went through the super peer";
  auto peer = o.a->peers_list().node_peer(o.idb.pk());
  ASSERT_TRUE(peer);
  EXPECT_TRUE(peer->best_path_key());
}

// The direct path is taken when its first ACK comes, not a whole pass later: the one pass here
// comes at start-up, and only the UNITE makes the nodes probe each other.
TEST_P(Integration, DirectPathIsTakenAtItsFirstAckWithoutWaitingForAPass) {
  Overlay o(GetParam(), {}, [](NodeOpts& opts) {
    opts.housekeeping_interval = 600'000;
    opts.hello_timeout = 600'000;
  });
  ASSERT_TRUE(o.send_until([](const auto&) { return true; }));
  // B answers (what a peer sends pays for the probes it is sent).
  auto back = o.b->send_handle(o.ida.pk());
  ASSERT_TRUE(back);
  (void)util::block_on(o.rt, (*back)->send(std::vector<std::uint8_t>(1000, 7)));
  ASSERT_TRUE(o.sink_a->wait_until([](const auto& rx) { return !rx.empty(); }, 5s));
  auto handle = o.a->send_handle(o.idb.pk());
  ASSERT_TRUE(handle);
  EXPECT_TRUE(o.send_until([&](const auto&) { return (*handle)->state()->direct_path.has_value(); }, 5s))
      << "the answered direct path waits for the next pass";
  auto peer = o.a->peers_list().node_peer(o.idb.pk());
  ASSERT_TRUE(peer);
  EXPECT_TRUE(peer->best_path_key());
}

TEST_P(Integration, EnforcedTcpRelaysThroughTheLink) {
  Overlay o(GetParam(), {}, [](NodeOpts& opts) {
    opts.enforce_tcp = true;
    opts.process_unites = false;
  });
  ASSERT_TRUE(o.server->wait_for([](const SuperPeerStats& s) { return s.tcp_links >= 2; }, 10s));
  // Once A's handle has the link, relayed payloads take it.
  ASSERT_TRUE(o.send_until([&](const auto&) {
    auto h = o.a->send_handle(o.idb.pk());
    return h && (*h)->state()->relay_tcp != nullptr;
  }));
  // And the super peer hands them to B over B's link, once B's greeting on it has been read
  // (a link counts as up before that).
  const auto before = o.server->stats().relayed_tcp;
  EXPECT_TRUE(o.send_until([&](const auto&) { return o.server->stats().relayed_tcp > before; }));
  auto sp = o.a->peers_list().super_peer(o.server->public_key());
  ASSERT_TRUE(sp && sp->tcp_connection());
}

// Over links alone (TCP enforced, UDP dropped by the super peer), the HELLOs a node relays to its
// peer are answered over the links too: the peer takes a frame of its link as one that came
// through the super peer, and the node's relay path to the peer becomes reachable.
TEST_P(Integration, RelayedHellosOverLinksAreAnsweredOverTheLinks) {
  Overlay o(GetParam(), [](SuperPeerOptions& so) { so.answer_udp = false; },
            [](NodeOpts& opts) {
              opts.enforce_tcp = true;
              opts.process_unites = false;
            });
  ASSERT_TRUE(o.server->wait_for([](const SuperPeerStats& s) { return s.tcp_links >= 2; }, 10s));
  ASSERT_TRUE(o.send_until([](const auto&) { return true; }));
  auto sp = o.a->peers_list().super_peer(o.server->public_key());
  ASSERT_TRUE(sp);
  std::shared_ptr<PeerPath> relay;
  EXPECT_TRUE(o.send_until([&](const auto&) {
    auto peer = o.a->peers_list().node_peer(o.idb.pk());
    auto path = peer ? peer->relay_paths().get(o.server->public_key()) : std::nullopt;
    if (path && (*path)->inner()->last_ack_time != 0) relay = *path;
    return relay != nullptr;
  })) << "B's ACKs to A's relayed HELLOs never came";
  ASSERT_TRUE(relay);
  auto link = sp->tcp_connection();
  ASSERT_TRUE(link && link->remote());
  EXPECT_EQ(relay->inner()->last_ack_src, link->remote()) << "the ACK came another way than A's link";
  EXPECT_EQ(o.server->stats().relayed_udp, 0u);
}

TEST_P(Integration, FallsBackToTcpWhenUdpGoesUnanswered) {
  Overlay o(GetParam(), [](SuperPeerOptions& so) { so.answer_udp = false; },
            [](NodeOpts& opts) { opts.process_unites = false; });
  ASSERT_TRUE(o.server->wait_for([](const SuperPeerStats& s) { return s.tcp_links >= 2; }, 10s));
  ASSERT_TRUE(o.send_until([](const auto&) { return true; }));
  EXPECT_GT(o.server->stats().relayed_tcp, 0u);
  EXPECT_EQ(o.server->stats().relayed_udp, 0u);
}

TEST_P(Integration, CancelledBindingsAreReboundAndTrafficResumes) {
  Overlay o(GetParam());
  ASSERT_TRUE(o.send_until([&](const auto&) { return direct(*o.a, o.idb.pk()); }));

  const auto old_a = o.a->udp_bindings();
  const auto old_b = o.b->udp_bindings();
  for (const auto& bnd : *old_a) bnd->cancel_binding();
  for (const auto& bnd : *old_b) bnd->cancel_binding();
  auto rebound = [](const Node& n, const UdpBindings& old) {
    auto now = n.udp_bindings();
    if (now->empty()) return false;
    for (const auto& b : *now) {
      if (b->is_cancelled() || std::find(old.begin(), old.end(), b) != old.end()) return false;
    }
    return true;
  };
  ASSERT_TRUE(o.send_until([&](const auto&) { return rebound(*o.a, *old_a) && rebound(*o.b, *old_b); }));
  // Traffic flows again, directly once the paths are found anew.
  ASSERT_TRUE(o.send_until([&](const auto&) { return direct(*o.a, o.idb.pk()); }));
}

// B restarts with its identity and port while A sends to it one way over the direct path. The
// new B draws new short ids and sends A nothing of its own accord, yet must be heard within a
// housekeeping interval: A learns B's new short id (and uses it) once B has read one HELLO of A.
// `flood`, when given, is sent towards the new B (at 5,000 datagrams a second) from the moment
// it is bound until A is heard.
void one_way_flow_reaches_a_restarted_peer(bool arm, const junk::FloodShape* flood = nullptr) {
  constexpr std::uint64_t kInterval = 1000;
  auto tweak = [](NodeOpts& opts) {
    opts.housekeeping_interval = kInterval;
    opts.hello_timeout = 10'000;  // A keeps B's path through the restart
  };
  Overlay o(arm, {}, tweak);
  ASSERT_TRUE(o.send_until([&](const auto&) { return direct(*o.a, o.idb.pk()); }, 20s));
  auto handle = *o.a->send_handle(o.idb.pk());
  const auto old_id = handle->state()->tx_short_id;
  ASSERT_TRUE(old_id);

  const auto datagrams = flood ? flood->junk(o.idb.pk(), kNetwork, 0) : std::vector<junk::Bytes>{};
  const auto port = o.b->udp_bindings()->front()->local_addr().port();
  std::weak_ptr<NodeInner> old_b = o.b->inner();
  o.b.reset();
  const auto released = std::chrono::steady_clock::now() + 10s;
  while (!old_b.expired() && std::chrono::steady_clock::now() < released) std::this_thread::yield();
  ASSERT_TRUE(old_b.expired()) << "the old B still holds its sockets";
  auto sink = std::make_shared<RecordingSink>();
  o.b = o.bind_node(o.idb, arm, sink, [&](NodeOpts& opts) {
    tweak(opts);
    opts.udp_port = port;
  });
  const auto restarted = std::chrono::steady_clock::now();
  auto flooding =
      flood ? std::make_unique<junk::Flood>(datagrams, flood->hosts(), o.b->udp_bindings()->front()->local_addr(), 5000)
            : nullptr;

  // One way, 50 payloads a second, as a stream over the tunnel would.
  std::optional<std::chrono::milliseconds> heard;
  const std::vector<std::uint8_t> payload(200, 0x5A);
  while (!heard && std::chrono::steady_clock::now() < restarted + 10s) {
    (void)util::block_on(o.rt, handle->send(payload));
    if (sink->wait_until([](const auto& rx) { return !rx.empty(); }, 20ms)) {
      heard = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - restarted);
    }
  }
  flooding.reset();
  ASSERT_TRUE(heard) << "nothing A sent reached the restarted B";
  std::printf("the restarted B was heard after %lld ms\n", static_cast<long long>(heard->count()));
  // A's next HELLO comes within one interval; what follows it takes milliseconds (a loaded
  // machine gets some slack).
  EXPECT_LE(heard->count(), static_cast<long long>(kInterval) + 500);
  EXPECT_EQ(sink->received().front().first, o.ida.pk());
  EXPECT_NE(handle->state()->tx_short_id, old_id);
}

TEST_P(Integration, OneWayFlowReachesAPeerRestartedWithItsIdentity) {
  one_way_flow_reaches_a_restarted_peer(GetParam());
}

// The same while junk floods the restarted B from unknown senders, as in the newcomers' attack
// test: it must not keep B from taking A in again.
TEST(IntegrationUnderFlood, OneWayFlowReachesAPeerRestartedWithItsIdentity) {
  for (const auto& shape : junk::kFloodShapes) {
    SCOPED_TRACE(shape.name);
    one_way_flow_reaches_a_restarted_peer(true, &shape);
  }
}

INSTANTIATE_TEST_SUITE_P(ArmedAndUnarmed, Integration, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Armed" : "Unarmed"; });

TEST(NodeLifecycle, ReleasingTheNodeStopsItsTasks) {
  util::Runtime rt{2};
  auto sink = std::make_shared<RecordingSink>();
  auto node = *util::block_on(rt, Node::bind(loopback_opts(make_identity(), {super_peer_url(make_identity().pk(),
                                                                                           "127.0.0.1:9", 1)},
                                                           true, sink)));
  auto inner = std::weak_ptr<NodeInner>(node->inner());
  auto handle = *node->send_handle(make_identity().pk());
  const auto token = node->inner()->token();
  node.reset();
  EXPECT_TRUE(token.is_cancelled());
  auto r = util::block_on(rt, handle->send(std::vector<std::uint8_t>{1}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::SendHandleClosed);
  // Every task lets go of the node state.
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!inner.expired() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  EXPECT_TRUE(inner.expired());
}

}  // namespace
}  // namespace velarix::test
