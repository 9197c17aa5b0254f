#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/endpoints.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "message/short_header.h"

namespace velarix::p2p {
namespace {

using Bytes = std::vector<std::uint8_t>;
using K = MessageError::Kind;
namespace ip = boost::asio::ip;

Identity identity_from_seed(std::uint8_t fill) {
  SecKey::Bytes seed{};
  seed.fill(fill);
  return Identity(SecKey(seed), Pow(fill * 1000 - 7));
}

crypto::SessionKey session_key(const Identity& me, const Identity& peer) {
  return *crypto::compute_kx_session_keys(*crypto::convert_ed25519_pk_to_curve25519_pk(me.pk()),
                                          *crypto::convert_ed25519_sk_to_curve25519_sk(me.sk()),
                                          *crypto::convert_ed25519_pk_to_curve25519_pk(peer.pk()));
}

// Node A sends to node B; C is a third node.
struct World {
  Identity a = identity_from_seed(1);
  Identity b = identity_from_seed(2);
  Identity c = identity_from_seed(3);
  crypto::SessionKey ab = session_key(a, b);  // as A derives it
  crypto::SessionKey ba = session_key(b, a);  // as B derives it
  crypto::SessionKey cb = session_key(c, b);
  NetworkId net = network_id_from_u32(0x01020304);
  std::vector<Endpoint> endpoints = {
      Endpoint(ip::make_address("192.0.2.1"), 4000),
      Endpoint(ip::make_address("2001:db8::17"), 65535),
      Endpoint(ip::make_address("10.0.0.255"), 0),
  };
};
const World& world() {
  static const World w;
  return w;
}

Bytes payload_of(std::size_t n) {
  Bytes p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return p;
}

// One kind of long-header message: how to build it from A to B, and how to parse
// it (checking every field) as B.
struct Sample {
  const char* name;
  MessageType type;
  std::function<std::expected<Bytes, MessageError>(const MessageKey&)> build;
  std::function<std::expected<void, MessageError>(std::span<std::uint8_t>, const LongHeader&, const MessageKey&)> parse;
};

template <class T>
std::expected<void, MessageError> void_of(const std::expected<T, MessageError>& r) {
  if (!r) return std::unexpected(r.error());
  return {};
}

std::vector<Sample> samples() {
  const World& w = world();
  return {
      {"ACK", MessageType::Ack,
       [&w](const MessageKey& k) { return AckMessage::build(w.net, w.a.pk(), w.a.pow(), k, w.b.pk(), 0x1122334455667788); },
       [](std::span<std::uint8_t> body, const LongHeader& h, const MessageKey& k) {
         auto m = AckMessage::parse(body, h, k);
         if (m) {
           EXPECT_EQ(m->time(), 0x1122334455667788u);
         }
         return void_of(m);
       }},
      {"APP", MessageType::App,
       [&w](const MessageKey& k) { return AppMessage::build(w.net, w.a.pk(), w.a.pow(), k, w.b.pk(), payload_of(300)); },
       [](std::span<std::uint8_t> body, const LongHeader& h, const MessageKey& k) {
         auto m = AppMessage::parse(body, h, k);
         if (m) {
           EXPECT_TRUE(std::ranges::equal(m->payload(), payload_of(300)));
         }
         return void_of(m);
       }},
      {"HELLO node peer", MessageType::Hello,
       [&w](const MessageKey& k) {
         return HelloNodePeerMessage::build(w.net, w.a.pk(), w.a.pow(), k, w.b.pk(), 1'700'000'000'123'456, ShortId(0xa1b2c3d4));
       },
       [](std::span<std::uint8_t> body, const LongHeader& h, const MessageKey& k) {
         auto m = HelloNodePeerMessage::parse(body, h, k);
         if (m) {
           EXPECT_EQ(m->time(), 1'700'000'000'123'456u);
           EXPECT_EQ(m->short_id(), ShortId(0xa1b2c3d4));
         }
         return void_of(m);
       }},
      {"HELLO super peer", MessageType::Hello,
       [&w](const MessageKey& k) {
         return HelloSuperPeerMessage::build(w.net, w.a.pk(), w.a.pow(), k, w.b.pk(), 42, w.endpoints);
       },
       [&w](std::span<std::uint8_t> body, const LongHeader& h, const MessageKey& k) {
         auto m = HelloSuperPeerMessage::parse(body, h, k);
         if (m) {
           EXPECT_EQ(m->time(), 42u);
           EXPECT_EQ(m->endpoints().size(), w.endpoints.size());
           EXPECT_EQ(m->endpoints().to_vector(), w.endpoints);
         }
         return void_of(m);
       }},
      {"UNITE", MessageType::Unite,
       [&w](const MessageKey& k) { return UniteMessage::build(w.net, w.a.pk(), w.a.pow(), k, w.b.pk(), w.c.pk(), w.endpoints); },
       [&w](std::span<std::uint8_t> body, const LongHeader& h, const MessageKey& k) {
         auto m = UniteMessage::parse(body, h, k);
         if (m) {
           EXPECT_EQ(m->peer(), w.c.pk());
           EXPECT_EQ(m->endpoints().to_vector(), w.endpoints);
         }
         return void_of(m);
       }},
  };
}

// Parses a whole packet as `s` would be received.
std::expected<void, MessageError> receive(const Sample& s, Bytes packet, const MessageKey& key) {
  auto header = LongHeader::parse(packet);
  if (!header) return std::unexpected(header.error());
  return s.parse(std::span(packet).subspan(LongHeader::kSize), *header, key);
}

struct Param {
  std::size_t sample;
  bool armed;
};

class LongMessageTest : public ::testing::TestWithParam<Param> {
 protected:
  const Sample& sample() const {
    static const auto all = samples();
    return all[GetParam().sample];
  }
  bool armed() const { return GetParam().armed; }
  MessageKey sender_key() const { return armed() ? MessageKey(world().ab) : std::nullopt; }
  MessageKey receiver_key() const { return armed() ? MessageKey(world().ba) : std::nullopt; }
  Bytes build() const {
    auto m = sample().build(sender_key());
    EXPECT_TRUE(m) << m.error().message();
    return m ? *m : Bytes{};
  }
};

TEST_P(LongMessageTest, RoundTripKeepsHeaderAndFields) {
  const World& w = world();
  Bytes packet = build();
  ASSERT_GE(packet.size(), LongHeader::kSize);
  auto h = LongHeader::parse(packet);
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(h->network_id(), w.net);
  EXPECT_EQ(h->recipient(), w.b.pk());
  EXPECT_EQ(h->sender(), w.a.pk());
  EXPECT_EQ(h->pow(), w.a.pow());
  EXPECT_EQ(h->type(), sample().type);
  EXPECT_EQ(h->armed(), armed());
  EXPECT_EQ(h->version(), kProtocolVersion);
  // The dispatch reads these offsets directly.
  EXPECT_TRUE(std::equal(w.net.begin(), w.net.end(), packet.begin() + 6));
  EXPECT_TRUE(std::equal(w.b.pk().bytes().begin(), w.b.pk().bytes().end(), packet.begin() + 10));
  EXPECT_TRUE(std::equal(w.a.pk().bytes().begin(), w.a.pk().bytes().end(), packet.begin() + 42));
  EXPECT_EQ(packet[78], static_cast<std::uint8_t>(sample().type));
  auto r = receive(sample(), packet, receiver_key());
  EXPECT_TRUE(r) << r.error().message();
}

TEST_P(LongMessageTest, EveryTruncationIsRefused) {
  const Bytes packet = build();
  // An unarmed APP carries no length: any cut behind the header is a shorter payload.
  const std::size_t limit = (sample().type == MessageType::App && !armed()) ? LongHeader::kSize : packet.size();
  for (std::size_t len = 0; len < limit; ++len) {
    EXPECT_FALSE(receive(sample(), Bytes(packet.begin(), packet.begin() + len), receiver_key())) << "length " << len;
  }
}

TEST_P(LongMessageTest, HeaderDamageIsRefused) {
  const Bytes packet = build();
  for (std::size_t i = 0; i < 4; ++i) {
    Bytes bad = packet;
    bad[i] ^= 0x40;
    auto r = receive(sample(), bad, receiver_key());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, K::MagicInvalid) << i;
  }
  Bytes bad = packet;
  bad[4] = 2;
  EXPECT_EQ(receive(sample(), bad, receiver_key()).error(), (MessageError{K::VersionUnsupported, 2, 1}));
  bad = packet;
  bad[5] |= 0x80;
  EXPECT_EQ(receive(sample(), bad, receiver_key()).error().kind, K::FlagsInvalid);
  bad = packet;
  bad[78] = static_cast<std::uint8_t>((bad[78] + 1) % 4);
  EXPECT_EQ(receive(sample(), bad, receiver_key()).error().kind, K::TypeMismatch);
}

TEST_P(LongMessageTest, ArmingMustMatchTheKeyHeld) {
  const Bytes packet = build();
  const MessageKey other = armed() ? MessageKey(std::nullopt) : MessageKey(world().ba);
  auto r = receive(sample(), packet, other);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, armed() ? K::Armed : K::Unarmed);
}

TEST_P(LongMessageTest, TrailingByteIsRefusedUnlessItIsPayload) {
  Bytes packet = build();
  packet.push_back(0);
  if (sample().type == MessageType::App && !armed()) {
    // The datagram's end is the payload's end: the byte is payload.
    auto h = LongHeader::parse(packet);
    auto m = AppMessage::parse(std::span(packet).subspan(LongHeader::kSize), *h, std::nullopt);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload().size(), 301u);
    return;
  }
  auto r = receive(sample(), packet, receiver_key());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, armed() ? K::AuthFailed : K::LengthMismatch);
}

// Only armed messages: unarmed ones carry no tag.
class ArmedMessageTest : public LongMessageTest {};

TEST_P(ArmedMessageTest, EveryFlippedBitAndOtherKeysAreRefused) {
  const Bytes packet = build();
  for (std::size_t i = 4; i < packet.size(); ++i) {
    for (std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      Bytes bad = packet;
      bad[i] ^= bit;
      EXPECT_FALSE(receive(sample(), bad, receiver_key())) << "byte " << i << " bit " << int(bit);
    }
  }
  // Armed for B by A: C's key with B does not open it.
  auto r = receive(sample(), packet, MessageKey(world().cb));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, K::AuthFailed);
  // The same message armed twice differs (fresh nonce), and both open.
  const Bytes again = build();
  EXPECT_NE(again, packet);
  EXPECT_TRUE(receive(sample(), again, receiver_key()));
}

TEST_P(LongMessageTest, BuildIntoCallerBufferChecksItsSize) {
  const Bytes expected = build();
  Bytes out(expected.size() + 10, 0xee);
  // Build through the vector path is covered; here a smaller buffer is refused
  // and nothing is written past it.
  const World& w = world();
  auto into = [&](std::span<std::uint8_t> buf) -> std::expected<std::size_t, MessageError> {
    switch (GetParam().sample) {
      case 0: return AckMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), sender_key(), w.b.pk(), 0x1122334455667788);
      case 1: return AppMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), sender_key(), w.b.pk(), payload_of(300));
      case 2:
        return HelloNodePeerMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), sender_key(), w.b.pk(),
                                                1'700'000'000'123'456, ShortId(0xa1b2c3d4));
      case 3: return HelloSuperPeerMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), sender_key(), w.b.pk(), 42, w.endpoints);
      default:
        return UniteMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), sender_key(), w.b.pk(), w.c.pk(), w.endpoints);
    }
  };
  auto small = into(std::span(out).first(expected.size() - 1));
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error(), (MessageError{K::BufferTooSmall, expected.size() - 1, expected.size()}));
  auto n = into(out);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, expected.size());
  EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(*n), out.end(), [](auto b) { return b == 0xee; }));
  EXPECT_TRUE(receive(sample(), Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n)), receiver_key()));
}

std::vector<Param> params(bool with_unarmed) {
  std::vector<Param> v;
  for (std::size_t i = 0; i < samples().size(); ++i) {
    if (with_unarmed) v.push_back({i, false});
    v.push_back({i, true});
  }
  return v;
}

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
  std::string name = samples()[info.param.sample].name;
  std::replace(name.begin(), name.end(), ' ', '_');
  return name + (info.param.armed ? "_armed" : "_unarmed");
}

INSTANTIATE_TEST_SUITE_P(Messages, LongMessageTest, ::testing::ValuesIn(params(true)), param_name);
INSTANTIATE_TEST_SUITE_P(Messages, ArmedMessageTest, ::testing::ValuesIn(params(false)), param_name);

TEST(LongHeader, AcceptsAnyTypeByteAndLeavesTheVerdictToTheDispatch) {
  const World& w = world();
  Bytes packet = *AckMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), 1);
  for (int t : {4, 200, 255}) {
    packet[78] = static_cast<std::uint8_t>(t);
    auto h = LongHeader::parse(packet);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type_byte(), t);
    EXPECT_FALSE(h->type().has_value());
  }
}

TEST(LongHeader, RefusesOversizedPackets) {
  const World& w = world();
  Bytes packet(kMaxMessageSize + 1);
  LongHeader::write(std::span(packet).first<LongHeader::kSize>(), MessageType::App, false, w.net, w.a.pk(), w.a.pow(),
                    w.b.pk());
  EXPECT_EQ(LongHeader::parse(packet).error().kind, K::Oversized);
  packet.pop_back();
  EXPECT_TRUE(LongHeader::parse(packet));

  const Bytes big(kMaxMessageSize - LongHeader::kSize + 1);
  EXPECT_EQ(AppMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), big).error().kind, K::Oversized);
  EXPECT_EQ(AppMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), std::span(big).first(big.size() - 1))
                ->size(),
            kMaxMessageSize);
}

TEST(LongHeader, PowIsSignedBigEndianAtOffset74) {
  const World& w = world();
  for (std::int32_t pow : {0, 1, -1, INT32_MIN, INT32_MAX, 0x01020304}) {
    Bytes packet = *AckMessage::build(w.net, w.a.pk(), Pow(pow), std::nullopt, w.b.pk(), 1);
    EXPECT_EQ(LongHeader::parse(packet)->pow().to_i32(), pow);
    const auto u = static_cast<std::uint32_t>(pow);
    EXPECT_EQ(packet[74], u >> 24);
    EXPECT_EQ(packet[77], u & 0xff);
  }
}

TEST(AppMessage, PayloadAlreadyInPlaceIsNotCopied) {
  const World& w = world();
  for (bool armed : {false, true}) {
    const MessageKey key = armed ? MessageKey(w.ab) : std::nullopt;
    const Bytes payload = payload_of(1200);
    Bytes buf(AppMessage::wire_size(armed, payload.size()));
    auto at = std::span(buf).subspan(AppMessage::payload_offset(armed), payload.size());
    std::ranges::copy(payload, at.begin());
    auto n = AppMessage::build_into(buf, w.net, w.a.pk(), w.a.pow(), key, w.b.pk(), at);
    ASSERT_TRUE(n);
    ASSERT_EQ(*n, buf.size());
    auto h = LongHeader::parse(buf);
    auto m = AppMessage::parse(std::span(buf).subspan(LongHeader::kSize), *h, armed ? MessageKey(w.ba) : std::nullopt);
    ASSERT_TRUE(m) << m.error().message();
    EXPECT_TRUE(std::ranges::equal(m->payload(), payload));
  }
}

TEST(AppMessage, EmptyPayloadRoundTrips) {
  const World& w = world();
  Bytes packet = *AppMessage::build(w.net, w.a.pk(), w.a.pow(), w.ab, w.b.pk(), {});
  EXPECT_EQ(packet.size(), AppMessage::wire_size(true, 0));
  auto h = LongHeader::parse(packet);
  auto m = AppMessage::parse(std::span(packet).subspan(LongHeader::kSize), *h, w.ba);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->payload().empty());
}

TEST(Endpoints, MalformedListsAreRefused) {
  struct Case {
    const char* name;
    Bytes list;
    K kind;
  };
  const Case cases[] = {
      {"empty", {}, K::TooShort},
      {"count without entries", {1}, K::TooShort},
      {"unknown family", {1, 5, 1, 2, 3, 4, 0, 1}, K::EndpointInvalid},
      {"cut IPv4 entry", {1, 4, 1, 2, 3, 4, 0}, K::TooShort},
      {"cut IPv6 entry", {1, 6, 1, 2, 3, 4, 0, 1}, K::TooShort},
      {"second entry missing", {2, 4, 1, 2, 3, 4, 0, 1}, K::TooShort},
      {"trailing byte", {1, 4, 1, 2, 3, 4, 0, 1, 9}, K::LengthMismatch},
      {"too many", {33}, K::TooManyEndpoints},
      {"count 255", {255}, K::TooManyEndpoints},
  };
  for (const auto& c : cases) {
    auto r = EndpointList::parse(c.list);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind, c.kind) << c.name;
  }
  const Bytes one = {1, 4, 192, 0, 2, 1, 0x0f, 0xa0};  // the list borrows these bytes
  auto ok = EndpointList::parse(one);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->to_vector(), std::vector<Endpoint>{Endpoint(ip::make_address("192.0.2.1"), 4000)});
  const Bytes none = {0};
  EXPECT_TRUE(EndpointList::parse(none)->empty());
}

TEST(Endpoints, AtMost32PerMessageAndTheLargestFitsItsBound) {
  const World& w = world();
  std::vector<Endpoint> eps;
  for (int i = 0; i < 33; ++i) eps.emplace_back(ip::make_address("2001:db8::1"), static_cast<std::uint16_t>(i));
  EXPECT_EQ(HelloSuperPeerMessage::build(w.net, w.a.pk(), w.a.pow(), w.ab, w.b.pk(), 1, eps).error(),
            (MessageError{K::TooManyEndpoints, 33, 32}));
  EXPECT_EQ(UniteMessage::build(w.net, w.a.pk(), w.a.pow(), w.ab, w.b.pk(), w.c.pk(), eps).error().kind,
            K::TooManyEndpoints);
  eps.pop_back();
  EXPECT_EQ(HelloSuperPeerMessage::build(w.net, w.a.pk(), w.a.pow(), w.ab, w.b.pk(), 1, eps)->size(),
            HelloSuperPeerMessage::kMaxWireSize);
  EXPECT_EQ(UniteMessage::build(w.net, w.a.pk(), w.a.pow(), w.ab, w.b.pk(), w.c.pk(), eps)->size(),
            UniteMessage::kMaxWireSize);
}

TEST(Endpoints, HelloToSuperPeerWithoutCandidates) {
  const World& w = world();
  Bytes packet = *HelloSuperPeerMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), 9, {});
  auto h = LongHeader::parse(packet);
  auto m = HelloSuperPeerMessage::parse(std::span(packet).subspan(LongHeader::kSize), *h, std::nullopt);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->endpoints().empty());
  // A HELLO to a node peer is not one to a super peer, though both are type HELLO.
  Bytes node_hello = *HelloNodePeerMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), 9, ShortId(5));
  auto h2 = LongHeader::parse(node_hello);
  EXPECT_FALSE(HelloSuperPeerMessage::parse(std::span(node_hello).subspan(LongHeader::kSize), *h2, std::nullopt));
  EXPECT_FALSE(HelloNodePeerMessage::parse(std::span(packet).subspan(LongHeader::kSize), *h, std::nullopt));
}

// --- short header -----------------------------------------------------------------

TEST(ShortHeader, RoundTripArmedAndUnarmed) {
  const World& w = world();
  for (bool armed : {false, true}) {
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{1200}}) {
      const Bytes payload = payload_of(len);
      auto packet = ShortHeader::build(ShortId(0x0badf00d), armed ? MessageKey(w.ab) : std::nullopt, payload);
      ASSERT_TRUE(packet);
      EXPECT_EQ(packet->size(), ShortHeader::wire_size(armed, len));
      EXPECT_EQ((std::array<std::uint8_t, 4>{(*packet)[0], (*packet)[1], (*packet)[2], (*packet)[3]}),
                (std::array<std::uint8_t, 4>{0x0b, 0xad, 0xf0, 0x0d}));
      auto m = ShortHeader::parse(*packet, armed ? MessageKey(w.ba) : std::nullopt);
      ASSERT_TRUE(m) << m.error().message();
      EXPECT_EQ(m->short_id(), ShortId(0x0badf00d));
      EXPECT_TRUE(std::ranges::equal(m->payload(), payload));
    }
  }
}

TEST(ShortHeader, MalformedAndTamperedInputIsRefused) {
  const World& w = world();
  const Bytes payload = payload_of(64);
  const Bytes armed = *ShortHeader::build(ShortId(77), w.ab, payload);
  for (std::size_t len = 0; len < ShortHeader::wire_size(true, 0); ++len) {
    Bytes cut(armed.begin(), armed.begin() + static_cast<std::ptrdiff_t>(len));
    EXPECT_FALSE(ShortHeader::parse(cut, w.ba)) << len;
  }
  for (std::size_t i = 0; i < armed.size(); ++i) {
    Bytes bad = armed;
    bad[i] ^= 0x01;
    EXPECT_FALSE(ShortHeader::parse(bad, w.ba)) << "byte " << i;
  }
  Bytes copy = armed;
  EXPECT_EQ(ShortHeader::parse(copy, w.cb).error().kind, K::AuthFailed);
  Bytes grown = armed;
  grown.push_back(0);
  EXPECT_EQ(ShortHeader::parse(grown, w.ba).error().kind, K::AuthFailed);

  const Bytes unarmed = *ShortHeader::build(ShortId(77), std::nullopt, payload);
  for (std::size_t len = 0; len < ShortHeader::kSize; ++len) {
    Bytes cut(unarmed.begin(), unarmed.begin() + static_cast<std::ptrdiff_t>(len));
    EXPECT_EQ(ShortHeader::parse(cut, std::nullopt).error().kind, K::TooShort) << len;
  }
  Bytes huge(kMaxMessageSize + 1, 1);
  EXPECT_EQ(ShortHeader::parse(huge, std::nullopt).error().kind, K::Oversized);
}

TEST(ShortHeader, NeverUsesZeroOrTheMagicAsId) {
  const World& w = world();
  for (std::uint32_t id : {0u, ShortId::kMagicValue}) {
    EXPECT_EQ(ShortHeader::build(ShortId(id), std::nullopt, payload_of(4)).error().kind, K::ShortIdInvalid);
    EXPECT_EQ(ShortHeader::build(ShortId(id), w.ab, payload_of(4)).error().kind, K::ShortIdInvalid);
  }
  // A long-header message is never read as a short-header one.
  Bytes long_msg = *AppMessage::build(w.net, w.a.pk(), w.a.pow(), std::nullopt, w.b.pk(), payload_of(10));
  EXPECT_EQ(ShortId::from_bytes(std::span(long_msg).first<4>()).value(), ShortId::kMagicValue);
  EXPECT_EQ(ShortHeader::parse(long_msg, std::nullopt).error().kind, K::ShortIdInvalid);
  Bytes zero(10, 0);
  EXPECT_EQ(ShortHeader::parse(zero, std::nullopt).error().kind, K::ShortIdInvalid);
}

TEST(ShortHeader, BuildsIntoCallerBufferWithPayloadInPlace) {
  const World& w = world();
  const Bytes payload = payload_of(500);
  Bytes buf(ShortHeader::wire_size(true, payload.size()));
  auto at = std::span(buf).subspan(ShortHeader::payload_offset(true), payload.size());
  std::ranges::copy(payload, at.begin());
  ASSERT_EQ(ShortHeader::build_into(std::span(buf).first(buf.size() - 1), ShortId(9), w.ab, at).error().kind,
            K::BufferTooSmall);
  auto n = ShortHeader::build_into(buf, ShortId(9), w.ab, at);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, buf.size());
  auto m = ShortHeader::parse(buf, w.ba);
  ASSERT_TRUE(m);
  EXPECT_TRUE(std::ranges::equal(m->payload(), payload));
}

TEST(MessageError, TextsCarryTheirNumbers) {
  EXPECT_EQ((MessageError{K::TooShort, 3, 79}).message(), "Message too short: 3 bytes, at least 79 needed");
  EXPECT_EQ((MessageError{K::AuthFailed}).message(), "Message authentication failed");
  EXPECT_EQ((MessageError{K::ShortIdInvalid, 0x1e3f5001}).message(), "Invalid short id 1e3f5001");
  EXPECT_EQ((MessageError{K::FlagsInvalid, 0x82}).message(), "Invalid message flags 0x82");
  EXPECT_EQ(message_type_name(3), "UNITE");
  EXPECT_EQ(message_type_name(9), "unknown");
}

}  // namespace
}  // namespace velarix::p2p
