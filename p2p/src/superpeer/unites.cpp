// UNITEs: a relayed message that came on its sender's own path introduces the pair, at most once
// per interval and within what their addresses paid for.

#include <algorithm>
#include <chrono>
#include <optional>

#include "message/long_header.h"
#include "message/messages.h"
#include "superpeer/inner.h"
#include "superpeer/unites.h"
#include "util/log.h"
#include "util/udp_batch.h"

namespace velarix::p2p::superpeer {

namespace {

// While an introduction waits for payment, its pair is looked at again this often.
constexpr std::chrono::milliseconds kUniteRetry{250};

}  // namespace

void Inner::introduce_pair(const PubKey& sender, const PubKey& recipient, UdpOut* out) {
  const auto interval_ms = static_cast<std::uint64_t>(opts.unite_interval.count());
  std::optional<Path> to;
  std::optional<Path> from;
  {
    std::lock_guard lock(mutex);
    auto r = nodes.find(recipient);
    auto s = nodes.find(sender);
    if (r == nodes.end() || s == nodes.end()) return;
    const PairKey pair = sender < recipient ? PairKey{sender, recipient} : PairKey{recipient, sender};
    const auto now = Clock::now();
    UniteState& state = unites[pair];
    std::uint64_t hint = steady_ms(now);  // what the hint records as the pair's last introduction
    if (state.introduced != Clock::time_point{} && now - state.introduced < opts.unite_interval) {
      hint = steady_ms(state.introduced);
    } else {
      Path pr = path_of(recipient, r->second);
      Path ps = path_of(sender, s->second);
      // Both nodes probe each other at once only when both learn of the other at once: an
      // introduction waits (for up to an interval) until both addresses have paid for their
      // UNITEs; then those that are paid for go.
      // (A wait the pair's messages stopped for long ago starts again.)
      if (now - state.waiting_since >= 2 * opts.unite_interval) state.waiting_since = Clock::time_point{};
      const bool waited =
          state.waiting_since != Clock::time_point{} && now - state.waiting_since >= opts.unite_interval;
      if ((affordable(pr, ps) && affordable(ps, pr)) || waited) {
        state = UniteState{now, {}};
        to = std::move(pr);
        from = std::move(ps);
      } else {
        if (state.waiting_since == Clock::time_point{}) state.waiting_since = now;
        const auto retry = static_cast<std::uint64_t>(std::min(opts.unite_interval, kUniteRetry).count());
        hint = steady_ms(now) - interval_ms + retry;  // recent for `retry` more
      }
    }
    unite_hints.mark(sender, recipient, hint);
    // Pairs of nodes long forgotten must not pile up.
    const std::size_t cap = 4 * std::max<std::size_t>(opts.max_nodes, 1);
    if (unites.size() > cap) {
      std::erase_if(unites, [&](const auto& e) {
        return now - std::max(e.second.introduced, e.second.waiting_since) >= opts.unite_interval;
      });
      if (unites.size() > cap) unites.clear();
    }
  }
  if (to && from) {
    // The relayed message goes out before the introductions, as it came first (unless the
    // socket has no room now).
    if (out != nullptr) out->batch.send();
    send_unite(*to, *from);
    send_unite(*from, *to);
  }
}

std::int64_t Inner::unite_size(const Path& to, const Path& about) {
  return static_cast<std::int64_t>(UniteMessage::wire_size(to.key.has_value(), about.endpoints));
}

bool Inner::affordable(const Path& to, const Path& about) {
  return to.link != nullptr || to.marks->unite_credit.load(std::memory_order_relaxed) >= unite_size(to, about);
}

void Inner::send_unite(const Path& to, const Path& about) {
  // Over UDP, only as far as the node's address has paid (see NodeMarks): it may be the spoofed
  // source of someone else's HELLO. A link proved its address when it was opened.
  if (to.link == nullptr && !to.marks->spend(unite_size(to, about))) {
    log::debug("Super peer: holding a UNITE for {} back: its address has not sent enough yet", to.pk.to_string());
    return;
  }
  auto unite =
      UniteMessage::build(network_id, opts.identity.pk(), opts.identity.pow(), to.key, to.pk, about.pk, about.endpoints);
  if (!unite) {
    log::debug("Super peer: building a UNITE for {} failed: {}", to.pk.to_string(), unite.error().message());
    return;
  }
  if (send(to, *unite, &SuperPeerStats::unites_sent)) {
    log::trace("Super peer: sent UNITE to {} about {}", to.pk.to_string(), about.pk.to_string());
  } else {
    log::debug("Super peer: could not send a UNITE to {}", to.pk.to_string());
  }
}

bool Inner::send(const Path& path, std::span<const std::uint8_t> bytes, std::uint64_t SuperPeerStats::*counter) {
  const bool tcp = path.link != nullptr;
  if (!tcp && !path.udp_addr) return false;
  if (counter == nullptr) counter = tcp ? &SuperPeerStats::relayed_tcp : &SuperPeerStats::relayed_udp;
  // Counted first: whoever receives the message then also sees it counted.
  bump(counter);
  const bool sent = tcp ? path.link->enqueue(bytes) : send_udp(*path.udp_addr, bytes);
  if (!sent) unbump(counter);
  return sent;
}

}  // namespace velarix::p2p::superpeer
