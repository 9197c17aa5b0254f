// Arbitrary bytes through every message parser, with and without a session key:
// each must give a message or an error, never a crash or a read out of bounds.
// What parses unarmed must build back to the same bytes, and every message built
// armed from the input must parse back to the same fields.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "message/endpoints.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "message/short_header.h"

using namespace velarix::p2p;
using Bytes = std::vector<std::uint8_t>;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

const crypto::SessionKey& fixed_key() {
  static const crypto::SessionKey key = [] {
    crypto::SessionKey k{};
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 13 + 1);
    return k;
  }();
  return key;
}

template <class T>
void touch(const std::expected<T, MessageError>& r) {
  if (!r) (void)r.error().message();
}

// Parses `input` as every long-header message; each parser gets its own copy,
// since armed bodies are decrypted in place.
void parse_long(std::span<const std::uint8_t> input, const MessageKey& key) {
  auto header = LongHeader::parse(input);
  touch(header);
  if (!header) return;
  const bool unarmed = !key;
  const auto net = header->network_id();
  const auto sender = header->sender();
  const auto recipient = header->recipient();
  const auto pow = header->pow();
  auto body_of = [](Bytes& b) { return std::span(b).subspan(LongHeader::kSize); };

  {
    Bytes b(input.begin(), input.end());
    auto h = *LongHeader::parse(b);
    auto m = AckMessage::parse(body_of(b), h, key);
    touch(m);
    if (m && unarmed) check(AckMessage::build(net, sender, pow, key, recipient, m->time()) == Bytes(input.begin(), input.end()));
  }
  {
    Bytes b(input.begin(), input.end());
    auto h = *LongHeader::parse(b);
    auto m = AppMessage::parse(body_of(b), h, key);
    touch(m);
    if (m && unarmed) check(AppMessage::build(net, sender, pow, key, recipient, m->payload()) == Bytes(input.begin(), input.end()));
  }
  {
    Bytes b(input.begin(), input.end());
    auto h = *LongHeader::parse(b);
    auto m = HelloNodePeerMessage::parse(body_of(b), h, key);
    touch(m);
    if (m && unarmed) {
      check(HelloNodePeerMessage::build(net, sender, pow, key, recipient, m->time(), m->short_id()) ==
            Bytes(input.begin(), input.end()));
    }
  }
  {
    Bytes b(input.begin(), input.end());
    auto h = *LongHeader::parse(b);
    auto m = HelloSuperPeerMessage::parse(body_of(b), h, key);
    touch(m);
    if (m && unarmed) {
      const auto eps = m->endpoints().to_vector();
      check(eps.size() == m->endpoints().size());
      check(HelloSuperPeerMessage::build(net, sender, pow, key, recipient, m->time(), eps) ==
            Bytes(input.begin(), input.end()));
    }
  }
  {
    Bytes b(input.begin(), input.end());
    auto h = *LongHeader::parse(b);
    auto m = UniteMessage::parse(body_of(b), h, key);
    touch(m);
    if (m && unarmed) {
      check(UniteMessage::build(net, sender, pow, key, recipient, m->peer(), m->endpoints().to_vector()) ==
            Bytes(input.begin(), input.end()));
    }
  }
}

// Builds armed messages whose fields come from the input and parses them back.
void round_trip_armed(std::span<const std::uint8_t> input) {
  const MessageKey key = fixed_key();
  PubKey::Bytes kb{};
  std::copy_n(input.begin(), std::min(input.size(), kb.size()), kb.begin());
  const PubKey a(kb);
  std::reverse(kb.begin(), kb.end());
  const PubKey b(kb);
  const NetworkId net = network_id_from_u32(static_cast<std::uint32_t>(input.size()));

  auto app = AppMessage::build(net, a, Pow(7), key, b, input);
  check(app.has_value());
  auto h = LongHeader::parse(*app);
  check(h.has_value() && h->armed() && h->sender() == a && h->recipient() == b);
  auto m = AppMessage::parse(std::span(*app).subspan(LongHeader::kSize), *h, key);
  check(m && std::ranges::equal(m->payload(), input));

  // Endpoints from the input, when it reads as a list.
  auto list = EndpointList::parse(input);
  touch(list);
  if (!list) return;
  const auto eps = list->to_vector();
  Bytes encoded(EndpointList::encoded_size(eps));
  EndpointList::encode(encoded.data(), eps);
  check(std::ranges::equal(encoded, input));
  auto unite = UniteMessage::build(net, a, Pow(-1), key, b, a, eps);
  check(unite.has_value());
  auto uh = LongHeader::parse(*unite);
  auto um = UniteMessage::parse(std::span(*unite).subspan(LongHeader::kSize), *uh, key);
  check(um && um->peer() == a && um->endpoints().to_vector() == eps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const MessageKey key = (data[0] & 1) ? MessageKey(fixed_key()) : std::nullopt;

  {
    Bytes b(input.begin(), input.end());
    auto m = ShortHeader::parse(b, key);
    touch(m);
    if (m && !key) check(ShortHeader::build(m->short_id(), key, m->payload()) == Bytes(input.begin(), input.end()));
  }
  parse_long(input, key);
  if (data[0] & 2) round_trip_armed(input);
  return 0;
}
