// Arbitrary datagrams and TCP frames through a node's dispatch, armed and
// unarmed: every packet gives success or an error, never a crash, and no
// sequence of senders grows the peers map past `max_peers`.
//
// Input: byte 0 chooses the node (bit 0: armed), the transport (bit 1: TCP) and
// whether the rest follows a valid long header (bit 2) from one of a few known
// senders (bits 4-5: which; 3 = a super peer), with bytes 1.. as the type byte
// and body; otherwise bytes 1.. are the whole packet.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "node/inner.h"
#include "node/opts.h"
#include "util/runtime.h"

using namespace velarix::p2p;

namespace {

constexpr std::uint64_t kMaxPeers = 16;

class Discard final : public MessageSink {
 public:
  void accept(const PubKey&, std::span<const std::uint8_t>) override {}
};

struct World {
  util::Runtime rt{1};
  Identity self = *Identity::generate(0);
  Identity super_peer = *Identity::generate(0);
  std::vector<Identity> senders = {*Identity::generate(0), *Identity::generate(0), *Identity::generate(0)};
  std::shared_ptr<NodeInner> nodes[2];

  World() {
    const auto url = *SuperPeerUrl::parse("udp://127.0.0.1:9?publicKey=" + super_peer.pk().to_string() + "&networkId=1");
    for (int armed = 0; armed < 2; ++armed) {
      NodeOptsBuilder b;
      b.identity(self)
          .message_sink(std::make_shared<Discard>())
          .udp_addrs({boost::asio::ip::make_address("127.0.0.1")})
          .udp_port(std::uint16_t{0})
          .udp_sockets(1)
          .arm_messages(armed == 1)
          .max_peers(kMaxPeers)
          .min_pow_difficulty(0)
          .super_peers({url});
      auto inner = util::block_on(rt, NodeInner::create(*b.build()));
      if (!inner) std::abort();
      nodes[armed] = *inner;
    }
  }
};

World& world() {
  static World w;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  auto& w = world();
  const std::uint8_t mode = data[0];
  auto& node = *w.nodes[mode & 1];
  const Transport transport = (mode & 2) ? Transport::Tcp : Transport::Udp;

  std::vector<std::uint8_t> packet;
  if ((mode & 4) && size >= 2) {
    const unsigned who = (mode >> 4) & 3;
    const Identity& from = who == 3 ? w.super_peer : w.senders[who];
    packet.resize(LongHeader::kSize);
    LongHeader::write(std::span<std::uint8_t, LongHeader::kSize>(packet.data(), LongHeader::kSize),
                      MessageType::App, (mode & 1) != 0, node.network_id(), from.pk(), from.pow(), w.self.pk());
    packet[LongHeader::kTypeOffset] = data[1];
    packet.insert(packet.end(), data + 2, data + size);
  } else {
    packet.assign(data + 1, data + size);
  }

  std::vector<std::uint8_t> scratch(node.opts().network_mtu);
  Transmits out;
  const auto& binding = node.udp_bindings()->front();
  const boost::asio::ip::udp::endpoint src(boost::asio::ip::make_address("127.0.0.1"), 9);
  auto r = node.on_packet(packet, src, transport == Transport::Udp ? binding.get() : nullptr, transport, scratch, out);
  if (!r) (void)r.error().message();
  if (node.peers_list().peers.size() > kMaxPeers) std::abort();
  return 0;
}
