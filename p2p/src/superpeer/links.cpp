// TCP links: accepting them within the caps, reading frames, writing the queue, the time limits,
// and letting a link go.

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "superpeer/inner.h"
#include "superpeer/links.h"
#include "util/length_codec.h"
#include "util/log.h"
#include "util/log_limiter.h"

namespace velarix::p2p::superpeer {

using namespace asio::experimental::awaitable_operators;

namespace {

// A listener that fails to accept (out of descriptors) pauses this long before trying again.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

awaitable<void> Inner::accept_loop() {
  for (;;) {
    auto r = co_await (acceptor.async_accept(asio::as_tuple(asio::use_awaitable)) || token.cancelled());
    if (r.index() == 1) break;
    auto [ec, socket] = std::get<0>(std::move(r));
    if (ec) {
      if (is_aborted(ec) || ec == asio::error::bad_descriptor) break;
      log::warn("Super peer: accepting a TCP connection failed: {}", ec.message());
      asio::steady_timer pause(co_await asio::this_coro::executor, kAcceptRetryDelay);
      auto p = co_await (pause.async_wait(asio::as_tuple(asio::use_awaitable)) || token.cancelled());
      if (p.index() == 1) break;
      continue;
    }
    boost::system::error_code ignored;
    const auto remote = socket.remote_endpoint(ignored);
    const auto source = rate_source_of(remote.address());
    socket.set_option(tcp::no_delay(true), ignored);
    auto link = std::make_shared<Link>(std::move(socket), asio::make_strand(runtime.context()), token.child_token());
    link->remote = remote;
    link->read_deadline = ticks(Clock::now() + opts.tcp_first_hello_timeout);
    std::shared_ptr<Link> evicted;  // closed after the lock
    {
      std::lock_guard lock(mutex);
      const char* full = nullptr;
      if (auto it = links_per_source.find(source);
          it != links_per_source.end() && it->second >= std::max<std::size_t>(opts.max_tcp_links_per_source, 1)) {
        full = "links are open from its source";
      } else if (link_count >= opts.max_tcp_links) {
        // Links that never greet cannot hold the fall-back: the oldest of them makes room. A
        // node sends its HELLO as soon as it connects, so its link greets before many others
        // come after it.
        if (ungreeted.empty()) {
          full = "links are open";
        } else {
          evicted = leave_ungreeted(*ungreeted.front());
          release_link_place(*evicted);
        }
      }
      if (full != nullptr) {
        counters.add(&SuperPeerStats::dropped, 1);
        changed.notify_all();
        if (link_count >= opts.max_tcp_links) {
          util::limited_log(links_full_log, spdlog::level::warn, "a full set of TCP links",
                            "Super peer: all {} TCP links are taken, each greeted by its node: refusing new links",
                            opts.max_tcp_links);
        }
        log::debug("Super peer: refusing a TCP connection from {}: too many {}", text(remote), full);
        link->socket.close(ignored);
        continue;
      }
      ++link_count;
      ++links_per_source[source];
      link->waiting_at = ungreeted.insert(ungreeted.end(), link);
      link->waiting = true;
      changed.notify_all();
    }
    if (evicted) {
      log::debug("Super peer: closing TCP link {}: no HELLO yet, and its place is needed", text(evicted->remote));
      bump(&SuperPeerStats::links_timed_out);
      evicted->token.cancel();  // its watchdog closes it
      evicted.reset();
    }
    log::debug("Super peer: TCP link from {}", text(remote));
    spawn(link->strand, link_reader(link));
    spawn(link->strand, link_writer(link));
    spawn(link->strand, link_watchdog(link));
  }
}

awaitable<void> Inner::link_reader(std::shared_ptr<Link> link) {
  // The watchdog closes the socket when a time limit passes or the link is cancelled, which
  // ends a pending read: no race per frame.
  const auto first_hello_by = link->read_deadline.load();
  std::vector<std::uint8_t> frame;  // grows to the largest frame the link brought
  std::array<std::uint8_t, util::kFrameHeaderSize> header{};
  boost::system::error_code ec;
  for (;;) {
    auto [hec, hn] = co_await asio::async_read(link->socket, asio::buffer(header), asio::as_tuple(asio::use_awaitable));
    if (hec) {
      ec = hec == asio::error::eof && hn > 0 ? util::make_error_code(util::FrameErrc::truncated) : hec;
      break;
    }
    // A frame once begun must complete in time, and within the first-HELLO limit while ungreeted
    // or the idle limit once greeted.
    const auto by = std::min(ticks(Clock::now() + opts.tcp_frame_timeout),
                             link->greeted.load() ? link->idle_deadline.load() : first_hello_by);
    link->read_deadline = by;
    if (link->watchdog_timer != nullptr && by < link->watchdog_wake) link->watchdog_timer->cancel();
    frame.resize(util::frame_length(header));
    if (!frame.empty()) {
      auto [bec, bn] = co_await asio::async_read(link->socket, asio::buffer(frame), asio::as_tuple(asio::use_awaitable));
      (void)bn;
      if (bec) {
        ec = bec == asio::error::eof ? util::make_error_code(util::FrameErrc::truncated) : bec;
        break;
      }
    }
    if (link->token.is_cancelled()) break;
    on_packet(frame, nullptr, link, nullptr);
    // Only an accepted HELLO counts as activity (it moves the idle deadline); empty frames and
    // anything else do not keep a link.
    link->read_deadline = link->greeted.load() ? link->idle_deadline.load() : first_hello_by;
  }
  if (ec == asio::error::eof) {
    log::debug("Super peer: TCP link from {} closed", text(link->remote));
  } else if (ec && !is_aborted(ec)) {
    log::debug("Super peer: reading from TCP link {} failed: {}", text(link->remote), ec.message());
  }
  // Closing here, on the link's strand, also ends a write the writer has in progress.
  link->token.cancel();
  link->out.close();
  boost::system::error_code ignored;
  link->socket.shutdown(tcp::socket::shutdown_both, ignored);
  link->socket.close(ignored);
  forget_link(link);
}

awaitable<void> Inner::link_writer(std::shared_ptr<Link> link) {
  for (;;) {
    // No race with the token per frame: a cancelled link has its socket closed by the
    // watchdog, which ends the reader, which closes this queue.
    auto next = co_await link->out.receive();
    if (!next || link->token.is_cancelled()) break;
    const auto bytes = std::move(*next);
    link->write_deadline = ticks(Clock::now() + opts.tcp_write_timeout);
    const auto ec = co_await util::write_frame(link->socket, bytes);
    link->write_deadline = 0;
    link->queued_bytes.fetch_sub(bytes.size());
    if (ec) {
      if (!is_aborted(ec)) log::debug("Super peer: writing to TCP link {} failed: {}", text(link->remote), ec.message());
      break;
    }
  }
  link->token.cancel();  // the watchdog closes the socket, which ends the reader
}

awaitable<void> Inner::link_watchdog(std::shared_ptr<Link> link) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  link->watchdog_timer = &timer;
  bool timed_out = false;
  for (;;) {
    const auto now = Clock::now();
    const std::int64_t read_by = link->read_deadline.load();
    const std::int64_t write_by = link->write_deadline.load();
    if ((read_by != 0 && ticks(now) >= read_by) || (write_by != 0 && ticks(now) >= write_by)) {
      timed_out = true;
      break;
    }
    std::int64_t next = read_by;
    if (write_by != 0 && (next == 0 || write_by < next)) next = write_by;
    // Deadlines move later as frames arrive; the timer wakes at the old one and looks again. A
    // write deadline set meanwhile is seen within one more write limit.
    auto wake = now + opts.tcp_write_timeout;
    if (next != 0) wake = std::min(wake, Clock::time_point(Clock::duration(next)));
    timer.expires_at(wake);
    link->watchdog_wake = ticks(wake);
    auto r = co_await (timer.async_wait(asio::as_tuple(asio::use_awaitable)) || link->token.cancelled());
    if (r.index() == 1) break;
  }
  link->watchdog_timer = nullptr;
  if (timed_out) {
    const char* why = link->write_deadline.load() != 0 ? "a frame could not be written in time"
                      : link->greeted.load()            ? "no HELLO or no complete frame in time"
                                                        : "no HELLO in time";
    log::debug("Super peer: closing TCP link {}: {}", text(link->remote), why);
    bump(&SuperPeerStats::links_timed_out);
  }
  link->token.cancel();
  boost::system::error_code ignored;
  link->socket.close(ignored);
}

void Inner::release_link_place(Link& link) {
  if (!link.counted) return;
  link.counted = false;
  --link_count;
  if (auto it = links_per_source.find(rate_source_of(link.remote.address())); it != links_per_source.end()) {
    if (--it->second == 0) links_per_source.erase(it);
  }
}

std::shared_ptr<Link> Inner::leave_ungreeted(Link& link) {
  if (!link.waiting) return nullptr;
  auto held = std::move(*link.waiting_at);
  ungreeted.erase(link.waiting_at);
  link.waiting = false;
  return held;
}

void Inner::forget_link(const std::shared_ptr<Link>& link) {
  std::shared_ptr<Link> released;  // destroyed after the lock
  std::lock_guard lock(mutex);
  release_link_place(*link);
  released = leave_ungreeted(*link);
  // A link carries one node's HELLOs, so only that node's record can hold it.
  if (link->owner) {
    if (auto it = nodes.find(*link->owner); it != nodes.end() && it->second.link == link) {
      auto& record = it->second;
      record.link.reset();
      if (!record.udp_addr) {
        erase_record(it);
      } else {
        publish_route(it->first, record);
      }
    }
  }
  changed.notify_all();
}

}  // namespace velarix::p2p::superpeer
