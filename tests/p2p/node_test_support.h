#pragma once
// Helpers of the node tests: identities, options, a recording message sink and
// a node state built without its tasks.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "identity/super_peer_url.h"
#include "node/inner.h"
#include "node/message_sink.h"
#include "node/opts.h"
#include "node/short_id.h"
#include "util/runtime.h"

namespace velarix::test {

using namespace p2p;

// Keeps every payload it is handed; a test waits for them with a deadline.
class RecordingSink final : public MessageSink {
 public:
  void accept(const PubKey& sender, std::span<const std::uint8_t> payload) override {
    std::lock_guard lock(mutex_);
    received_.emplace_back(sender, std::vector<std::uint8_t>(payload.begin(), payload.end()));
    cv_.notify_all();
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return received_.size();
  }
  std::vector<std::pair<PubKey, std::vector<std::uint8_t>>> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // True once `pred` holds for the payloads received so far.
  bool wait_until(const std::function<bool(const std::vector<std::pair<PubKey, std::vector<std::uint8_t>>>&)>& pred,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20)) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, deadline, [&] { return pred(received_); });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::pair<PubKey, std::vector<std::uint8_t>>> received_;
};

// Closes the descriptors a test opened by hand when it ends, however it ends.
struct ClosesFds {
  std::vector<int>& fds;
  ~ClosesFds() {
    for (int fd : fds) ::close(fd);
  }
};

// Short ids are drawn from `source` while this lives (tests force collisions with it).
class ScopedShortIdSource {
 public:
  explicit ScopedShortIdSource(ShortId::Source source) : previous_(ShortId::set_source(source)) {}
  ~ScopedShortIdSource() { ShortId::set_source(previous_); }
  ScopedShortIdSource(const ScopedShortIdSource&) = delete;
  ScopedShortIdSource& operator=(const ScopedShortIdSource&) = delete;

 private:
  ShortId::Source previous_;
};

inline Identity make_identity(std::uint8_t difficulty = 0) { return *Identity::generate(difficulty); }

// An identity whose proof of work stays below `difficulty`.
inline Identity weak_identity(std::uint8_t difficulty) {
  for (;;) {
    Identity id = make_identity(0);
    if (id.pow().difficulty(id.pk()) < difficulty) return id;
  }
}

inline SuperPeerUrl super_peer_url(const PubKey& pk, const std::string& host_port, std::uint32_t network_id) {
  return *SuperPeerUrl::parse(fmt::format("udp://{}?publicKey={}&networkId={}", host_port, pk.to_string(), network_id));
}

// Options for a node on loopback with a system-chosen port and quick timers.
inline NodeOpts loopback_opts(const Identity& identity, std::vector<SuperPeerUrl> super_peers, bool arm,
                              std::shared_ptr<MessageSink> sink) {
  NodeOptsBuilder b;
  b.identity(identity)
      .message_sink(std::move(sink))
      .udp_addrs({boost::asio::ip::make_address("127.0.0.1")})
      .udp_port(std::uint16_t{0})
      .udp_sockets(1)
      .arm_messages(arm)
      .min_pow_difficulty(0)
      .hello_timeout(1000)
      .hello_max_age(60'000)
      .housekeeping_interval(100)
      .super_peers(std::move(super_peers));
  return *b.build();
}

// The session key `self` shares with `peer` (what `peer` arms its messages with).
inline crypto::SessionKey session_key(const Identity& self, const PubKey& peer) {
  auto sk = crypto::convert_ed25519_sk_to_curve25519_sk(self.sk());
  auto pk = crypto::convert_ed25519_pk_to_curve25519_pk(self.pk());
  auto other = crypto::convert_ed25519_pk_to_curve25519_pk(peer);
  return *crypto::compute_kx_session_keys(*pk, *sk, *other);
}

inline std::shared_ptr<NodeInner> create_inner(util::Runtime& rt, NodeOpts opts) {
  auto r = util::block_on(rt, NodeInner::create(std::move(opts)));
  if (!r) throw std::runtime_error(r.error().message());
  return *r;
}

}  // namespace velarix::test
