// Key exchanges for senders without a record: the key cache first, then the caps.

#include <optional>

#include "crypto/crypto.h"
#include "superpeer/credits.h"
#include "superpeer/inner.h"

namespace velarix::p2p::superpeer {

std::expected<crypto::SessionKey, const char*> Inner::session_key_for(const PubKey& pk,
                                                                      const asio::ip::address& source) {
  crypto::SessionKey key{};
  switch (key_cache.find(pk, key)) {
    case KeyCache::Found::Key:
      return key;
    case KeyCache::Found::NoKey:
      return std::unexpected("its key has no session key");
    case KeyCache::Found::No:
      break;
  }
  // The source's share first: a source refused there does not use up what the others share.
  const auto now = Clock::now();
  if (!exchange_limiter_per_source.allow(source, now)) return std::unexpected("too many key exchanges for its source");
  if (!exchange_limiter.allow(now)) return std::unexpected("too many key exchanges");
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
