#pragma once
// Junk for the tests that flood a node: public keys that carry a valid proof of work but have no
// session key (not curve points), armed APPs under them that nobody can open, and a thread that
// sends such datagrams from several loopback addresses at a steady rate.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/messages.h"

namespace velarix::test::junk {

using Bytes = std::vector<std::uint8_t>;

struct ForgedKey {
  p2p::PubKey key;
  p2p::Pow pow;
};

// A key no key exchange can use, with a proof of work of `difficulty`: what an attacker makes
// in seconds at the default difficulty, and once.
inline ForgedKey forged_key(std::uint8_t difficulty) {
  for (;;) {
    p2p::PubKey::Bytes bytes{};
    p2p::crypto::random_bytes(bytes);
    const p2p::PubKey key(bytes);
    if (p2p::crypto::convert_ed25519_pk_to_curve25519_pk(key)) continue;
    for (std::int32_t nonce = 0;; ++nonce) {
      if (p2p::Pow(nonce).is_valid(key, difficulty)) return ForgedKey{key, p2p::Pow(nonce)};
    }
  }
}

// An armed APP from `from` to `to` sealed under a random key: it authenticates for nobody.
inline Bytes junk_app(const ForgedKey& from, const p2p::PubKey& to, std::uint32_t network) {
  p2p::crypto::SessionKey key{};
  p2p::crypto::random_bytes(key);
  return *p2p::AppMessage::build(p2p::network_id_from_u32(network), from.key, from.pow, key, to, Bytes(60, 0x4A));
}

// Sends `datagrams` in turn towards `to` at about `per_second`, each from the next of the
// sockets bound to `hosts`, until it is destroyed.
class Flood {
 public:
  Flood(std::vector<Bytes> datagrams, const std::vector<std::string>& hosts, boost::asio::ip::udp::endpoint to,
        unsigned per_second)
      : datagrams_(std::move(datagrams)) {
    for (const auto& h : hosts) {
      sockets_.emplace_back(io_, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address(h), 0));
      sockets_.back().non_blocking(true);
    }
    thread_ = std::thread([this, to, per_second] { run(to, per_second); });
  }
  ~Flood() {
    stop_ = true;
    thread_.join();
  }
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

  std::uint64_t sent() const { return sent_.load(); }

 private:
  void run(boost::asio::ip::udp::endpoint to, unsigned per_second) {
    using namespace std::chrono_literals;
    constexpr auto kTick = 2ms;
    const unsigned per_tick = std::max(1u, per_second / 500);
    std::size_t next = 0;
    auto at = std::chrono::steady_clock::now();
    while (!stop_) {
      for (unsigned i = 0; i < per_tick; ++i, ++next) {
        boost::system::error_code ec;  // a full buffer loses the datagram, as on the wire
        sockets_[next % sockets_.size()].send_to(boost::asio::buffer(datagrams_[next % datagrams_.size()]), to, 0, ec);
        if (!ec) ++sent_;
      }
      at += kTick;
      std::this_thread::sleep_until(at);  // pacing the flood, not waiting for an event
    }
  }

  boost::asio::io_context io_;
  std::vector<Bytes> datagrams_;
  std::vector<boost::asio::ip::udp::socket> sockets_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::thread thread_;
};

// `n` loopback addresses from 127.0.0.`first` on, each standing for another host.
inline std::vector<std::string> loopback_hosts(int first, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back("127.0.0." + std::to_string(first + i));
  return out;
}

// The floods of junk from unknown senders a node must stand: one key from many addresses (what
// the node remembers of the key must hold it) and many keys, more than the node's cache of
// newcomers' keys holds, from one address (that address's share must hold them). The
// addresses are 127.0.0.10 and up.
struct FloodShape {
  const char* name;
  int keys;
  int sources;

  // Junk APPs for `to`, one per key, with proofs of work of `difficulty`.
  std::vector<Bytes> junk(const p2p::PubKey& to, std::uint32_t network, std::uint8_t difficulty) const {
    std::vector<Bytes> out;
    for (int i = 0; i < keys; ++i) out.push_back(junk_app(forged_key(difficulty), to, network));
    return out;
  }
  std::vector<std::string> hosts() const { return loopback_hosts(10, sources); }
};
inline constexpr FloodShape kFloodShapes[] = {
    {"one forged key from 16 addresses", 1, 16},
    {"400 forged keys from one address", 400, 1},
};

}  // namespace velarix::test::junk
