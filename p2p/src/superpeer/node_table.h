#pragma once
// The node table that HELLOs fill: what the super peer knows of each node (its record), what
// relays note about it without a lock, and the route every relay reads.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/endpoints.h"
#include "message/messages.h"
#include "superpeer/common.h"
#include "superpeer/links.h"

namespace velarix::p2p::superpeer {

// The most bytes of UNITEs a node's UDP address can have paid for in advance.
constexpr std::int64_t kMaxUniteCredit = 64 * 1024;

// What relays note about a node without a lock, shared by its record and its route.
struct NodeMarks {
  // Set once a message was relayed to it, or from it on its own path: a node in use, which a
  // newcomer does not push out of a full table.
  std::atomic<bool> used{false};
  // Bytes its UDP address has sent beyond what the ACKs it got took (its HELLOs) and the
  // messages relayed from it: what UNITEs sent to that address may add up to, so that a HELLO
  // from a spoofed source cannot draw more UNITEs to that source than the attacker sent.
  std::atomic<std::int64_t> unite_credit{0};

  void mark_used() noexcept {
    if (!used.load(std::memory_order_relaxed)) used.store(true, std::memory_order_relaxed);
  }
  void earn(std::int64_t bytes) noexcept {
    auto c = unite_credit.load(std::memory_order_relaxed);
    while (c < kMaxUniteCredit &&
           !unite_credit.compare_exchange_weak(c, std::min(kMaxUniteCredit, c + bytes), std::memory_order_relaxed)) {
    }
  }
  bool spend(std::int64_t bytes) noexcept {
    auto c = unite_credit.load(std::memory_order_relaxed);
    do {
      if (c < bytes) return false;
    } while (!unite_credit.compare_exchange_weak(c, c - bytes, std::memory_order_relaxed));
    return true;
  }
};

// The node's other UDP addresses its newest HELLO came from (a node with several addresses
// sends each HELLO from every one, and which copy comes first is a race): what is relayed from
// them is the node's as much as what comes from its first one.
class OtherAddrs {
 public:
  static constexpr std::size_t kMax = 4;
  bool has(const udp::endpoint& ep) const noexcept {
    return std::find(at_.begin(), at_.begin() + n_, ep) != at_.begin() + n_;
  }
  // False when full or already there.
  bool add(const udp::endpoint& ep) {
    if (n_ == kMax || has(ep)) return false;
    at_[n_++] = ep;
    return true;
  }
  bool has_any() const noexcept { return n_ != 0; }

 private:
  std::array<udp::endpoint, kMax> at_{};
  std::size_t n_ = 0;
};

// What the server knows of one node.
struct NodeRecord {
  std::optional<udp::endpoint> udp_addr;  // where its UDP HELLOs come from
  OtherAddrs other_addrs;                 // where the newest one also came from
  std::shared_ptr<Link> link;        // the TCP link its HELLOs came on, while open
  std::vector<Endpoint> candidates;  // announced in its last HELLO
  std::optional<crypto::SessionKey> key;
  bool armed = false;  // form of its last HELLO; what it is sent follows it
  Clock::time_point last_seen;
  std::uint64_t last_time = 0;  // time of the newest HELLO accepted; older ones are replays
  Pow pow;                      // the proof of work checked when it registered
  std::shared_ptr<NodeMarks> marks = std::make_shared<NodeMarks>();
  std::list<PubKey>::iterator lru;     // its place in Inner::lru
  bool unused_listed = false;          // in Inner::unused, at `unused_at`
  std::list<PubKey>::iterator unused_at;
};

// Where and how to send to one node, copied out of its record.
struct Path {
  PubKey pk;
  std::optional<udp::endpoint> udp_addr;
  std::shared_ptr<Link> link;
  MessageKey key;  // set when the node arms
  std::vector<Endpoint> endpoints;  // observed UDP address first, then its candidates
  std::shared_ptr<NodeMarks> marks;
};

// Where relays for one node go: the part of its record that every relay reads. Replaced whole
// whenever the record's paths change.
struct Route {
  std::optional<udp::endpoint> udp_addr;
  std::shared_ptr<Link> link;
  std::shared_ptr<NodeMarks> marks;
  OtherAddrs other_addrs;
};

// Whether a message came on `r`'s own path: from an address its node's newest HELLO came from,
// or on its link.
inline bool on_own_path(const Route& r, const udp::endpoint* from_udp, const std::shared_ptr<Link>& from_link) {
  if (from_udp != nullptr) return (r.udp_addr && *r.udp_addr == *from_udp) || r.other_addrs.has(*from_udp);
  return from_link != nullptr && r.link == from_link;
}

}  // namespace velarix::p2p::superpeer
