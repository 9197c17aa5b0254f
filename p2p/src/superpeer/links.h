#pragma once
// One TCP link to the super peer: its socket, its queue of frames to write and its deadlines.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "identity/identity.h"
#include "superpeer/common.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/length_codec.h"

namespace velarix::p2p::superpeer {

// A link whose node does not read may hold at most this much unsent data; more is dropped,
// as a congested UDP path would drop it.
constexpr std::size_t kLinkQueueBytes = 256 * 1024;
constexpr std::size_t kLinkQueueFrames = 512;

// One accepted TCP connection. Its reader, writer and watchdog run on its strand; other tasks
// only queue frames for it.
struct Link {
  Link(tcp::socket s, IoStrand st, util::CancellationToken t)
      : socket(std::move(s)), strand(std::move(st)), token(std::move(t)) {}

  // Queues `bytes` as one frame; false when the link is closing or its queue is full.
  bool enqueue(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > util::kMaxFrameSize) return false;
    if (queued_bytes.fetch_add(bytes.size()) + bytes.size() > kLinkQueueBytes) {
      queued_bytes.fetch_sub(bytes.size());
      return false;
    }
    if (!out.try_send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()))) {
      queued_bytes.fetch_sub(bytes.size());
      return false;
    }
    return true;
  }

  tcp::socket socket;
  IoStrand strand;
  util::CancellationToken token;  // ends both tasks of the link
  util::Channel<std::vector<std::uint8_t>> out{kLinkQueueFrames};
  std::atomic<std::size_t> queued_bytes{0};
  tcp::endpoint remote;
  // Set once a HELLO on this link was accepted.
  std::atomic<bool> greeted{false};
  // The watchdog closes the link when one of these passes (Clock ticks; 0: none).
  std::atomic<std::int64_t> read_deadline{0};
  std::atomic<std::int64_t> write_deadline{0};
  // When a greeted link is closed unless another HELLO is accepted on it (Clock ticks).
  std::atomic<std::int64_t> idle_deadline{0};
  // Guarded by Inner::mutex:
  std::optional<PubKey> owner;  // the one node whose HELLOs it carries, once one was accepted
  bool counted = true;          // held against the link caps (until forgotten, or closed to make room)
  bool waiting = false;         // in Inner::ungreeted, at `waiting_at`
  std::list<std::shared_ptr<Link>>::iterator waiting_at;
  // The watchdog's timer and when it wakes, touched on the link's strand only: a reader that
  // brings the read deadline before that wake cancels the timer, so the watchdog looks again.
  asio::steady_timer* watchdog_timer = nullptr;
  std::int64_t watchdog_wake = 0;
};

}  // namespace velarix::p2p::superpeer
