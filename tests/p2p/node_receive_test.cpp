// The receive road's dispatch, driven directly on a node state without tasks.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <thread>
#include <optional>

#include "message/short_header.h"
#include "node/inner.h"
#include "node_test_support.h"

namespace velarix::test {
namespace {

constexpr std::uint32_t kNetwork = 7;

// The built message, or an empty packet and a failure: one broken builder must
// not crash the table it feeds.
std::vector<std::uint8_t> built(std::expected<std::vector<std::uint8_t>, MessageError> r) {
  if (!r) {
    ADD_FAILURE() << "building a message failed: " << r.error().message();
    return {};
  }
  return std::move(*r);
}

// `key` with its byte at `index` changed.
PubKey flip(const PubKey& key, std::size_t index) {
  auto bytes = key.bytes();
  bytes[index] ^= 0x01;
  return PubKey(bytes);
}

struct Fixture {
  explicit Fixture(bool arm, std::function<void(NodeOpts&)> tweak = {}) : arm(arm) {
    auto opts = loopback_opts(self, {super_peer_url(sp1.pk(), "127.0.0.1:9", kNetwork),
                                     super_peer_url(sp2.pk(), "127.0.0.1:10", kNetwork)},
                              arm, sink);
    if (tweak) tweak(opts);
    inner = create_inner(rt, std::move(opts));
  }

  MessageKey key_of(const Identity& from) const {
    if (!arm) return std::nullopt;
    return session_key(from, self.pk());
  }
  NetworkId nid(std::uint32_t id = kNetwork) const { return network_id_from_u32(id); }

  std::vector<std::uint8_t> app_from(const Identity& from, std::vector<std::uint8_t> payload = {1, 2, 3, 4, 5},
                                     std::uint32_t network = kNetwork, std::optional<PubKey> to = std::nullopt) const {
    return built(AppMessage::build(nid(network), from.pk(), from.pow(), key_of(from), to.value_or(self.pk()), payload));
  }
  std::vector<std::uint8_t> hello_from(const Identity& from, ShortId id = ShortId(0x01020304)) const {
    return built(HelloNodePeerMessage::build(nid(), from.pk(), from.pow(), key_of(from), self.pk(),
                                             NodeInner::current_time(), id));
  }
  std::vector<std::uint8_t> unite_from(const Identity& sp, const PubKey& peer) const {
    const std::vector<Endpoint> eps{Endpoint(boost::asio::ip::make_address("127.0.0.1"), 40000)};
    return built(UniteMessage::build(nid(), sp.pk(), sp.pow(), key_of(sp), self.pk(), peer, eps));
  }

  std::expected<void, Error> dispatch(std::vector<std::uint8_t> packet) {
    out.clear();
    const auto& binding = inner->udp_bindings()->front();
    return inner->on_packet(packet, src, binding.get(), Transport::Udp, scratch, out);
  }

  util::Runtime rt{2};
  bool arm;
  Identity self = make_identity();
  Identity sp1 = make_identity();
  Identity sp2 = make_identity();
  Identity other = make_identity();
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<NodeInner> inner;
  boost::asio::ip::udp::endpoint src{boost::asio::ip::make_address("127.0.0.1"), 50000};
  std::vector<std::uint8_t> scratch = std::vector<std::uint8_t>(kDefaultNetworkMtu);
  Transmits out;
};

struct Case {
  const char* name;
  std::function<void(NodeOpts&)> tweak;
  // Runs any preparation and returns the packet to dispatch.
  std::function<std::vector<std::uint8_t>(Fixture&)> packet;
  std::optional<Error::Kind> error;  // none: success
  std::size_t delivered;             // payloads handed to the sink
  std::function<void(Fixture&)> check;
};

// A packet that was refused before admission: the peers map holds the two super
// peers only, no short id was registered (no peer, so no key exchange) and
// nothing is sent back.
void expect_nothing_admitted(Fixture& f) {
  EXPECT_EQ(f.inner->peers_list().peers.size(), 2u);
  EXPECT_FALSE(f.inner->peers_list().peers.contains(f.other.pk()));
  EXPECT_TRUE(f.inner->peers_list().short_ids.empty());
  EXPECT_TRUE(f.out.udp.empty() && f.out.tcp.empty());
}

// The type byte of a long-header message, or -1.
int raw_type(const std::vector<std::uint8_t>& bytes) {
  auto header = LongHeader::parse(bytes);
  return header ? header->type_byte() : -1;
}

std::vector<std::uint8_t> with_type(std::vector<std::uint8_t> p, std::uint8_t type) {
  p[LongHeader::kTypeOffset] = type;
  return p;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"too short", {}, [](Fixture&) { return std::vector<std::uint8_t>{0x1E, 0x3F, 0x50}; }, std::nullopt, 0,
       [](Fixture& f) { EXPECT_EQ(f.inner->peers_list().peers.size(), 2u); }},
      {"app from unknown node is admitted and delivered", {}, [](Fixture& f) { return f.app_from(f.other); },
       std::nullopt, 1,
       [](Fixture& f) {
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         ASSERT_TRUE(peer);
         EXPECT_EQ(f.inner->peers_list().short_ids.get(peer->rx_short_id()), f.other.pk());
         EXPECT_NE(peer->app_rx_time(), 0u);
         const auto got = f.sink->received();
         ASSERT_EQ(got.size(), 1u);
         EXPECT_EQ(got.front().first, f.other.pk());
         EXPECT_EQ(got.front().second, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
       }},
      {"registered short id is a short header",
       {},
       [](Fixture& f) {
         EXPECT_TRUE(f.dispatch(f.app_from(f.other, std::vector<std::uint8_t>(100, 1))));
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         if (!peer) {
           ADD_FAILURE() << "the sender was not admitted";
           return std::vector<std::uint8_t>{};
         }
         return built(ShortHeader::build(peer->rx_short_id(), f.key_of(f.other), std::vector<std::uint8_t>{9, 9}));
       },
       std::nullopt, 2,
       [](Fixture& f) {
         const auto got = f.sink->received();
         ASSERT_FALSE(got.empty());
         EXPECT_EQ(got.back().first, f.other.pk());
         EXPECT_EQ(got.back().second, (std::vector<std::uint8_t>{9, 9}));
       }},
      {"short id of a removed peer is outdated",
       {},
       [](Fixture& f) {
         EXPECT_TRUE(f.dispatch(f.app_from(f.other, std::vector<std::uint8_t>(100, 1))));
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         if (!peer) {
           ADD_FAILURE() << "the sender was not admitted";
           return std::vector<std::uint8_t>{};
         }
         f.inner->peers_list().peers.erase(f.other.pk());
         return built(ShortHeader::build(peer->rx_short_id(), f.key_of(f.other), std::vector<std::uint8_t>{9}));
       },
       Error::Kind::ShortIdOutdated, 1, {}},
      {"short id of a super peer is outdated",
       {},
       [](Fixture& f) {
         f.inner->peers_list().short_ids.insert_or_assign(ShortId(0x0A0B0C0D), f.sp1.pk());
         return std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C, 0x0D, 1, 2, 3};
       },
       Error::Kind::ShortIdOutdated, 0, {}},
      {"garbage long header", {}, [](Fixture&) { return std::vector<std::uint8_t>(100, 0x55); },
       Error::Kind::MessageError, 0, {}},
      {"other network id", {}, [](Fixture& f) { return f.app_from(f.other, {1}, 8); }, Error::Kind::NetworkIdInvalid,
       0,
       [](Fixture& f) {
         auto r = f.dispatch(f.app_from(f.other, {1}, 8));
         ASSERT_FALSE(r);
         const auto* invalid = r.error().get<Error::NetworkIdInvalid>();
         ASSERT_NE(invalid, nullptr);
         EXPECT_EQ(invalid->received, network_id_from_u32(8));
         expect_nothing_admitted(f);
       }},
      {"other recipient", {}, [](Fixture& f) { return f.app_from(f.other, {1}, kNetwork, f.sp2.pk()); },
       Error::Kind::MessageInvalidRecipient, 0, expect_nothing_admitted},
      {"recipient differs in its last byte", {},
       [](Fixture& f) { return f.app_from(f.other, {1}, kNetwork, flip(f.self.pk(), PubKey::kSize - 1)); },
       Error::Kind::MessageInvalidRecipient, 0, expect_nothing_admitted},
      {"recipient differs in its first byte", {},
       [](Fixture& f) { return f.app_from(f.other, {1}, kNetwork, flip(f.self.pk(), 0)); },
       Error::Kind::MessageInvalidRecipient, 0, expect_nothing_admitted},
      {"hello to another node", {},
       [](Fixture& f) {
         return built(HelloNodePeerMessage::build(f.nid(), f.other.pk(), f.other.pow(), f.key_of(f.other),
                                                  flip(f.self.pk(), PubKey::kSize - 1), NodeInner::current_time(),
                                                  ShortId(0x01020304)));
       },
       Error::Kind::MessageInvalidRecipient, 0, expect_nothing_admitted},
      {"network id is checked before the recipient",
       {},
       [](Fixture& f) { return f.app_from(f.other, {1}, 8, f.sp2.pk()); },
       Error::Kind::NetworkIdInvalid, 0, {}},
      {"weak proof of work of an unknown sender", [](NodeOpts& o) { o.min_pow_difficulty = 12; },
       [](Fixture& f) {
         f.other = weak_identity(12);
         return f.app_from(f.other);
       },
       Error::Kind::PowInvalid, 0,
       [](Fixture& f) { EXPECT_FALSE(f.inner->peers_list().node_peer(f.other.pk())); }},
      {"weak proof of work of a known node peer", [](NodeOpts& o) { o.min_pow_difficulty = 12; },
       [](Fixture& f) {
         f.other = weak_identity(12);
         // Known without its proof of work, as after a UNITE: checked on its first long header.
         EXPECT_TRUE(f.inner->admit_node_peer(f.other.pk(), std::nullopt, true));
         return f.app_from(f.other);
       },
       Error::Kind::PowInvalid, 0,
       [](Fixture& f) {
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         ASSERT_TRUE(peer);
         EXPECT_EQ(peer->pow(), PowStatus::Nok);
       }},
      {"peers map full with the super peers", [](NodeOpts& o) { o.max_peers = 2; },
       [](Fixture& f) { return f.app_from(f.other); }, Error::Kind::PeersListCapacityExceeded, 0,
       [](Fixture& f) { EXPECT_EQ(f.inner->peers_list().peers.size(), 2u); }},
      {"max_peers 0 admits", [](NodeOpts& o) { o.max_peers = 0; }, [](Fixture& f) { return f.app_from(f.other); },
       std::nullopt, 1, {}},
      {"app from a super peer", {}, [](Fixture& f) { return f.app_from(f.sp1); }, Error::Kind::MessageTypeUnexpected,
       0, {}},
      {"hello from a super peer", {}, [](Fixture& f) { return f.hello_from(f.sp1); },
       Error::Kind::MessageTypeUnexpected, 0, {}},
      {"unite from a node peer", {}, [](Fixture& f) { return f.unite_from(f.other, f.sp2.pk()); },
       Error::Kind::MessageTypeUnexpected, 0, {}},
      {"type 4 is invalid", {}, [](Fixture& f) { return with_type(f.app_from(f.other), 4); },
       Error::Kind::MessageTypeInvalid, 0, {}},
      {"type 255 from a super peer is invalid", {}, [](Fixture& f) { return with_type(f.app_from(f.sp1), 255); },
       Error::Kind::MessageTypeInvalid, 0, {}},
      {"unites ignored", [](NodeOpts& o) { o.process_unites = false; },
       [](Fixture& f) { return f.unite_from(f.sp1, f.other.pk()); }, std::nullopt, 0,
       [](Fixture& f) {
         EXPECT_TRUE(f.out.udp.empty());
         EXPECT_FALSE(f.inner->peers_list().node_peer(f.other.pk()));
       }},
      {"unite introduces a node peer and a path, without a HELLO while the peer sent nothing", {},
       [](Fixture& f) { return f.unite_from(f.sp1, f.other.pk()); }, std::nullopt, 0,
       [](Fixture& f) {
         EXPECT_TRUE(f.out.udp.empty());
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         ASSERT_TRUE(peer);
         EXPECT_EQ(peer->paths().size(), 1u);
         EXPECT_EQ(peer->pow(), PowStatus::Unknw);
       }},
      {"unite about a peer that sent something sends it a HELLO", {},
       [](Fixture& f) {
         EXPECT_TRUE(f.dispatch(f.app_from(f.other, std::vector<std::uint8_t>(100, 1))));
         return f.unite_from(f.sp1, f.other.pk());
       },
       std::nullopt, 1,
       [](Fixture& f) {
         ASSERT_EQ(f.out.udp.size(), 1u);
         EXPECT_EQ(f.out.udp[0].dst.port(), 40000);
       }},
      {"hello from a node peer is answered, gives a path and short id, and is greeted through a super peer", {},
       [](Fixture& f) {
         EXPECT_TRUE(f.dispatch(f.app_from(f.other, std::vector<std::uint8_t>(100, 1))));
         return f.hello_from(f.other);
       },
       std::nullopt, 1,
       [](Fixture& f) {
         // The ACK, and our HELLO (the peer does not know our short id yet) relayed: neither the
         // source nor where the peer registered answered us yet, and what the peer sent pays
         // for both.
         ASSERT_EQ(f.out.udp.size(), 2u);
         EXPECT_EQ(f.out.udp[0].dst, f.src);
         EXPECT_EQ(raw_type(f.out.udp[1].bytes), 2);
         EXPECT_TRUE(f.out.udp[1].dst.port() == 9 || f.out.udp[1].dst.port() == 10) << f.out.udp[1].dst;
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         ASSERT_TRUE(peer);
         EXPECT_EQ(peer->tx_short_id(), ShortId(0x01020304));
         EXPECT_EQ(peer->paths().size(), 1u);
         // The answer is an ACK to the sender, readable with the sender's key.
         auto reply = f.out.udp[0].bytes;
         auto header = LongHeader::parse(reply);
         ASSERT_TRUE(header);
         EXPECT_EQ(header->type_byte(), 0);
         EXPECT_EQ(header->recipient(), f.other.pk());
       }},
      {"a lone hello from a newcomer pays for one answer: the greeting through a super peer", {},
       [](Fixture& f) { return f.hello_from(f.other); }, std::nullopt, 0,
       [](Fixture& f) {
         // Without traffic of ours with the peer, only the greeting teaches it our short id.
         ASSERT_EQ(f.out.udp.size(), 1u);
         EXPECT_EQ(raw_type(f.out.udp[0].bytes), 2);
         EXPECT_TRUE(f.out.udp[0].dst.port() == 9 || f.out.udp[0].dst.port() == 10) << f.out.udp[0].dst;
         auto peer = f.inner->peers_list().node_peer(f.other.pk());
         ASSERT_TRUE(peer);
         EXPECT_EQ(peer->tx_short_id(), ShortId(0x01020304));
         EXPECT_EQ(peer->paths().size(), 1u);
       }},
  };
  return table;
}

class ReceiveTable : public ::testing::TestWithParam<bool> {};

TEST_P(ReceiveTable, Dispatch) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    Fixture f(GetParam(), c.tweak);
    auto r = f.dispatch(c.packet(f));
    if (c.error) {
      EXPECT_FALSE(r) << "expected " << kind_name(*c.error);
      if (!r) {
        EXPECT_EQ(kind_name(r.error().kind()), kind_name(*c.error)) << r.error().message();
      }
    } else {
      EXPECT_TRUE(r) << r.error().message();
    }
    EXPECT_EQ(f.sink->count(), c.delivered);
    if (c.check) c.check(f);
  }
}

INSTANTIATE_TEST_SUITE_P(ArmedAndUnarmed, ReceiveTable, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Armed" : "Unarmed"; });

TEST(Receive, ArmedAndUnarmedDoNotMix) {
  Fixture armed(true);
  Fixture unarmed(false);
  // An unarmed APP to an armed node and the other way round.
  auto r1 = armed.dispatch(built(AppMessage::build(armed.nid(), armed.other.pk(), armed.other.pow(), std::nullopt,
                                              armed.self.pk(), std::vector<std::uint8_t>{1})));
  ASSERT_FALSE(r1);
  EXPECT_EQ(r1.error().kind(), Error::Kind::MessageError);
  auto r2 = unarmed.dispatch(built(AppMessage::build(armed.nid(), unarmed.other.pk(), unarmed.other.pow(),
                                                session_key(unarmed.other, unarmed.self.pk()), unarmed.self.pk(),
                                                std::vector<std::uint8_t>{1})));
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error().kind(), Error::Kind::MessageError);
}

TEST(Receive, TamperedArmedAppIsRefused) {
  Fixture f(true);
  auto p = f.app_from(f.other);
  ASSERT_FALSE(p.empty());
  p.back() ^= 1;
  auto r = f.dispatch(p);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::MessageError);
  EXPECT_EQ(f.sink->count(), 0u);
}

TEST(Receive, SuperPeerAckMakesThePathReachable) {
  Fixture f(true);
  auto sp = f.inner->peers_list().super_peer(f.sp1.pk());
  ASSERT_TRUE(sp);
  const auto& binding = f.inner->udp_bindings()->front();
  const boost::asio::ip::udp::endpoint sp_addr(boost::asio::ip::make_address("127.0.0.1"), 9);
  auto path = sp->udp_paths().get(PeerPathKey{binding->local_addr(), sp_addr});
  ASSERT_TRUE(path);
  const auto sent = NodeInner::current_time();
  (*path)->hello_tx(sent);
  f.src = sp_addr;
  auto ack = built(AckMessage::build(f.nid(), f.sp1.pk(), f.sp1.pow(), f.key_of(f.sp1), f.self.pk(), sent));
  ASSERT_TRUE(f.dispatch(ack));
  EXPECT_TRUE((*path)->is_reachable(NodeInner::current_time(), 1000));
  EXPECT_EQ((*path)->inner()->hello_tx, std::optional<std::uint64_t>(0));
  EXPECT_EQ((*path)->inner()->latencies.size(), 1u);
}

TEST(Receive, NodePeerAckInTheFutureIsRefused) {
  Fixture f(false);
  ASSERT_TRUE(f.dispatch(f.app_from(f.other)));
  auto ack = built(AckMessage::build(f.nid(), f.other.pk(), f.other.pow(), std::nullopt, f.self.pk(),
                                     NodeInner::current_time() + 60'000'000));
  auto r = f.dispatch(ack);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::AckTimeIsInFuture);
}

TEST(Receive, FloodOfSendersStopsAtMaxPeers) {
  Fixture f(false, [](NodeOpts& o) { o.max_peers = 10; });
  std::size_t refused = 0;
  for (int i = 0; i < 40; ++i) {
    auto r = f.dispatch(f.app_from(make_identity()));
    if (!r) {
      EXPECT_EQ(r.error().kind(), Error::Kind::PeersListCapacityExceeded);
      ++refused;
    }
  }
  EXPECT_EQ(f.inner->peers_list().peers.size(), 10u);
  EXPECT_EQ(refused, 32u);
}

// A reader keeps one list of replies for a whole batch of datagrams. Nothing may be sent for a
// packet that is refused, whatever its handlers had appended before it failed, and the replies
// of the packets before it stay.
TEST(Receive, ARefusedPacketOfABatchLeavesNothingToSend) {
  Fixture f(true);
  const Identity second = make_identity();
  const auto hello = f.hello_from(f.other);
  const std::vector<std::vector<std::uint8_t>> batch = {
      hello,                              // a newcomer's HELLO: greeted
      hello,                              // the same again: a replay
      f.hello_from(second),               // another newcomer's
      f.unite_from(f.other, f.sp1.pk()),  // a UNITE from a node peer
      {0x00, 0x00, 0x00, 0x07, 1, 2, 3},  // no short id, no long header
  };
  Transmits out;
  const auto binding = f.inner->udp_bindings()->front();
  std::size_t accepted = 0;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    SCOPED_TRACE("datagram " + std::to_string(i));
    auto packet = batch[i];
    const auto udp = out.udp.size(), tcp = out.tcp.size();
    auto r = f.inner->on_packet(packet, f.src, binding.get(), Transport::Udp, f.scratch, out);
    if (r) {
      ++accepted;
      EXPECT_GT(out.udp.size() + out.tcp.size(), udp + tcp);
    } else {
      EXPECT_EQ(out.udp.size(), udp) << r.error().message();
      EXPECT_EQ(out.tcp.size(), tcp) << r.error().message();
    }
  }
  EXPECT_EQ(accepted, 2u);
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// Readers run on several threads and admit senders at once; the limit must hold
// against all of them together, not only against one at a time.
TEST(Receive, ConcurrentAdmissionsNeverPassMaxPeers) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 24;
  constexpr std::uint64_t kMaxPeers = 2 + 40;  // the two super peers and 40 node peers
  for (int round = 0; round < 4; ++round) {
    Fixture f(true, [](NodeOpts& o) { o.max_peers = kMaxPeers; });
    std::vector<std::vector<std::vector<std::uint8_t>>> packets(kThreads);
    for (auto& list : packets) {
      for (int i = 0; i < kPerThread; ++i) list.push_back(f.app_from(make_identity()));
    }
    std::atomic<int> admitted{0};
    std::atomic<int> refused_other{0};
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::vector<std::uint8_t> scratch(kDefaultNetworkMtu);
        Transmits out;
        const auto binding = f.inner->udp_bindings()->front();
        // Newcomers of one thread come from one host (one host alone may not bring that many at once).
        const boost::asio::ip::udp::endpoint src(boost::asio::ip::make_address("127.0.0." + std::to_string(10 + t)),
                                                 50000);
        start.arrive_and_wait();
        for (auto& packet : packets[t]) {
          out.clear();
          auto r = f.inner->on_packet(packet, src, binding.get(), Transport::Udp, scratch, out);
          if (r) {
            ++admitted;
          } else if (r.error().kind() != Error::Kind::PeersListCapacityExceeded) {
            ++refused_other;
          }
        }
      });
    }
    for (auto& t : threads) t.join();
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(f.inner->peers_list().peers.size(), kMaxPeers);
    EXPECT_EQ(admitted.load(), static_cast<int>(kMaxPeers - 2));
    EXPECT_EQ(refused_other.load(), 0);
    EXPECT_EQ(f.inner->peers_list().short_ids.size(), kMaxPeers - 2);
    EXPECT_EQ(f.sink->count(), kMaxPeers - 2);
  }
}

// An ACK echoes the time of our HELLO; one older than `hello_max_age` answers
// nothing we may still count on, from a node peer or from a super peer.
TEST(Receive, AckOlderThanMaxAgeLeavesThePathUnreached) {
  constexpr std::uint64_t kMaxAgeUs = 60'000'000;  // loopback_opts' hello_max_age
  struct Case {
    const char* name;
    bool from_super_peer;
    std::uint64_t age_us;
    bool reached;
  } cases[] = {
      {"node peer, too old", false, kMaxAgeUs + 5'000'000, false},
      {"node peer, fresh", false, 1'000'000, true},
      {"super peer, too old", true, kMaxAgeUs + 5'000'000, false},
      {"super peer, fresh", true, 1'000'000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(true);
    const auto& binding = f.inner->udp_bindings()->front();
    std::shared_ptr<PeerPath> path;
    const Identity& from = c.from_super_peer ? f.sp1 : f.other;
    if (c.from_super_peer) {
      f.src = boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 9);
      auto sp = f.inner->peers_list().super_peer(f.sp1.pk());
      ASSERT_TRUE(sp);
      auto p = sp->udp_paths().get(PeerPathKey{binding->local_addr(), f.src});
      ASSERT_TRUE(p);
      path = *p;
    } else {
      // A direct HELLO makes the path; our own HELLO on it then waits for an answer.
      ASSERT_TRUE(f.dispatch(f.hello_from(f.other)));
      auto peer = f.inner->peers_list().node_peer(f.other.pk());
      ASSERT_TRUE(peer);
      auto p = peer->paths().get(PeerPathKey{binding->local_addr(), f.src});
      ASSERT_TRUE(p);
      path = *p;
    }
    const std::uint64_t sent = NodeInner::current_time() - c.age_us;
    path->hello_tx(sent);
    auto r = f.dispatch(built(AckMessage::build(f.nid(), from.pk(), from.pow(), f.key_of(from), f.self.pk(), sent)));
    if (c.reached || c.from_super_peer) {
      // A stale ACK from a super peer is dropped without an error.
      EXPECT_TRUE(r) << r.error().message();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), Error::Kind::AckTooOld);
    }
    const auto now = NodeInner::current_time();
    EXPECT_EQ(path->is_reachable(now, 30'000), c.reached);
    EXPECT_EQ(path->inner()->latencies.size(), c.reached ? 1u : 0u);
    EXPECT_EQ(path->inner()->hello_tx, std::optional<std::uint64_t>(c.reached ? 0 : sent));
  }
}

// The proof of work travels in every long header; a known peer that sends
// another value is judged on that value, not on the one it was admitted with.
TEST(Receive, ChangedProofOfWorkOfAKnownPeerIsCheckedAgain) {
  constexpr std::uint8_t kMin = 12;
  Fixture f(true, [](NodeOpts& o) { o.min_pow_difficulty = kMin; });
  f.other = make_identity(kMin);
  const Pow strong = f.other.pow();
  std::int32_t n = 0;
  while (Pow(n).difficulty(f.other.pk()) >= kMin) ++n;
  const Pow weak(n);
  auto app_with = [&](Pow pow) {
    return built(AppMessage::build(f.nid(), f.other.pk(), pow, f.key_of(f.other), f.self.pk(),
                                   std::vector<std::uint8_t>{7}));
  };

  ASSERT_TRUE(f.dispatch(app_with(strong)));
  auto peer = f.inner->peers_list().node_peer(f.other.pk());
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->pow(), PowStatus::Ok);

  auto r = f.dispatch(app_with(weak));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::PowInvalid);
  EXPECT_EQ(peer->pow(), PowStatus::Nok);
  EXPECT_EQ(f.sink->count(), 1u);

  // And back: the strong value is accepted again.
  EXPECT_TRUE(f.dispatch(app_with(strong)));
  EXPECT_EQ(peer->pow(), PowStatus::Ok);
  EXPECT_EQ(f.sink->count(), 2u);
}

}  // namespace
}  // namespace velarix::test

namespace velarix::test {
namespace {

// The receive road walks maps that housekeeping replaces at the same time (here:
// a super peer's paths, while the reader looks for the relaying super peer). A
// walk must keep alive the map it walks; the sanitizer build sees it when not.
TEST(Receive, WalksKeepTheMapTheyWalkWhileItIsReplaced) {
  Fixture f(false);
  auto sp = f.inner->peers_list().super_peer(f.sp1.pk());
  ASSERT_TRUE(sp);
  const auto local = f.inner->udp_bindings()->front()->local_addr();
  const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  for (std::uint16_t i = 0; i < 256; ++i) {
    sp->udp_paths().insert_or_assign(PeerPathKey{local, {loopback, static_cast<std::uint16_t>(20000 + i)}},
                                     std::make_shared<PeerPath>());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> replaced{0};
  std::thread housekeeping([&] {
    for (std::uint16_t i = 0; !stop.load(); ++i) {
      sp->udp_paths().insert_or_assign(PeerPathKey{local, {loopback, static_cast<std::uint16_t>(30000 + i % 64)}},
                                       std::make_shared<PeerPath>());
      ++replaced;
    }
  });
  // Walk until the map was replaced a few thousand times under the walks.
  const boost::asio::ip::udp::endpoint stranger(loopback, 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::size_t found = 0;
  while (replaced.load() < 3000 && std::chrono::steady_clock::now() < deadline) {
    found += f.inner->relaying_super_peer(stranger, Transport::Udp) != nullptr;
  }
  stop = true;
  housekeeping.join();
  EXPECT_EQ(found, 0u);
  EXPECT_GE(replaced.load(), 3000);
}

}  // namespace
}  // namespace velarix::test
