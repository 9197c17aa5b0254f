// Datagrams and TCP frames through a node's dispatch, armed and unarmed: every
// packet gives success or an error, never a crash, and no sequence of senders
// grows the peers map past `max_peers`.
//
// The world is fixed: one node identity (an armed and an unarmed node), three
// node-peer identities and the super peer, each with a proof of work that meets
// the nodes' minimum. So the fuzzer can get through authentication, the
// receive road's handlers all run: a body is sealed with the session key the
// node derives for its sender, a short header carries the id the node gave that
// sender, the source may be the super peer's address (relayed) or another one
// (direct), and a HELLO or ACK time can be set relative to now.
//
// An input is a sequence of up to eight records, each
//   ctl0 ctl1 type len data[len]
// ctl0: bit 0 armed node, bit 1 TCP, bits 2-3 form:
//         0 raw packet (data)
//         1 long header of the sender, then data as the body, unsealed
//         2 long header of the sender, then data sealed as the body
//         3 short header with the sender's registered id, data sealed as the payload
//       bits 4-5 recipient: 0-1 the node, 2 the node's key with its last byte changed, 3 the super peer
// ctl1: bits 0-1 sender (3: the super peer), bits 2-3 source address, bit 4 a
//       proof of work that fails the minimum, bit 5 another network id, bit 6
//       fresh time: a HELLO or ACK body starts with now + (int16 from data[0..1])/16 s
// The node state (node peers, short ids, super-peer paths) is reset for every input.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "crypto/crypto.h"
#include "message/armor.h"
#include "message/short_header.h"
#include "message/wire_io.h"
#include "node/inner.h"
#include "node/opts.h"
#include "util/runtime.h"

using namespace velarix::p2p;

namespace {

constexpr std::uint64_t kMaxPeers = 16;
constexpr std::uint8_t kMinPow = 4;
constexpr std::size_t kMaxRecords = 8;

class Discard final : public MessageSink {
 public:
  void accept(const PubKey&, std::span<const std::uint8_t>) override {}
};

crypto::SessionKey session_key(const Identity& self, const PubKey& peer) {
  auto sk = crypto::convert_ed25519_sk_to_curve25519_sk(self.sk());
  auto pk = crypto::convert_ed25519_pk_to_curve25519_pk(self.pk());
  auto other = crypto::convert_ed25519_pk_to_curve25519_pk(peer);
  if (!sk || !pk || !other) std::abort();
  auto key = crypto::compute_kx_session_keys(*pk, *sk, *other);
  if (!key) std::abort();
  return *key;
}

// A weak proof of work for `pk`: one that misses the minimum.
Pow weak_pow(const PubKey& pk) {
  std::int32_t n = 0;
  while (Pow(n).is_valid(pk, kMinPow)) ++n;
  return Pow(n);
}

struct World {
  util::Runtime rt{1};
  Identity self = *Identity::generate(kMinPow);
  // Senders 0-2 are node peers, 3 the super peer.
  std::array<Identity, 4> senders = {*Identity::generate(kMinPow), *Identity::generate(kMinPow),
                                     *Identity::generate(kMinPow), *Identity::generate(kMinPow)};
  std::array<Pow, 4> weak;
  std::array<crypto::SessionKey, 4> keys;
  std::shared_ptr<NodeInner> nodes[2];
  const std::array<boost::asio::ip::udp::endpoint, 4> sources = {
      boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 9),  // the super peer
      boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 40001),
      boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.2"), 40002),
      boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("::1"), 9),
  };

  World() {
    for (std::size_t i = 0; i < senders.size(); ++i) {
      weak[i] = weak_pow(senders[i].pk());
      keys[i] = session_key(senders[i], self.pk());
    }
    const auto url =
        *SuperPeerUrl::parse("udp://127.0.0.1:9?publicKey=" + senders[3].pk().to_string() + "&networkId=1");
    for (int armed = 0; armed < 2; ++armed) {
      NodeOptsBuilder b;
      b.identity(self)
          .message_sink(std::make_shared<Discard>())
          .udp_addrs({boost::asio::ip::make_address("127.0.0.1")})
          .udp_port(std::uint16_t{0})
          .udp_sockets(1)
          .arm_messages(armed == 1)
          .max_peers(kMaxPeers)
          .min_pow_difficulty(kMinPow)
          .super_peers({url});
      auto inner = util::block_on(rt, NodeInner::create(*b.build()));
      if (!inner) std::abort();
      nodes[armed] = *inner;
    }
  }

  // Back to the state right after binding.
  void reset() {
    for (auto& node : nodes) {
      auto& peers = node->peers_list();
      peers.peers.erase_if([](const PubKey&, const Peer& p) { return as_node_peer(p) != nullptr; });
      peers.short_ids.clear();
      for (const auto& sp : node->super_peers()) {
        const auto paths = sp->udp_paths().snapshot();
        for (const auto& [key, path] : *paths) sp->udp_paths().insert_or_assign(key, std::make_shared<PeerPath>());
      }
    }
  }
};

World& world() {
  static World w;
  return w;
}

// `data` as a HELLO or ACK body whose time lies near now.
std::vector<std::uint8_t> with_fresh_time(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> body(data.begin(), data.end());
  if (body.size() < 8) body.resize(8);
  const auto offset = static_cast<std::int16_t>((data.size() >= 2 ? data[0] << 8 | data[1] : 0));
  const auto time = static_cast<std::uint64_t>(static_cast<std::int64_t>(NodeInner::current_time()) +
                                               std::int64_t{offset} * 62'500);
  wire::put_u64(body.data(), time);
  return body;
}

void run_record(std::uint8_t ctl0, std::uint8_t ctl1, std::uint8_t type, std::span<const std::uint8_t> data) {
  auto& w = world();
  NodeInner& node = *w.nodes[ctl0 & 1];
  const bool armed = (ctl0 & 1) != 0;
  const Transport transport = (ctl0 & 2) ? Transport::Tcp : Transport::Udp;
  const unsigned form = (ctl0 >> 2) & 3;
  const unsigned to = (ctl0 >> 4) & 3;
  const unsigned who = ctl1 & 3;
  const Identity& from = w.senders[who];
  const Pow pow = (ctl1 & 0x10) ? w.weak[who] : from.pow();
  const NetworkId network = (ctl1 & 0x20) ? network_id_from_u32(2) : node.network_id();
  const std::optional<crypto::SessionKey> key = armed ? std::optional(w.keys[who]) : std::nullopt;

  PubKey recipient = w.self.pk();
  if (to == 2) {
    auto bytes = recipient.bytes();
    bytes.back() ^= 1;
    recipient = PubKey(bytes);
  } else if (to == 3) {
    recipient = w.senders[3].pk();
  }

  std::vector<std::uint8_t> body(data.begin(), data.end());
  if ((ctl1 & 0x40) && (type == static_cast<std::uint8_t>(MessageType::Hello) ||
                        type == static_cast<std::uint8_t>(MessageType::Ack))) {
    body = with_fresh_time(data);
  }

  std::vector<std::uint8_t> packet;
  switch (form) {
    case 0:
      packet = body;
      break;
    case 1:
      packet.resize(LongHeader::kSize);
      LongHeader::write(std::span<std::uint8_t, LongHeader::kSize>(packet.data(), LongHeader::kSize),
                        static_cast<MessageType>(type), armed, network, from.pk(), pow, recipient);
      packet.insert(packet.end(), body.begin(), body.end());
      break;
    case 2: {
      packet.resize(armor::message_size(LongHeader::kSize, armed, body.size()));
      auto region = armor::begin_long(packet, static_cast<MessageType>(type), network, from.pk(), pow, key, recipient,
                                      body.size());
      if (!region) return;
      auto n = armor::seal(packet, LongHeader::kSize, *region, body, key);
      if (!n) return;
      packet.resize(*n);
      break;
    }
    default: {
      if (who == 3) return;
      auto peer = node.admit_node_peer(from.pk(), from.pow(), true);
      if (!peer) return;
      auto built = ShortHeader::build((*peer)->rx_short_id(), (*peer)->message_key(), body);
      if (!built) return;
      packet = std::move(*built);
      break;
    }
  }

  std::vector<std::uint8_t> scratch(node.opts().network_mtu);
  Transmits out;
  const auto& binding = node.udp_bindings()->front();
  const auto& src = w.sources[(ctl1 >> 2) & 3];
  auto r = node.on_packet(packet, src, transport == Transport::Udp ? binding.get() : nullptr, transport, scratch, out);
  if (!r) (void)r.error().message();
  // Nothing is sent for a refused packet.
  if (!r && (!out.udp.empty() || !out.tcp.empty())) std::abort();
  if (node.peers_list().peers.size() > kMaxPeers) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& w = world();
  w.reset();
  std::span<const std::uint8_t> in(data, size);
  for (std::size_t records = 0; records < kMaxRecords && in.size() >= 4; ++records) {
    const std::size_t len = std::min<std::size_t>(in[3], in.size() - 4);
    run_record(in[0], in[1], in[2], in.subspan(4, len));
    in = in.subspan(4 + len);
  }
  return 0;
}
