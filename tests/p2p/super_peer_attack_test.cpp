// Attacks on the super peer from loopback: taking over a node's relayed traffic
// with forged or replayed HELLOs, flooding its node table, and tying up its TCP
// fall-back. Each test plays the attacker with raw sockets.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "raw_peer.h"
#include "superpeer/super_peer_server.h"
#include "util/runtime.h"

namespace velarix::test {
namespace {

using namespace std::chrono_literals;
using raw::Bytes;
using raw::Peer;
using p2p::Identity;
using p2p::SuperPeerOptions;
using p2p::SuperPeerServer;
using p2p::SuperPeerStats;

constexpr std::uint32_t kNetwork = 0x5EC0;
constexpr std::uint8_t kDifficulty = 8;
constexpr std::uint64_t kHourUs = 3600ull * 1000 * 1000;

class SuperPeerAttack : public ::testing::Test {
 protected:
  void start(std::function<void(SuperPeerOptions&)> tweak = {}) {
    SuperPeerOptions o{.identity = sp_id_, .network_id = kNetwork};
    o.min_pow_difficulty = kDifficulty;
    if (tweak) tweak(o);
    auto s = SuperPeerServer::start(rt_, std::move(o));
    ASSERT_TRUE(s) << s.error();
    server_ = std::move(*s);
  }
  std::unique_ptr<Peer> peer(bool armed = true, const std::string& host = "127.0.0.1",
                             std::uint8_t difficulty = kDifficulty) {
    return std::make_unique<Peer>(io_, *Identity::generate(difficulty), kNetwork, armed, host);
  }
  // A peer that speaks with `victim`'s key from another address (it holds the key only to
  // build what the victim would have sent and an attacker captured).
  std::unique_ptr<Peer> impostor(const Peer& victim, bool armed = true, const std::string& host = "127.0.0.2") {
    return std::make_unique<Peer>(io_, victim.id(), kNetwork, armed, host);
  }
  const p2p::PubKey& sp() const { return sp_id_.pk(); }
  raw::udp::endpoint sp_udp() const { return server_->udp_endpoint(); }

  // Registers `p` over UDP and waits for its ACK.
  void hello(Peer& p, std::uint64_t time = raw::now_us()) {
    p.send(p.hello_sp(sp(), time), sp_udp());
    ASSERT_TRUE(p.recv_until([](const Bytes& b) { return raw::type_of(b) == 0; })) << "no ACK";
  }
  // True when an APP from `from` to `to` through the super peer reaches `to`.
  bool relayed(Peer& from, Peer& to) {
    const Bytes app = from.app(to.pk(), {0xAB, static_cast<std::uint8_t>(++probe_)});
    from.send(app, sp_udp());
    return to.recv_until([&](const Bytes& b) { return b == app; }, 3s).has_value();
  }

  p2p::util::Runtime rt_{2};
  raw::asio::io_context io_;
  Identity sp_id_ = *Identity::generate(0);
  std::unique_ptr<SuperPeerServer> server_;
  int probe_ = 0;
};

// One unarmed HELLO naming a victim's key, or an armed HELLO of the victim replayed from
// elsewhere, must not move the victim's relayed traffic to the attacker.
TEST_F(SuperPeerAttack, ForgedAndReplayedHellosDoNotTakeOverANode) {
  start();
  auto victim = peer();
  auto other = peer();
  const std::uint64_t t0 = raw::now_us();
  const Bytes captured_old = victim->hello_sp(sp(), t0 - kHourUs);  // captured an hour ago
  const Bytes captured_prev = victim->hello_sp(sp(), t0 - 1000);    // the HELLO before the last
  hello(*victim, t0);
  hello(*other);

  struct Case {
    const char* what;
    bool armed;
    std::function<Bytes(const Peer& attacker)> packet;
  };
  const Case cases[] = {
      {"unarmed HELLO with the victim's key", false, [&](const Peer& a) { return a.hello_sp(sp(), raw::now_us()); }},
      {"armed HELLO from an hour ago", true, [&](const Peer&) { return captured_old; }},
      {"armed HELLO older than the last one accepted", true, [&](const Peer&) { return captured_prev; }},
      {"armed HELLO dated an hour ahead", true, [&](const Peer& a) { return a.hello_sp(sp(), t0 + kHourUs); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto attacker = impostor(*victim, c.armed);
    attacker->send(c.packet(*attacker), sp_udp());
    EXPECT_FALSE(attacker->recv(300ms)) << "the attacker got an answer";
    EXPECT_TRUE(relayed(*other, *victim)) << "the victim lost its relayed traffic";
    EXPECT_FALSE(attacker->recv(0ms)) << "the attacker got the victim's traffic";
  }
  // The victim itself moves on as before.
  hello(*victim);
  EXPECT_TRUE(relayed(*other, *victim));
}

// Fresh keys without a proof of work are never registered, and a table full of nodes that
// are still heard from refuses newcomers instead of forgetting them.
TEST_F(SuperPeerAttack, HelloFloodFromFreshKeysDoesNotEvictActiveNodes) {
  start([](SuperPeerOptions& o) {
    o.max_nodes = 8;
    o.hellos_per_second_per_source = 1'000'000;  // this test is about the table, not the rate
  });
  auto a = peer();
  auto b = peer();
  hello(*a);
  hello(*b);

  // 300 keys without a proof of work, then 40 with one (more than the table holds).
  auto attacker = peer(true, "127.0.0.3");
  std::vector<Identity> weak, strong;
  for (int i = 0; i < 300; ++i) {
    for (;;) {
      auto id = *Identity::generate(0);
      if (!id.pow().is_valid(id.pk(), kDifficulty)) {
        weak.push_back(id);
        break;
      }
    }
  }
  for (int i = 0; i < 40; ++i) strong.push_back(*Identity::generate(kDifficulty));
  // In batches, so that the super peer's socket buffer never overflows.
  std::uint64_t sent = 0;
  const auto handled = [](const SuperPeerStats& s) { return s.hellos_answered + s.hellos_refused; };
  const std::uint64_t before = handled(server_->stats());
  for (const auto* ids : {&weak, &strong}) {
    for (const auto& id : *ids) {
      Peer fake(io_, id, kNetwork, true, "127.0.0.3");
      attacker->send(fake.hello_sp(sp(), raw::now_us()), sp_udp());
      if (++sent % 50 == 0) {
        ASSERT_TRUE(server_->wait_for([&](const SuperPeerStats& s) { return handled(s) >= before + sent; }, 10s));
      }
    }
  }
  ASSERT_TRUE(server_->wait_for([&](const SuperPeerStats& s) { return handled(s) >= before + sent; }, 10s));
  EXPECT_EQ(server_->stats().hellos_refused, 300u + 40u - 6u);
  EXPECT_EQ(server_->known_nodes(), 8u);
  EXPECT_TRUE(relayed(*a, *b));
  EXPECT_TRUE(relayed(*b, *a));
}

// One source cannot make the super peer do key exchanges and decryptions at any rate.
TEST_F(SuperPeerAttack, HellosFromOneSourceAreRateLimited) {
  start([](SuperPeerOptions& o) { o.hellos_per_second_per_source = 20; });
  auto flooder = peer(true, "127.0.0.4");
  const Bytes h = flooder->hello_sp(sp(), raw::now_us());
  for (int i = 0; i < 1000; ++i) flooder->send(h, sp_udp());
  // Another source is served. (The flood may have filled a socket buffer, so its HELLO may need
  // another try.)
  auto honest = peer();
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    honest->send(honest->hello_sp(sp(), raw::now_us()), sp_udp());
    answered = honest->recv_until([](const Bytes& b) { return raw::type_of(b) == 0; }, 250ms).has_value();
  }
  ASSERT_TRUE(answered);
  // Another source may be read by another reader of the port, so the flood is waited for.
  ASSERT_TRUE(server_->wait_for([](const SuperPeerStats& s) { return s.hellos_refused >= 100; }, 10s));
  const auto s = server_->stats();
  EXPECT_LE(s.hellos_answered, 100u);  // the burst of 40, what trickled in meanwhile, the honest one
}

// Idle connections and a frame that never completes must not lock nodes out of the TCP
// fall-back: they are closed by time limits, and one source holds only a few links.
TEST_F(SuperPeerAttack, SlowLorisLinksAreClosedAndCappedPerSource) {
  start([](SuperPeerOptions& o) {
    o.max_tcp_links = 5;
    o.max_tcp_links_per_source = 2;
    o.tcp_first_hello_timeout = 500ms;
    o.tcp_frame_timeout = 500ms;
  });
  std::vector<std::unique_ptr<Peer>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(peer(true, "127.0.0.5"));
    ASSERT_FALSE(idle.back()->connect(server_->tcp_endpoint()));
  }
  auto half_frame = peer(true, "127.0.0.6");
  ASSERT_FALSE(half_frame->connect(server_->tcp_endpoint()));
  half_frame->send_raw({0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  auto registered_then_stalls = peer(true, "127.0.0.6");
  ASSERT_FALSE(registered_then_stalls->connect(server_->tcp_endpoint()));
  registered_then_stalls->send_frame(registered_then_stalls->hello_sp(sp(), raw::now_us()));
  ASSERT_TRUE(registered_then_stalls->recv_frame());
  registered_then_stalls->send_raw({0x01, 0x00, 1, 2, 3});

  // The third idle link of one source is refused at once.
  EXPECT_TRUE(idle[2]->link_closed(2s));
  // A node gets in at once, and its link stays.
  auto honest = peer();
  ASSERT_FALSE(honest->connect(server_->tcp_endpoint()));
  honest->send_frame(honest->hello_sp(sp(), raw::now_us()));
  auto ack = honest->recv_frame(3s);
  ASSERT_TRUE(ack);
  EXPECT_EQ(raw::type_of(*ack), 0);
  // The stalling links are closed by their limits.
  EXPECT_TRUE(idle[0]->link_closed(3s));
  EXPECT_TRUE(idle[1]->link_closed(3s));
  EXPECT_TRUE(half_frame->link_closed(3s));
  EXPECT_TRUE(registered_then_stalls->link_closed(3s));
  EXPECT_GE(server_->stats().links_timed_out, 4u);
  honest->send_frame(honest->hello_sp(sp(), raw::now_us()));
  ack = honest->recv_frame(3s);
  ASSERT_TRUE(ack);
}

// A link whose node stops reading is closed when a frame cannot be written in time.
TEST_F(SuperPeerAttack, LinkThatStopsReadingIsClosed) {
  start([](SuperPeerOptions& o) { o.tcp_write_timeout = 500ms; });
  auto sink = peer();
  ASSERT_FALSE(sink->connect(server_->tcp_endpoint()));
  sink->tcp_socket().set_option(raw::asio::socket_base::receive_buffer_size(4096));
  sink->send_frame(sink->hello_sp(sp(), raw::now_us()));
  ASSERT_TRUE(sink->recv_frame());
  auto sender = peer();
  hello(*sender);
  // Relayed traffic piles up at a link nobody reads, until the super peer gives the link up.
  const Bytes app = sender->app(sink->pk(), Bytes(1000, 1));
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while (server_->stats().tcp_links != 0 && std::chrono::steady_clock::now() < give_up) {
    for (int i = 0; i < 100; ++i) sender->send(app, sp_udp());
  }
  ASSERT_TRUE(server_->wait_for([](const SuperPeerStats& s) { return s.tcp_links == 0; }, 10s));
  EXPECT_GE(server_->stats().links_timed_out, 1u);
}

}  // namespace
}  // namespace velarix::test
