#include <gtest/gtest.h>

#include <unordered_set>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "identity/super_peer_url.h"

using namespace velarix::p2p;

namespace {

SecKey fixed_sk(std::uint8_t fill) {
  SecKey::Bytes b;
  b.fill(fill);
  return SecKey(b);
}

}  // namespace

TEST(Identity, KeysRoundTripThroughText) {
  Identity id(fixed_sk(7), Pow(42));
  auto sk = SecKey::from_text(id.sk().to_string());
  ASSERT_TRUE(sk);
  EXPECT_EQ(*sk, id.sk());
  EXPECT_EQ(Identity(*sk, Pow(42)).pk(), id.pk());

  auto pk = PubKey::from_text(id.pk().to_string());
  ASSERT_TRUE(pk);
  EXPECT_EQ(*pk, id.pk());
  EXPECT_EQ(id.pk().to_string().size(), 64u);
  EXPECT_EQ(id.pk().debug(), "PubKey(" + id.pk().to_string() + ")");

  // Upper-case digits are read; the written form is lower case.
  std::string upper = id.sk().to_string();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto sk2 = SecKey::from_text(upper);
  ASSERT_TRUE(sk2);
  EXPECT_EQ(sk2->to_string(), id.sk().to_string());
}

TEST(Identity, BadKeyTextsAreRefused) {
  const std::string good(64, 'a');
  for (const std::string& text : {std::string(), std::string(63, 'a'), std::string(65, 'a'), good.substr(0, 62) + "zz",
                                  " " + good.substr(1), good.substr(0, 63) + "\n"}) {
    auto sk = SecKey::from_text(text);
    ASSERT_FALSE(sk) << text;
    EXPECT_EQ(sk.error().message(), "invalid secret key: expected 64 hexadecimal digits");
    EXPECT_FALSE(PubKey::from_text(text)) << text;
  }
}

TEST(Identity, EqualityAndHashUseEveryByte) {
  PubKey::Bytes a{};
  PubKey::Bytes b{};
  b[31] = 1;
  EXPECT_NE(PubKey(a), PubKey(b));
  EXPECT_NE(std::hash<PubKey>{}(PubKey(a)), std::hash<PubKey>{}(PubKey(b)));
  std::unordered_set<PubKey> set;
  for (int i = 0; i < 32; ++i) {
    PubKey::Bytes k{};
    k[static_cast<std::size_t>(i)] = 0x80;
    set.insert(PubKey(k));
  }
  EXPECT_EQ(set.size(), 32u);
}

TEST(Identity, UdpPortIsStableAndInRange) {
  for (std::uint8_t fill = 0; fill < 50; ++fill) {
    const Identity id(fixed_sk(fill), Pow(0));
    const auto port = id.pk().udp_port();
    EXPECT_GE(port, 20000);
    EXPECT_LT(port, 60000);
    EXPECT_EQ(port, Identity(fixed_sk(fill), Pow(0)).pk().udp_port());
  }
}

TEST(Identity, GeneratedProofOfWorkMeetsDifficulty) {
  for (std::uint8_t difficulty : {0, 1, 8, 12}) {
    auto id = Identity::generate(difficulty);
    ASSERT_TRUE(id);
    EXPECT_TRUE(id->pow().is_valid(id->pk(), difficulty));
    EXPECT_GE(id->pow().difficulty(id->pk()), difficulty);
  }
  // The work is bound to the key: the same nonce on another key rarely passes 12.
  auto a = Identity::generate(12);
  ASSERT_TRUE(a);
  int passed = 0;
  for (std::uint8_t fill = 0; fill < 20; ++fill) passed += a->pow().is_valid(Identity(fixed_sk(fill), Pow(0)).pk(), 12);
  EXPECT_LT(passed, 3);
}

TEST(Identity, UnreachableDifficultyIsRefused) {
  auto id = Identity::generate(kMaxPowDifficulty + 1);
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().kind, IdentityError::Kind::DifficultyTooHigh);
}

TEST(Identity, PowConvertsToAndFromI32) {
  for (std::int32_t v : {0, 1, -1, 2147483647, -2147483647 - 1}) {
    EXPECT_EQ(Pow::from_i32(v).to_i32(), v);
    EXPECT_EQ(Pow(v).to_string(), std::to_string(v));
  }
}

TEST(SuperPeerUrl, ParsesAndPrints) {
  const std::string key(64, 'b');
  struct Case {
    std::string text;
    std::string addr;
    std::uint16_t port;
    std::uint32_t network_id;
  } cases[] = {
      {"udp://sp.example.net:22527?publicKey=" + key + "&networkId=1", "sp.example.net:22527", 22527, 1},
      {"udp://192.0.2.1:1?networkId=4294967295&publicKey=" + key, "192.0.2.1:1", 1, 4294967295u},
      {"udp://[2001:db8::1]:443?publicKey=" + key + "&networkId=0", "[2001:db8::1]:443", 443, 0},
  };
  for (const auto& c : cases) {
    auto url = SuperPeerUrl::parse(c.text);
    ASSERT_TRUE(url) << c.text << ": " << url.error().message();
    EXPECT_EQ(url->addr(), c.addr);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->network_id(), c.network_id);
    EXPECT_EQ(url->pk().to_string(), key);
    auto again = SuperPeerUrl::parse(url->to_string());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *url);
  }
}

TEST(SuperPeerUrl, RefusesMalformedTexts) {
  const std::string key(64, 'b');
  using K = SuperPeerUrlError::Kind;
  struct Case {
    std::string text;
    K kind;
  } cases[] = {
      {"", K::InvalidScheme},
      {"tcp://h:1?publicKey=" + key + "&networkId=1", K::InvalidScheme},
      {"udp://:1?publicKey=" + key + "&networkId=1", K::MissingHost},
      {"udp://h?publicKey=" + key + "&networkId=1", K::InvalidPort},
      {"udp://h:0?publicKey=" + key + "&networkId=1", K::InvalidPort},
      {"udp://h:65536?publicKey=" + key + "&networkId=1", K::InvalidPort},
      {"udp://h:x?publicKey=" + key + "&networkId=1", K::InvalidPort},
      {"udp://h b:1?publicKey=" + key + "&networkId=1", K::MissingHost},
      {"udp://[::1:1?publicKey=" + key + "&networkId=1", K::MissingHost},
      {"udp://h:1?networkId=1", K::MissingPublicKey},
      {"udp://h:1?publicKey=abc&networkId=1", K::InvalidPublicKey},
      {"udp://h:1?publicKey=" + key, K::MissingNetworkId},
      {"udp://h:1?publicKey=" + key + "&networkId=4294967296", K::InvalidNetworkId},
      {"udp://h:1?publicKey=" + key + "&networkId=-1", K::InvalidNetworkId},
      {"udp://h:1?publicKey=" + key + "&networkId=1&x=2", K::UnknownParameter},
  };
  for (const auto& c : cases) {
    auto url = SuperPeerUrl::parse(c.text);
    ASSERT_FALSE(url) << c.text;
    EXPECT_EQ(url.error().kind, c.kind) << c.text << ": " << url.error().message();
    EXPECT_TRUE(url.error().message().starts_with("invalid super peer URL: "));
  }
}

TEST(SuperPeerUrl, DefaultListParsesAndEveryKeyIsAUsablePoint) {
  ASSERT_FALSE(super_peers_default().empty());
  for (const auto& sp : super_peers_default()) {
    EXPECT_NE(sp.port(), 0);
    // An armed node derives its session keys with each super peer from this conversion.
    EXPECT_TRUE(crypto::convert_ed25519_pk_to_curve25519_pk(sp.pk())) << sp.to_string();
  }
}
