#include "util/udp_batch.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace velarix::p2p::util {

namespace {

// The kernel takes at most 64 segments per send, and the whole must fit one UDP datagram.
constexpr std::size_t kMaxSegments = 64;
constexpr std::size_t kMaxSegmentedBytes = 65000;
// After this many refusals of segmentation offload, it is no longer tried.
constexpr int kSegmentationRefusals = 8;

std::atomic<bool> g_segmentation{true};
std::atomic<int> g_refusals{0};

constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(std::uint16_t));
// The segment size of a coalesced receive comes as an int.
constexpr std::size_t kRecvControlSize = CMSG_SPACE(sizeof(int));

bool segmentation_refused(int err) { return err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP; }

}  // namespace

void size_socket_buffers(int fd, int bytes) noexcept {
  // The forcing options pass the system's limits but need CAP_NET_ADMIN; without it the plain
  // ones give what the limits allow.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }
}

boost::asio::awaitable<bool> wait_for_room(boost::asio::ip::udp::socket& socket, std::chrono::milliseconds limit) {
  // The time limit cuts the wait through a cancellation slot: no race of two awaitables.
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, limit);
  auto signal = std::make_shared<boost::asio::cancellation_signal>();
  timer.async_wait([signal](const boost::system::error_code& ec) {
    if (!ec) signal->emit(boost::asio::cancellation_type::terminal);
  });
  auto [ec] = co_await socket.async_wait(
      boost::asio::ip::udp::socket::wait_write,
      boost::asio::bind_cancellation_slot(signal->slot(), boost::asio::as_tuple(boost::asio::use_awaitable)));
  // A late expiry must find nothing to cut.
  signal->slot().clear();
  timer.cancel();
  co_return !ec;
}

// --- receiving ---------------------------------------------------------------------------

bool enable_receive_coalescing(int fd) noexcept {
  const int on = 1;
  return ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

RecvBatch::RecvBatch(std::size_t capacity, std::size_t datagram_size)
    : RecvBatch(std::max<std::size_t>(capacity, 1), std::max<std::size_t>(datagram_size, 1),
                std::max<std::size_t>(datagram_size, 1), std::max<std::size_t>(capacity, 1), false) {}

RecvBatch::RecvBatch(Coalescing coalescing, std::size_t datagram_size)
    : RecvBatch(std::max<std::size_t>(coalescing.reads, 1), kCoalescedBytes,
                std::clamp<std::size_t>(datagram_size, 1, kCoalescedBytes),
                std::max<std::size_t>(coalescing.reads, 1) * kMaxRun, true) {}

RecvBatch::RecvBatch(std::size_t reads, std::size_t slot, std::size_t limit, std::size_t entries, bool coalescing)
    : reads_(reads),
      slot_(slot),
      limit_(limit),
      buffer_(new std::uint8_t[reads * slot]),
      control_(coalescing ? new char[reads * kRecvControlSize]() : nullptr),
      iovs_(reads),
      msgs_(reads),
      addrs_(reads),
      sources_(reads),
      entries_(entries) {
  for (std::size_t i = 0; i < reads_; ++i) iovs_[i] = {buffer_.get() + i * slot_, slot_};
}

namespace {

// The segment size the kernel gave a coalesced receive; 0 for a single datagram.
std::size_t segment_size(const msghdr& h) noexcept {
  auto* m = const_cast<msghdr*>(&h);
  for (cmsghdr* c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int size = 0;
      std::memcpy(&size, CMSG_DATA(c), sizeof size);
      return size > 0 ? static_cast<std::size_t>(size) : 0;
    }
  }
  return 0;
}

}  // namespace

int RecvBatch::receive(int fd) noexcept {
  for (std::size_t i = 0; i < reads_; ++i) {
    auto& h = msgs_[i].msg_hdr;
    h = {};
    h.msg_name = &addrs_[i];
    h.msg_namelen = sizeof(sockaddr_storage);
    h.msg_iov = &iovs_[i];
    h.msg_iovlen = 1;
    if (control_) {
      h.msg_control = control_.get() + i * kRecvControlSize;
      h.msg_controllen = kRecvControlSize;
    }
    msgs_[i].msg_len = 0;
  }
  int n;
  do {
    n = ::recvmmsg(fd, msgs_.data(), static_cast<unsigned>(reads_), MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  std::size_t count = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    const msghdr& h = msgs_[i].msg_hdr;
    auto& ep = sources_[i];
    const auto len = std::min<std::size_t>(h.msg_namelen, ep.capacity());
    std::memcpy(ep.data(), &addrs_[i], len);
    ep.resize(len);
    // What the kernel had may be longer than the buffer (cut, flagged) or than what it says it
    // wrote: only the bytes written are handed on.
    const bool cut = (h.msg_flags & MSG_TRUNC) != 0 || msgs_[i].msg_len > slot_;
    const std::size_t got = std::min<std::size_t>(msgs_[i].msg_len, slot_);
    const std::size_t base = i * slot_;
    std::size_t segment = control_ ? segment_size(h) : 0;
    if (segment == 0 || segment >= got) segment = std::max<std::size_t>(got, 1);
    const std::size_t first = count;
    std::size_t taken = 0;
    do {
      const std::size_t piece = std::min(segment, got - taken);
      Entry& e = entries_[count++];
      e.offset = base + taken;
      e.len = static_cast<std::uint32_t>(std::min(piece, limit_));
      e.read = static_cast<std::uint32_t>(i);
      e.truncated = piece > limit_;
      taken += piece;
    } while (taken < got && count - first < kMaxRun);
    // The kernel cut what it had, or the run is longer than the kernel makes (the rest is
    // passed over): the last datagram kept is not whole.
    if (cut || taken < got) entries_[count - 1].truncated = true;
  }
  return static_cast<int>(count);
}

// --- sending -----------------------------------------------------------------------------

DatagramBatch::DatagramBatch(std::size_t capacity, std::size_t datagram_size)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      slot_(std::max<std::size_t>(datagram_size, 1)),
      buffer_(capacity_ * slot_, 0),
      items_(capacity_),
      iovs_(capacity_),
      msgs_(capacity_),
      firsts_(capacity_),
      counts_(capacity_),
      control_(new char[capacity_ * kControlSize]()) {}

void DatagramBatch::set_segmentation(bool on) noexcept { g_segmentation.store(on, std::memory_order_relaxed); }

void DatagramBatch::commit(int fd, const boost::asio::ip::udp::endpoint& dst, std::size_t len) noexcept {
  items_[count_] = Item{fd, 0, buffer_.data() + count_ * slot_, std::min(len, slot_), dst, false};
  ++count_;
}

void DatagramBatch::commit_external(int fd, const boost::asio::ip::udp::endpoint& dst,
                                    std::span<const std::uint8_t> bytes) noexcept {
  items_[count_] = Item{fd, 0, bytes.data(), bytes.size(), dst, false};
  ++count_;
}

void DatagramBatch::fail_pending(int fd, int err) noexcept {
  for (std::size_t i = sent_; i < count_; ++i) {
    if (items_[i].fd == fd && !items_[i].done) {
      items_[i].error = err;
      items_[i].done = true;
    }
  }
}

bool DatagramBatch::send() noexcept {
  while (sent_ < count_) {
    if (items_[sent_].done) {
      ++sent_;
      continue;
    }
    std::size_t end = sent_ + 1;
    while (end < count_ && items_[end].fd == items_[sent_].fd) ++end;
    sent_ += send_run(sent_, end);
    if (sent_ < end) return false;  // no room on this socket
  }
  return true;
}

// Datagrams in [from, to) are all pending: fail_pending() and errors only ever settle a socket's
// datagrams from the first pending one on.
std::size_t DatagramBatch::send_run(std::size_t from, std::size_t to) noexcept {
  const int fd = items_[from].fd;
  bool segment = g_segmentation.load(std::memory_order_relaxed);
  std::size_t done = 0;
  while (from + done < to) {
    // Messages: runs of datagrams to one address, all of one size but the last, which may be
    // shorter, sent as one segmented send; every other datagram on its own.
    std::size_t m = 0;
    for (std::size_t i = from + done; i < to; ++m) {
      std::size_t k = 1;
      std::size_t bytes = items_[i].len;
      if (segment) {
        while (i + k < to && k < kMaxSegments && items_[i + k].dst == items_[i].dst &&
               items_[i + k].len <= items_[i].len && bytes + items_[i + k].len <= kMaxSegmentedBytes &&
               items_[i + k - 1].len == items_[i].len) {
          bytes += items_[i + k].len;
          ++k;
        }
      }
      for (std::size_t j = 0; j < k; ++j) {
        iovs_[i + j] = {const_cast<std::uint8_t*>(items_[i + j].data), items_[i + j].len};
      }
      auto& h = msgs_[m].msg_hdr;
      h = {};
      h.msg_name = const_cast<sockaddr*>(items_[i].dst.data());
      h.msg_namelen = static_cast<socklen_t>(items_[i].dst.size());
      h.msg_iov = &iovs_[i];
      h.msg_iovlen = k;
      if (k > 1) {
        char* control = control_.get() + m * kControlSize;
        std::memset(control, 0, kControlSize);
        h.msg_control = control;
        h.msg_controllen = kControlSize;
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto seg = static_cast<std::uint16_t>(items_[i].len);
        std::memcpy(CMSG_DATA(c), &seg, sizeof seg);
      }
      firsts_[m] = i;
      counts_[m] = k;
      i += k;
    }

    std::size_t sent = 0;
    while (sent < m) {
      const int r = ::sendmmsg(fd, msgs_.data() + sent, static_cast<unsigned>(m - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (r > 0) {
        for (int j = 0; j < r; ++j) {
          for (std::size_t d = 0; d < counts_[sent + static_cast<std::size_t>(j)]; ++d) {
            items_[firsts_[sent + static_cast<std::size_t>(j)] + d].done = true;
          }
          done += counts_[sent + static_cast<std::size_t>(j)];
        }
        sent += static_cast<std::size_t>(r);
        continue;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return done;
      if (counts_[sent] > 1 && segmentation_refused(err)) {
        // This path or kernel does not segment: the rest goes datagram by datagram.
        if (g_refusals.fetch_add(1, std::memory_order_relaxed) + 1 >= kSegmentationRefusals) set_segmentation(false);
        segment = false;
        break;
      }
      for (std::size_t d = 0; d < counts_[sent]; ++d) {
        items_[firsts_[sent] + d].error = err;
        items_[firsts_[sent] + d].done = true;
      }
      done += counts_[sent];
      ++sent;
    }
  }
  return done;
}

}  // namespace velarix::p2p::util
