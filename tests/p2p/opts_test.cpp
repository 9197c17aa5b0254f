#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "message/messages.h"
#include "message/short_header.h"
#include "node/message_sink.h"
#include "node/opts.h"
#include "node/pow_status.h"
#include "node/short_id.h"

namespace velarix::p2p {
namespace {

Identity test_identity() {
  SecKey::Bytes seed{};
  seed.fill(9);
  return Identity(SecKey(seed), Pow(5));
}

struct CountingSink : MessageSink {
  int calls = 0;
  void accept(const PubKey&, std::span<const std::uint8_t>) override { ++calls; }
};

TEST(NodeOptsBuilder, DefaultsWithOnlyAnIdentity) {
  auto opts = NodeOptsBuilder().identity(test_identity()).build();
  ASSERT_TRUE(opts) << opts.error().message();
  EXPECT_EQ(opts->identity, test_identity());
  EXPECT_TRUE(opts->udp_addrs.empty());
  EXPECT_FALSE(opts->udp_port.has_value());
  EXPECT_EQ(opts->udp_sockets, 3u);
  EXPECT_TRUE(opts->arm_messages);
  EXPECT_EQ(opts->max_peers, 8192u);
  EXPECT_EQ(opts->min_pow_difficulty, 24);
  EXPECT_EQ(opts->hello_timeout, 30000u);
  EXPECT_EQ(opts->hello_max_age, 60000u);
  EXPECT_EQ(opts->super_peers, super_peers_default());
  EXPECT_EQ(opts->network_mtu, 1232u);
  EXPECT_TRUE(opts->process_unites);
  EXPECT_EQ(opts->housekeeping_interval, 5000u);
  EXPECT_FALSE(opts->enforce_tcp);
  // Never null: payloads go nowhere, and taking one does not crash.
  ASSERT_NE(opts->message_sink, nullptr);
  opts->message_sink->accept(test_identity().pk(), std::vector<std::uint8_t>{1, 2, 3});
}

TEST(NodeOptsBuilder, EverySetterIsKept) {
  auto sink = std::make_shared<CountingSink>();
  const auto sp = SuperPeerUrl::parse(
      "udp://192.0.2.7:22527?publicKey=c0900bcfabc493d062ecd293265f571edb70b85313ba4cdda96c9f77163ba62d&networkId=1");
  ASSERT_TRUE(sp) << sp.error().message();
  auto opts = NodeOptsBuilder()
                  .identity(test_identity())
                  .message_sink(sink)
                  .udp_addrs({boost::asio::ip::make_address("127.0.0.1"), boost::asio::ip::make_address("::1")})
                  .udp_port(0)
                  .udp_sockets(1)
                  .arm_messages(false)
                  .max_peers(0)
                  .min_pow_difficulty(0)
                  .hello_timeout(1)
                  .hello_max_age(2)
                  .super_peers({*sp})
                  .network_mtu(1500)
                  .process_unites(false)
                  .housekeeping_interval(7)
                  .enforce_tcp(true)
                  .build();
  ASSERT_TRUE(opts);
  EXPECT_EQ(opts->message_sink, sink);
  EXPECT_EQ(opts->udp_addrs.size(), 2u);
  EXPECT_EQ(opts->udp_port, std::optional<std::uint16_t>(0));
  EXPECT_EQ(opts->udp_sockets, 1u);
  EXPECT_FALSE(opts->arm_messages);
  EXPECT_EQ(opts->max_peers, 0u);
  EXPECT_EQ(opts->min_pow_difficulty, 0);
  EXPECT_EQ(opts->hello_timeout, 1u);
  EXPECT_EQ(opts->hello_max_age, 2u);
  EXPECT_EQ(opts->super_peers, std::vector<SuperPeerUrl>{*sp});
  EXPECT_EQ(opts->network_mtu, 1500u);
  EXPECT_FALSE(opts->process_unites);
  EXPECT_EQ(opts->housekeeping_interval, 7u);
  EXPECT_TRUE(opts->enforce_tcp);
  // An empty super-peer list stays empty (binding refuses it, not the builder).
  EXPECT_TRUE(NodeOptsBuilder().identity(test_identity()).super_peers({}).build()->super_peers.empty());
}

TEST(NodeOptsBuilder, RefusesUnusableOptions) {
  using K = NodeOptsBuilderError::Kind;
  struct Case {
    const char* name;
    NodeOptsBuilder builder;
    K kind;
    const char* text;
  };
  const Case cases[] = {
      {"no identity", NodeOptsBuilder(), K::IdentityMissing, "Node options need an identity"},
      {"housekeeping interval 0", NodeOptsBuilder().identity(test_identity()).housekeeping_interval(0),
       K::HousekeepingIntervalZero, "Housekeeping interval must be greater than 0"},
      {"MTU 0", NodeOptsBuilder().identity(test_identity()).network_mtu(0), K::NetworkMtuOutOfRange,
       "Network MTU must be between 760 and 65535 bytes"},
      {"MTU below the largest control message", NodeOptsBuilder().identity(test_identity()).network_mtu(kMinNetworkMtu - 1),
       K::NetworkMtuOutOfRange, nullptr},
      {"MTU above any datagram", NodeOptsBuilder().identity(test_identity()).network_mtu(kMaxNetworkMtu + 1),
       K::NetworkMtuOutOfRange, nullptr},
  };
  for (const auto& c : cases) {
    auto r = c.builder.build();
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind, c.kind) << c.name;
    if (c.text) {
      EXPECT_EQ(r.error().message(), c.text) << c.name;
    }
  }
  EXPECT_TRUE(NodeOptsBuilder().identity(test_identity()).network_mtu(kMinNetworkMtu).build());
  EXPECT_TRUE(NodeOptsBuilder().identity(test_identity()).network_mtu(kMaxNetworkMtu).build());
  EXPECT_TRUE(NodeOptsBuilder().identity(test_identity()).housekeeping_interval(1).build());
}

TEST(NodeOpts, DefaultMtuCarriesTheAgentsLargestPackets) {
  // The agent sends packets of up to 1073 bytes armed and 1121 unarmed.
  EXPECT_LE(AppMessage::wire_size(true, 1073), kDefaultNetworkMtu);
  EXPECT_LE(AppMessage::wire_size(false, 1121), kDefaultNetworkMtu);
  EXPECT_LE(ShortHeader::wire_size(true, 1073), kDefaultNetworkMtu);
  EXPECT_LE(ShortHeader::wire_size(false, 1121), kDefaultNetworkMtu);
  EXPECT_EQ(kDefaultNetworkMtu, 1280u - 40 - 8);
  EXPECT_LE(kMinNetworkMtu, kDefaultNetworkMtu);
}

TEST(ShortId, BytesAndText) {
  const ShortId id(0x1a2b3c4d);
  EXPECT_EQ(id.to_string(), "1a2b3c4d");
  EXPECT_EQ(ShortId(7).to_string(), "00000007");
  const auto b = id.to_bytes();
  EXPECT_EQ(b, (std::array<std::uint8_t, 4>{0x1a, 0x2b, 0x3c, 0x4d}));
  EXPECT_EQ(ShortId::from_bytes(b), id);
  EXPECT_TRUE(ShortId().is_none());
  EXPECT_FALSE(ShortId().is_valid());
  EXPECT_FALSE(ShortId(ShortId::kMagicValue).is_valid());
  EXPECT_TRUE(ShortId::random().is_valid());
  EXPECT_NE(ShortId::random(), ShortId::random());
}

TEST(PowStatus, Texts) {
  EXPECT_EQ(to_string(PowStatus::Unknw), "Unknw");
  EXPECT_EQ(to_string(PowStatus::Ok), "Ok");
  EXPECT_EQ(to_string(PowStatus::Nok), "Nok");
}

}  // namespace
}  // namespace velarix::p2p
