// Key exchanges for senders without a record: the key cache first, then the caps.

#include <optional>

#include "crypto/crypto.h"
#include "superpeer/credits.h"
#include "superpeer/inner.h"

namespace velarix::p2p::superpeer {

std::expected<crypto::SessionKey, const char*> Inner::session_key_for(const PubKey& pk,
                                                                      const asio::ip::address& source,
                                                                      std::uint16_t port) {
  crypto::SessionKey key{};
  switch (key_cache.find(pk, key)) {
    case KeyCache::Found::Key:
      return key;
    case KeyCache::Found::NoKey:
      return std::unexpected("its key has no session key");
    case KeyCache::Found::No:
      break;
  }
  // One port of a source has a tenth of the source's share: junk from a few sockets cannot use
  // up what the nodes behind that address need. A source within its share comes first; one
  // beyond it (junk from many ports) has only what the others leave, which goes to whoever asks,
  // so the newcomers behind it are held back only while the junk brings keys not seen before.
  const auto now = Clock::now();
  if (!exchange_limiter_per_port.allow(source, port, now)) return std::unexpected("too many key exchanges for its port");
  const bool within_share = exchange_limiter_per_source.allow(source, now);
  if (!exchange_limiter.allow(now, !within_share)) {
    return std::unexpected(within_share ? "too many key exchanges" : "too many key exchanges for its source");
  }
  bump(&SuperPeerStats::key_exchanges);
  std::optional<crypto::SessionKey> derived;
  if (auto peer = crypto::convert_ed25519_pk_to_curve25519_pk(pk)) {
    if (auto k = crypto::compute_kx_session_keys(x_pk, x_sk, *peer)) derived = *k;
  }
  key_cache.put(pk, derived);
  if (!derived) return std::unexpected("its key has no session key");
  return *derived;
}

}  // namespace velarix::p2p::superpeer
