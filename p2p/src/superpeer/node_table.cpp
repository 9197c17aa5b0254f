// HELLOs: the checks (cheapest first), the record they create or move, making room in a full
// table, and the ACK.

#include <algorithm>
#include <utility>
#include <vector>

#include "message/long_header.h"
#include "message/messages.h"
#include "superpeer/inner.h"
#include "superpeer/node_table.h"
#include "util/log.h"
#include "util/log_limiter.h"
#include "util/net.h"

namespace velarix::p2p::superpeer {

void Inner::erase_record(std::unordered_map<PubKey, NodeRecord>::iterator it) {
  routes.erase(it->first);
  lru.erase(it->second.lru);
  if (it->second.unused_listed) unused.erase(it->second.unused_at);
  nodes.erase(it);
}

bool Inner::make_room(Clock::time_point now, std::shared_ptr<Link>& released) {
  // The least recently heard node once it has gone quiet; else the least recently heard one
  // that was never in use: identities that only announce themselves give way to newcomers and
  // returning nodes, while nodes in use stay. Records found in use on the way leave `unused`
  // for good, so this is O(1) amortised.
  auto victim = nodes.find(lru.back());
  if (now - victim->second.last_seen < opts.node_idle_timeout) {
    victim = nodes.end();
    while (!unused.empty()) {
      auto it = nodes.find(unused.back());
      if (!it->second.marks->used.load(std::memory_order_relaxed)) {
        victim = it;
        break;
      }
      it->second.unused_listed = false;
      unused.pop_back();
    }
    if (victim == nodes.end()) return false;
  }
  log::debug("Super peer: forgetting node {} to make room", victim->first.to_string());
  released = std::move(victim->second.link);
  erase_record(victim);
  return true;
}

void Inner::on_hello(const LongHeader& header, std::span<std::uint8_t> body, const udp::endpoint* from_udp,
                     const std::shared_ptr<Link>& from_link) {
  const PubKey sender = header.sender();
  // One form only: on an armed super peer an unarmed HELLO, which anybody can write, never
  // reaches a record.
  if (opts.arm_messages != header.armed()) {
    refuse("Super peer: refusing an {} HELLO from {}", header.armed() ? "armed" : "unarmed", sender.to_string());
    return;
  }
  const std::size_t size = LongHeader::kSize + body.size();
  if (size > HelloSuperPeerMessage::kMaxWireSize) {
    refuse("Super peer: refusing a HELLO of {} bytes from {}: too long", size, sender.to_string());
    return;
  }
  // Cheapest checks first: the proof of work (known for a registered key), the key (the
  // record's, else cached, else a key exchange within its caps), decryption, the time. Only a
  // HELLO that passed them is charged to its source's rate: junk from a node's address must not
  // cut that node off.
  const auto source = from_udp ? from_udp->address() : from_link->remote.address();
  std::optional<crypto::SessionKey> known_key;
  bool pow_known = false;
  {
    std::lock_guard lock(mutex);
    if (auto it = nodes.find(sender); it != nodes.end()) {
      known_key = it->second.key;
      pow_known = it->second.pow == header.pow();
    }
  }
  if (!pow_known && !header.pow().is_valid(sender, opts.min_pow_difficulty)) {
    refuse("Super peer: refusing a HELLO from {}: proof of work below {}", sender.to_string(),
           opts.min_pow_difficulty);
    return;
  }
  MessageKey key;
  if (header.armed()) {
    if (known_key) {
      key = known_key;
    } else {
      auto derived = session_key_for(sender, source, from_udp ? from_udp->port() : from_link->remote.port());
      if (!derived) {
        refuse("Super peer: no session key with {}: {}", sender.to_string(), derived.error());
        return;
      }
      key = *derived;
    }
  }
  auto hello = HelloSuperPeerMessage::parse(body, header, key);
  if (!hello) {
    refuse("Super peer: dropping a HELLO from {}: {}", sender.to_string(), hello.error().message());
    return;
  }
  // A HELLO is only good within the allowed age either way: an old one is a replay, and one from
  // the future would lock the node's own HELLOs out until its time came.
  const std::uint64_t now_us = util::now_us();
  const std::uint64_t max_age_us = static_cast<std::uint64_t>(opts.hello_max_age.count()) * 1000;
  const std::uint64_t time = hello->time();
  if ((time < now_us && now_us - time > max_age_us) || (time > now_us && time - now_us > max_age_us)) {
    refuse("Super peer: refusing a HELLO from {}: its time {} is outside the allowed age", sender.to_string(), time);
    return;
  }
  if (!hello_limiter.allow(source, Clock::now())) {
    refuse("Super peer: too many HELLOs from {}", source.to_string());
    return;
  }
  std::vector<Endpoint> candidates;
  for (const auto& raw : hello->endpoints()) {
    const auto ep = plain_endpoint(raw);
    if (usable(ep) && std::find(candidates.begin(), candidates.end(), ep) == candidates.end()) {
      candidates.push_back(ep);
    }
  }

  auto ack = AckMessage::build(network_id, opts.identity.pk(), opts.identity.pow(), key, sender, time);
  if (!ack) {
    drop("Super peer: building an ACK for {} failed: {}", sender.to_string(), ack.error().message());
    return;
  }

  enum class Outcome { Accepted, Older, Full, ForeignLink, CopyOnOtherLink };
  Outcome outcome = Outcome::Accepted;
  std::shared_ptr<Link> released;   // a forgotten node's link, destroyed after the lock
  std::shared_ptr<Link> waited;     // the link's entry among the ungreeted, destroyed after the lock
  std::shared_ptr<Link> moved_off;  // the node's previous link, closed after the lock
  {
    std::lock_guard lock(mutex);
    const auto seen = Clock::now();
    auto it = nodes.find(sender);
    const bool fresh = it == nodes.end();
    if (from_link && from_link->owner && *from_link->owner != sender) {
      // A link carries one node's HELLOs.
      outcome = Outcome::ForeignLink;
    } else if (fresh) {
      // A flood of newcomers cannot push out nodes in use or still heard from (see make_room).
      if (nodes.size() >= std::max<std::size_t>(opts.max_nodes, 1) && !make_room(seen, released)) {
        outcome = Outcome::Full;
      } else {
        it = nodes.emplace(sender, NodeRecord{}).first;
        lru.push_front(sender);
        it->second.lru = lru.begin();
        unused.push_front(sender);
        it->second.unused_at = unused.begin();
        it->second.unused_listed = true;
        it->second.last_time = time;
      }
    }
    if (outcome == Outcome::Accepted) {
      auto& record = it->second;
      const bool newer = fresh || time > record.last_time;
      if (time < record.last_time) {
        outcome = Outcome::Older;
      } else if (!newer && from_link && record.link != from_link) {
        // The same HELLO on a link that is not the node's: a copy, which would otherwise keep
        // any number of links.
        outcome = Outcome::CopyOnOtherLink;
      } else {
        // A newer HELLO moves the node to where it came from. One with the same time is the same
        // HELLO on another of the node's paths (or a copy of it): it is answered, but moves and
        // fills nothing, so a copy sent from elsewhere cannot take a path over, nor give a node
        // that has only a link a UDP address.
        bool route_changed = false;
        if (newer) {
          const OtherAddrs before = std::exchange(record.other_addrs, OtherAddrs{});
          route_changed = before.has_any();
          if (from_udp && record.udp_addr != *from_udp) {
            // What the node's addresses paid for is not a new one's; one the last HELLO also
            // came from is the node's (its copies race to the super peer).
            if (!before.has(*from_udp)) record.marks->unite_credit.store(0, std::memory_order_relaxed);
            record.udp_addr = *from_udp;
            route_changed = true;
          }
        } else if (from_udp && record.udp_addr && record.udp_addr != *from_udp && record.other_addrs.add(*from_udp)) {
          // The same HELLO from another address of the node: it moves nothing.
          route_changed = true;
        }
        if (from_link && newer && record.link != from_link) {
          // One link per node: the one it greeted last.
          moved_off = std::exchange(record.link, from_link);
          from_link->owner = sender;
          route_changed = true;
        }
        // What a HELLO brings beyond its ACK pays for UNITEs to the node's address.
        if (from_udp && (record.udp_addr == *from_udp || record.other_addrs.has(*from_udp)) && size > ack->size()) {
          record.marks->earn(static_cast<std::int64_t>(size - ack->size()));
        }
        if (newer) record.candidates = std::move(candidates);
        record.last_time = time;
        record.armed = header.armed();
        record.pow = header.pow();
        if (key) record.key = key;
        record.last_seen = seen;
        lru.splice(lru.begin(), lru, record.lru);
        if (record.unused_listed) {
          if (record.marks->used.load(std::memory_order_relaxed)) {
            unused.erase(record.unused_at);
            record.unused_listed = false;
          } else {
            unused.splice(unused.begin(), unused, record.unused_at);
          }
        }
        if (route_changed) publish_route(sender, record);
        if (from_link) {
          from_link->idle_deadline = ticks(seen + opts.tcp_idle_timeout);
          from_link->greeted = true;
          waited = leave_ungreeted(*from_link);
        }
        changed.notify_all();
      }
    }
  }
  if (moved_off && moved_off != from_link) {
    log::debug("Super peer: closing TCP link {}: node {} greeted another link", text(moved_off->remote),
               sender.to_string());
    moved_off->token.cancel();  // its watchdog closes it
  }
  switch (outcome) {
    case Outcome::Accepted:
      break;
    case Outcome::Older:
      refuse("Super peer: refusing a HELLO from {}: older than the last one accepted", sender.to_string());
      return;
    case Outcome::Full:
      util::limited_log(table_full_log, spdlog::level::warn, "a full node table",
                        "Super peer: the node table is full ({} nodes, all in use or heard from lately): refusing "
                        "newcomers",
                        opts.max_nodes);
      refuse("Super peer: refusing node {}: {} nodes are known, all in use or heard from lately", sender.to_string(),
             opts.max_nodes);
      return;
    case Outcome::ForeignLink:
      refuse("Super peer: refusing a HELLO from {} on a link that carries another node's", sender.to_string());
      return;
    case Outcome::CopyOnOtherLink:
      refuse("Super peer: refusing a HELLO from {}: a copy of one accepted on another path", sender.to_string());
      return;
  }

  bump(&SuperPeerStats::hellos_answered);  // before the ACK can arrive
  const bool sent = from_udp ? send_udp(*from_udp, *ack) : from_link->enqueue(*ack);
  if (sent) {
    log::trace("Super peer: answered HELLO from {}", sender.to_string());
  } else {
    unbump(&SuperPeerStats::hellos_answered);
    drop("Super peer: could not answer the HELLO from {}", sender.to_string());
  }
}

Path Inner::path_of(const PubKey& pk, const NodeRecord& record) const {
  Path p{pk, record.udp_addr, record.link, record.armed ? record.key : std::nullopt, {}, record.marks};
  if (record.udp_addr) p.endpoints.push_back(plain_endpoint(*record.udp_addr));
  for (const auto& ep : record.candidates) {
    if (p.endpoints.size() >= kMaxEndpoints) break;
    if (std::find(p.endpoints.begin(), p.endpoints.end(), ep) == p.endpoints.end()) p.endpoints.push_back(ep);
  }
  return p;
}

}  // namespace velarix::p2p::superpeer
