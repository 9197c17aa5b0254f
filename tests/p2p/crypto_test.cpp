#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <sodium.h>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "util/hex.h"

namespace velarix::p2p {
namespace {

using util::hex::bytes_to_hex;

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::vector<std::uint8_t> repeat(std::uint8_t b, std::size_t n) { return std::vector<std::uint8_t>(n, b); }

Identity identity_from_seed(std::uint8_t fill) {
  SecKey::Bytes seed{};
  seed.fill(fill);
  return Identity(SecKey(seed), Pow(0));
}

TEST(Hex, TwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(bytes_to_hex(std::vector<std::uint8_t>{}), "");
  const std::vector<std::uint8_t> v = {0x00, 0x0a, 0xab, 0xff, 0x10};
  EXPECT_EQ(bytes_to_hex(v), "000aabff10");
}

TEST(Sha256, KnownAnswers) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    auto d = crypto::sha256(bytes(c.input));
    ASSERT_TRUE(d) << c.input;
    EXPECT_EQ(bytes_to_hex(*d), c.digest) << c.input;
    EXPECT_EQ(bytes_to_hex(*crypto::sha256(std::string_view(c.input))), c.digest);
  }
}

TEST(HmacSha256, Rfc4231AndEmptyKey) {
  std::vector<std::uint8_t> key4(25);
  for (std::size_t i = 0; i < key4.size(); ++i) key4[i] = static_cast<std::uint8_t>(i + 1);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> data;
    const char* mac;
  };
  const Case cases[] = {
      {"rfc4231 1", repeat(0x0b, 20), bytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"rfc4231 2", bytes("Jefe"), bytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"rfc4231 3", repeat(0xaa, 20), repeat(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"rfc4231 4", key4, repeat(0xcd, 50), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"rfc4231 6 (key longer than block)", repeat(0xaa, 131),
       bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"rfc4231 7 (key and data longer than block)", repeat(0xaa, 131),
       bytes("This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
             "be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      {"empty key, empty message", {}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
      {"empty key", {}, bytes("abc"), "fd7adb152c05ef80dccf50a1fa4c05d5a3ec6da95575fc312ae7c5d091836351"},
      {"key of exactly one block", repeat(0x01, 64), bytes("abc"),
       "0c462fe9789424c45ebeb37b90d6e879e8e0580849c91a84198b267a90c77250"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bytes_to_hex(crypto::hmac_sha256(c.key, c.data)), c.mac) << c.name;
  }
  EXPECT_EQ(bytes_to_hex(crypto::hmac_sha256(bytes("Jefe"), std::string_view("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(HmacSha256, KeyJustOverBlockSizeIsHashedFirst) {
  const auto key = repeat(0x5c, 65);
  const auto hashed = *crypto::sha256(key);
  EXPECT_EQ(crypto::hmac_sha256(key, bytes("msg")), crypto::hmac_sha256(hashed, bytes("msg")));
  // A key of one block is used as it is.
  const auto block = repeat(0x5c, 64);
  EXPECT_NE(crypto::hmac_sha256(block, bytes("msg")), crypto::hmac_sha256(*crypto::sha256(block), bytes("msg")));
}

TEST(SignEd25519, Rfc8032TestOne) {
  auto seed = SecKey::from_text("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
  ASSERT_TRUE(seed);
  const Identity id(*seed, Pow(0));
  EXPECT_EQ(id.pk().to_string(), "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  auto sig = crypto::sign_ed25519(*seed, std::span<const std::uint8_t>());
  ASSERT_TRUE(sig);
  EXPECT_EQ(bytes_to_hex(*sig),
            "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f05"
            "95bbe24655141438e7a100b");

  const auto msg = bytes("a message");
  auto sig2 = crypto::sign_ed25519(*seed, msg);
  ASSERT_TRUE(sig2);
  EXPECT_EQ(crypto_sign_verify_detached(sig2->data(), msg.data(), msg.size(), id.pk().data()), 0);
}

TEST(KeyConversion, CurveKeysOfOneIdentityBelongTogether) {
  const Identity id = identity_from_seed(7);
  auto sk = crypto::convert_ed25519_sk_to_curve25519_sk(id.sk());
  auto pk = crypto::convert_ed25519_pk_to_curve25519_pk(id.pk());
  ASSERT_TRUE(sk);
  ASSERT_TRUE(pk);
  crypto::X25519Key derived{};
  ASSERT_EQ(crypto_scalarmult_base(derived.data(), sk->data()), 0);
  EXPECT_EQ(derived, *pk);
}

TEST(KeyConversion, RefusesKeysThatAreNoCurvePoint) {
  // All zero bytes encode a point of small order; 0xff.. is no valid encoding.
  for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xff}}) {
    PubKey::Bytes b{};
    b.fill(fill);
    auto r = crypto::convert_ed25519_pk_to_curve25519_pk(PubKey(b));
    ASSERT_FALSE(r) << int(fill);
    EXPECT_EQ(r.error().kind, CryptoError::Kind::KeyConversionFailed);
    EXPECT_EQ(r.error().message(), "Failed to convert Ed25519 key to Curve25519");
  }
}

struct KxKeys {
  crypto::X25519Key pk, sk;
};
KxKeys kx_keys(const Identity& id) {
  return {*crypto::convert_ed25519_pk_to_curve25519_pk(id.pk()), *crypto::convert_ed25519_sk_to_curve25519_sk(id.sk())};
}

TEST(KeyExchange, BothEndsDeriveTheSameKeyAndOtherPairsDiffer) {
  const auto a = kx_keys(identity_from_seed(1));
  const auto b = kx_keys(identity_from_seed(2));
  const auto c = kx_keys(identity_from_seed(3));
  auto ab = crypto::compute_kx_session_keys(a.pk, a.sk, b.pk);
  auto ba = crypto::compute_kx_session_keys(b.pk, b.sk, a.pk);
  auto ac = crypto::compute_kx_session_keys(a.pk, a.sk, c.pk);
  auto cb = crypto::compute_kx_session_keys(c.pk, c.sk, b.pk);
  ASSERT_TRUE(ab && ba && ac && cb);
  EXPECT_EQ(*ab, *ba);
  EXPECT_NE(*ab, *ac);
  EXPECT_NE(*ab, *cb);
  EXPECT_NE(*ac, *cb);
  // Deterministic: the same pair derives the same key again.
  EXPECT_EQ(*crypto::compute_kx_session_keys(b.pk, b.sk, a.pk), *ab);
}

TEST(KeyExchange, RefusesLowOrderPeerKey) {
  const auto a = kx_keys(identity_from_seed(1));
  crypto::X25519Key zero{};
  auto r = crypto::compute_kx_session_keys(a.pk, a.sk, zero);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, CryptoError::Kind::KeyExchangeFailed);
}

TEST(RandomBytes, FillsBuffers) {
  std::array<std::uint8_t, 32> x{}, y{};
  crypto::random_bytes(x);
  crypto::random_bytes(y);
  EXPECT_NE(x, y);
  crypto::random_bytes(std::span<std::uint8_t>());  // nothing to fill, no crash
}

TEST(Nonce, CountsWithinAThreadAndDiffersAcrossThreads) {
  std::array<std::uint8_t, crypto::kAeadNonceSize> n1{}, n2{}, other{};
  crypto::next_nonce(n1);
  crypto::next_nonce(n2);
  EXPECT_TRUE(std::equal(n1.begin(), n1.begin() + 16, n2.begin()));
  std::uint64_t c1 = 0, c2 = 0;
  for (int i = 16; i < 24; ++i) {
    c1 = (c1 << 8) | n1[i];
    c2 = (c2 << 8) | n2[i];
  }
  EXPECT_EQ(c2, c1 + 1);
  std::thread([&] { crypto::next_nonce(other); }).join();
  EXPECT_FALSE(std::equal(n1.begin(), n1.begin() + 16, other.begin()));
}

TEST(Aead, OpensOnlyWithTheSameKeyNonceAndAssociatedData) {
  crypto::SessionKey key{}, wrong{};
  crypto::random_bytes(key);
  crypto::random_bytes(wrong);
  std::array<std::uint8_t, crypto::kAeadNonceSize> nonce{};
  crypto::next_nonce(nonce);
  const auto plain = bytes("attack at dawn");
  const auto ad = bytes("header");
  std::array<std::uint8_t, crypto::kAeadTagSize> tag{};

  auto sealed = plain;
  ASSERT_TRUE(crypto::aead_encrypt(sealed, tag, sealed, ad, nonce, key));  // in place
  EXPECT_NE(sealed, plain);

  auto copy = sealed;
  EXPECT_FALSE(crypto::aead_decrypt_in_place(copy, tag, ad, nonce, wrong));
  copy = sealed;
  EXPECT_FALSE(crypto::aead_decrypt_in_place(copy, tag, bytes("Header"), nonce, key));
  copy = sealed;
  auto r = crypto::aead_decrypt_in_place(copy, tag, ad, nonce, key);
  ASSERT_TRUE(r);
  EXPECT_EQ(copy, plain);
}

}  // namespace
}  // namespace velarix::p2p
