// The code against the known-answer vectors of docs/protocol.md (Appendix A),
// which were computed without this code base. Builder and parser, and both ends
// of the key exchange, share their code, so a wrong constant or byte order on
// both sides would pass every other test; these values cannot move with it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "message/short_header.h"
#include "node_test_support.h"
#include "peer/node_peer.h"
#include "util/hex.h"

namespace velarix::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string source_dir() {
  if (const char* dir = std::getenv("VELARIX_TEST_SOURCE_DIR")) return dir;
  return VELARIX_SOURCE_DIR;
}

// The `name = value` lines of the appendix.
class Vectors {
 public:
  static const Vectors& get() {
    static const Vectors v;
    return v;
  }

  bool loaded() const { return !values_.empty(); }

  Bytes bytes(const std::string& name) const {
    const std::string& hex = text(name);
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
  }
  std::int64_t number(const std::string& name) const {
    const std::string& t = text(name);
    return t.empty() ? 0 : std::stoll(t);
  }
  template <std::size_t N>
  std::array<std::uint8_t, N> array(const std::string& name) const {
    const Bytes b = bytes(name);
    std::array<std::uint8_t, N> out{};
    if (b.size() != N) {
      ADD_FAILURE() << name << " does not hold " << N << " bytes";
      return out;
    }
    std::copy(b.begin(), b.end(), out.begin());
    return out;
  }
  PubKey key(const std::string& name) const { return PubKey(array<32>(name)); }
  Identity identity(const std::string& seed) const { return Identity(SecKey(array<32>(seed)), Pow(0)); }

 private:
  Vectors() {
    std::ifstream in(source_dir() + "/docs/protocol.md");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string doc = ss.str();
    const auto at = doc.find("## Appendix A. Test vectors");
    if (at == std::string::npos) return;
    std::istringstream lines(doc.substr(at));
    const std::regex line(R"(^([a-z0-9_.]+) = (-?[0-9a-f]+)$)");
    std::string l;
    std::smatch m;
    while (std::getline(lines, l)) {
      if (std::regex_match(l, m, line)) values_[m[1]] = m[2];
    }
  }
  const std::string& text(const std::string& name) const {
    static const std::string none;
    auto it = values_.find(name);
    if (it == values_.end()) {
      ADD_FAILURE() << "no vector " << name;
      return none;
    }
    return it->second;
  }
  std::map<std::string, std::string> values_;
};

const Vectors& V() { return Vectors::get(); }

class WireVectors : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(V().loaded()) << "docs/protocol.md has no test vectors under " << source_dir(); }

  // Makes the next nonce of this thread the vector's `name`.
  static void use_nonce(const std::string& name) {
    const Bytes nonce = V().bytes(name);
    ASSERT_EQ(nonce.size(), 24u);
    crypto::set_thread_nonce_for_testing(std::span<const std::uint8_t, 24>(nonce.data(), 24));
  }

  const Identity a = V().identity("seed_a");
  const Identity b = V().identity("seed_b");
  const NetworkId network = V().array<4>("msg.network_id");
  const Pow pow = Pow(static_cast<std::int32_t>(V().number("msg.pow")));
  const MessageKey session = V().array<32>("session_key");
  const Bytes payload = V().bytes("msg.payload");
  const std::uint64_t time = [] {
    std::uint64_t t = 0;
    for (auto byte : V().bytes("msg.time")) t = (t << 8) | byte;
    return t;
  }();
  const ShortId short_id = [] {
    const Bytes b = V().bytes("msg.short_id");
    return b.size() == 4 ? ShortId::from_bytes(std::span<const std::uint8_t, 4>(b.data(), 4)) : ShortId();
  }();
};


TEST_F(WireVectors, PublicKeysFromSeeds) {
  EXPECT_EQ(a.pk(), V().key("public_key_a"));
  EXPECT_EQ(b.pk(), V().key("public_key_b"));
  // The text forms read the same seed.
  auto sk = SecKey::from_text(util::hex::bytes_to_hex(V().bytes("seed_a")));
  ASSERT_TRUE(sk);
  EXPECT_EQ(Identity(*sk, Pow(0)).pk(), V().key("public_key_a"));
}

TEST_F(WireVectors, ProofOfWorkDifficulty) {
  const PubKey pk = V().key("public_key_a");
  for (int i = 0; i <= 6; ++i) {
    const std::string p = "pow." + std::to_string(i) + ".";
    const Pow nonce(static_cast<std::int32_t>(V().number(p + "nonce")));
    const auto want = static_cast<unsigned>(V().number(p + "difficulty"));
    SCOPED_TRACE(p + "nonce = " + nonce.to_string());
    EXPECT_EQ(nonce.difficulty(pk), want);
    EXPECT_TRUE(nonce.is_valid(pk, static_cast<std::uint8_t>(want)));
    EXPECT_FALSE(nonce.is_valid(pk, static_cast<std::uint8_t>(want + 1)));
  }
  // The strong nonce is not a lucky accident of the hash: any other key misses it.
  EXPECT_LT(Pow(static_cast<std::int32_t>(V().number("pow.6.nonce"))).difficulty(V().key("public_key_b")), 16u);
}

TEST_F(WireVectors, X25519FormsOfTheKeys) {
  EXPECT_EQ(crypto::convert_ed25519_sk_to_curve25519_sk(a.sk()), V().array<32>("x25519_secret_key_a"));
  EXPECT_EQ(crypto::convert_ed25519_sk_to_curve25519_sk(b.sk()), V().array<32>("x25519_secret_key_b"));
  EXPECT_EQ(crypto::convert_ed25519_pk_to_curve25519_pk(a.pk()), V().array<32>("x25519_public_key_a"));
  EXPECT_EQ(crypto::convert_ed25519_pk_to_curve25519_pk(b.pk()), V().array<32>("x25519_public_key_b"));
}

TEST_F(WireVectors, SessionKeyOnBothSides) {
  const auto xa = V().array<32>("x25519_public_key_a");
  const auto xb = V().array<32>("x25519_public_key_b");
  const auto sa = V().array<32>("x25519_secret_key_a");
  const auto sb = V().array<32>("x25519_secret_key_b");
  const auto want = V().array<32>("session_key");
  ASSERT_NE(want, V().array<32>("server_to_client_key"));
  EXPECT_EQ(crypto::compute_kx_session_keys(xa, sa, xb), want) << "side A";
  EXPECT_EQ(crypto::compute_kx_session_keys(xb, sb, xa), want) << "side B";

  // The key a node actually holds for its peer, built the way admission builds it.
  for (const auto& [self, peer] : {std::pair{a, b}, std::pair{b, a}}) {
    const auto my_sk = crypto::convert_ed25519_sk_to_curve25519_sk(self.sk());
    const auto my_pk = crypto::convert_ed25519_pk_to_curve25519_pk(self.pk());
    ASSERT_TRUE(my_sk && my_pk);
    auto np = NodePeer::create(std::nullopt, peer.pk(), 0, true, *my_sk, *my_pk, 0, peer.pk());
    ASSERT_TRUE(np);
    EXPECT_EQ((*np)->message_key(), MessageKey(want));
  }
}

TEST_F(WireVectors, LongHeaderFields) {
  Bytes msg = V().bytes("app_unarmed");
  auto h = LongHeader::parse(msg);
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(h->version(), 1);
  EXPECT_FALSE(h->armed());
  EXPECT_EQ(h->network_id(), network);
  EXPECT_EQ(h->recipient(), b.pk());
  EXPECT_EQ(h->sender(), a.pk());
  EXPECT_EQ(h->pow(), pow);
  EXPECT_EQ(h->type(), MessageType::App);

  Bytes armed = V().bytes("app_armed");
  auto ha = LongHeader::parse(armed);
  ASSERT_TRUE(ha) << ha.error().message();
  EXPECT_TRUE(ha->armed());
}

TEST_F(WireVectors, BuildersWriteTheExactBytes) {
  EXPECT_EQ(AppMessage::build(network, a.pk(), pow, std::nullopt, b.pk(), payload), V().bytes("app_unarmed"));
  use_nonce("app_armed.nonce");
  EXPECT_EQ(AppMessage::build(network, a.pk(), pow, session, b.pk(), payload), V().bytes("app_armed"));
  use_nonce("hello_armed.nonce");
  EXPECT_EQ(HelloNodePeerMessage::build(network, a.pk(), pow, session, b.pk(), time, short_id),
            V().bytes("hello_armed"));
  use_nonce("ack_armed.nonce");
  EXPECT_EQ(AckMessage::build(network, a.pk(), pow, session, b.pk(), time), V().bytes("ack_armed"));
  use_nonce("short_armed.nonce");
  EXPECT_EQ(ShortHeader::build(short_id, session, payload), V().bytes("short_armed"));
  EXPECT_EQ(ShortHeader::build(short_id, std::nullopt, payload), V().bytes("short_unarmed"));
  const std::vector<Endpoint> eps{Endpoint(boost::asio::ip::make_address("198.18.0.1"), 51820),
                                  Endpoint(boost::asio::ip::make_address("2001:db8::1"), 443)};
  EXPECT_EQ(HelloSuperPeerMessage::build(network, a.pk(), pow, std::nullopt, b.pk(), time, eps),
            V().bytes("hello_super_peer_unarmed"));
}

TEST_F(WireVectors, ParsersReadTheVectors) {
  auto body_of = [](Bytes& msg) { return std::span<std::uint8_t>(msg).subspan(LongHeader::kSize); };
  {
    Bytes msg = V().bytes("app_armed");
    auto h = LongHeader::parse(msg);
    ASSERT_TRUE(h);
    auto app = AppMessage::parse(body_of(msg), *h, session);
    ASSERT_TRUE(app) << app.error().message();
    EXPECT_EQ(Bytes(app->payload().begin(), app->payload().end()), payload);
  }
  {
    Bytes msg = V().bytes("hello_armed");
    auto h = LongHeader::parse(msg);
    ASSERT_TRUE(h);
    auto hello = HelloNodePeerMessage::parse(body_of(msg), *h, session);
    ASSERT_TRUE(hello) << hello.error().message();
    EXPECT_EQ(hello->time(), time);
    EXPECT_EQ(hello->short_id(), short_id);
  }
  {
    Bytes msg = V().bytes("ack_armed");
    auto h = LongHeader::parse(msg);
    ASSERT_TRUE(h);
    auto ack = AckMessage::parse(body_of(msg), *h, session);
    ASSERT_TRUE(ack) << ack.error().message();
    EXPECT_EQ(ack->time(), time);
  }
  {
    Bytes msg = V().bytes("short_armed");
    auto sh = ShortHeader::parse(msg, session);
    ASSERT_TRUE(sh) << sh.error().message();
    EXPECT_EQ(sh->short_id(), short_id);
    EXPECT_EQ(Bytes(sh->payload().begin(), sh->payload().end()), payload);
  }
  {
    Bytes msg = V().bytes("hello_super_peer_unarmed");
    auto h = LongHeader::parse(msg);
    ASSERT_TRUE(h);
    auto hello = HelloSuperPeerMessage::parse(body_of(msg), *h, std::nullopt);
    ASSERT_TRUE(hello) << hello.error().message();
    EXPECT_EQ(hello->time(), time);
    const auto eps = hello->endpoints().to_vector();
    ASSERT_EQ(eps.size(), 2u);
    EXPECT_EQ(eps[0], Endpoint(boost::asio::ip::make_address("198.18.0.1"), 51820));
    EXPECT_EQ(eps[1], Endpoint(boost::asio::ip::make_address("2001:db8::1"), 443));
  }
}

// B's node, fed the vectors as datagrams from A: the whole receive road, with the
// key it derives itself, opens what an independent implementation sealed.
TEST_F(WireVectors, ANodeReceivesTheVectors) {
  util::Runtime rt{1};
  auto sink = std::make_shared<RecordingSink>();
  const Identity sp = make_identity();
  std::uint32_t net = 0;
  for (auto byte : network) net = (net << 8) | byte;
  auto opts = loopback_opts(b, {super_peer_url(sp.pk(), "127.0.0.1:9", net)}, true, sink);
  // The vectors' nonces carry a fixed time; a window of a century lets the
  // receiver take them whenever the test runs.
  opts.hello_max_age = 100ull * 365 * 24 * 3600 * 1000;
  auto inner = create_inner(rt, std::move(opts));
  const boost::asio::ip::udp::endpoint src(boost::asio::ip::make_address("127.0.0.1"), 50000);
  Bytes scratch(kDefaultNetworkMtu);
  Transmits out;
  auto dispatch = [&](Bytes packet) {
    out.clear();
    return inner->on_packet(packet, src, inner->udp_bindings()->front().get(), Transport::Udp, scratch, out);
  };

  auto r = dispatch(V().bytes("app_armed"));
  ASSERT_TRUE(r) << r.error().message();
  auto peer = inner->peers_list().node_peer(a.pk());
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->message_key(), session);
  EXPECT_EQ(peer->pow(), PowStatus::Ok);

  // Short headers with the id B gave A.
  inner->peers_list().short_ids.insert_or_assign(short_id, a.pk());
  r = dispatch(V().bytes("short_armed"));
  ASSERT_TRUE(r) << r.error().message();

  const auto got = sink->received();
  ASSERT_EQ(got.size(), 2u);
  for (const auto& [from, bytes] : got) {
    EXPECT_EQ(from, a.pk());
    EXPECT_EQ(bytes, payload);
  }
}

}  // namespace
}  // namespace velarix::test
