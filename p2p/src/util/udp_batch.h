#pragma once
// Many datagrams per system call: receiving with recvmmsg, sending with sendmmsg, and a run of
// equal-sized datagrams from one socket to one address as one UDP segmentation-offload send
// (the kernel cuts it into the datagrams). Buffers are allocated once, when a batch is made;
// receiving and sending allocate nothing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <chrono>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include <sys/socket.h>

namespace velarix::p2p::util {

// Sets the socket's receive and send buffers to `bytes` each: past the system's limits where
// the process may (CAP_NET_ADMIN), else as far as the limits allow. Best effort.
void size_socket_buffers(int fd, int bytes) noexcept;

// Waits until `socket` has room to send, at most `limit`; false when it did not get any. The
// socket may belong to another thread's context: the reactor guards each descriptor's waits.
boost::asio::awaitable<bool> wait_for_room(boost::asio::ip::udp::socket& socket, std::chrono::milliseconds limit);

// Asks the kernel to hand runs of datagrams of one flow over as one receive (UDP generic
// receive offload): true when it took it. Such a socket must be read by a coalescing RecvBatch
// only, as a run does not fit another's buffers (the kernel would cut it).
bool enable_receive_coalescing(int fd) noexcept;

class RecvBatch {
 public:
  // Room for `capacity` datagrams of at most `datagram_size` bytes each.
  RecvBatch(std::size_t capacity, std::size_t datagram_size);
  // For a socket that coalesces: `reads` receives per call, each one datagram or a run of them
  // (of one size, the last may be shorter), cut apart here into datagrams of at most
  // `datagram_size` bytes each.
  struct Coalescing {
    std::size_t reads;
  };
  RecvBatch(Coalescing coalescing, std::size_t datagram_size);
  RecvBatch(const RecvBatch&) = delete;
  RecvBatch& operator=(const RecvBatch&) = delete;

  // The most bytes one coalesced receive takes: the largest run the kernel hands over.
  static constexpr std::size_t kCoalescedBytes = 65536;
  // The most datagrams taken from one run; the kernel makes runs of at most 64 (128 on newer
  // kernels). The last one kept of a longer run is `truncated`, the rest passed over.
  static constexpr std::size_t kMaxRun = 128;

  // Reads the datagrams waiting on `fd`, without waiting: their count (0 when none was
  // waiting), or -1 with errno set (not EAGAIN).
  int receive(int fd) noexcept;

  // The i-th datagram of the last receive; a datagram longer than `datagram_size` is cut and
  // `truncated`. Its bytes may be changed in place.
  std::span<std::uint8_t> datagram(std::size_t i) noexcept {
    return {buffer_.get() + entries_[i].offset, entries_[i].len};
  }
  bool truncated(std::size_t i) const noexcept { return entries_[i].truncated; }
  const boost::asio::ip::udp::endpoint& source(std::size_t i) const noexcept { return sources_[entries_[i].read]; }
  // The most datagrams one receive returns.
  std::size_t capacity() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    std::size_t offset;
    std::uint32_t len;
    std::uint32_t read;  // which of the receives it came in (its source)
    bool truncated;
  };
  RecvBatch(std::size_t reads, std::size_t slot, std::size_t limit, std::size_t entries, bool coalescing);

  std::size_t reads_;     // receives per call
  std::size_t slot_;      // bytes of buffer per receive
  std::size_t limit_;     // bytes per datagram at most
  // Left uninitialised: pages of slots that never see a large datagram are never touched.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::unique_ptr<char[]> control_;  // per receive, for the run's segment size; coalescing only
  std::vector<iovec> iovs_;
  std::vector<mmsghdr> msgs_;
  std::vector<sockaddr_storage> addrs_;
  std::vector<boost::asio::ip::udp::endpoint> sources_;
  std::vector<Entry> entries_;
};

// Datagrams gathered for sending: each is built in place in the batch's own buffer, then all go
// out with as few system calls as the sockets allow.
class DatagramBatch {
 public:
  // Room for `capacity` datagrams of at most `datagram_size` bytes each.
  DatagramBatch(std::size_t capacity, std::size_t datagram_size);
  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  bool full() const noexcept { return count_ == capacity_; }
  std::size_t datagram_size() const noexcept { return slot_; }

  // Where the next datagram is to be built (datagram_size() bytes); only when not full.
  std::span<std::uint8_t> next() noexcept { return {buffer_.data() + count_ * slot_, slot_}; }
  // Adds the datagram built at next(): its first `len` bytes, to `dst` through `fd`.
  void commit(int fd, const boost::asio::ip::udp::endpoint& dst, std::size_t len) noexcept;
  // Adds a datagram that stays where it is (a received one, relayed as it came): `bytes` must
  // outlive the sending. Only when not full.
  void commit_external(int fd, const boost::asio::ip::udp::endpoint& dst, std::span<const std::uint8_t> bytes) noexcept;

  // Sends datagrams from the first not yet sent on, until all are sent or a socket has no room
  // (EAGAIN: `blocked()` names it, and a later call goes on from there). A datagram the system
  // refuses otherwise gets its errno (`error(i)`) and is passed over. True when all are done.
  bool send() noexcept;
  // The datagram the last send() stopped at, which waits for room on its socket.
  bool blocked() const noexcept { return sent_ < count_; }
  int blocked_fd() const noexcept { return items_[sent_].fd; }
  std::size_t blocked_index() const noexcept { return sent_; }
  // Gives up on the datagrams of `fd` from the first not sent on, with `err`.
  void fail_pending(int fd, int err) noexcept;

  int error(std::size_t i) const noexcept { return items_[i].error; }
  std::size_t length(std::size_t i) const noexcept { return items_[i].len; }
  std::span<const std::uint8_t> datagram(std::size_t i) const noexcept { return {items_[i].data, items_[i].len}; }

  // Empties the batch; its buffers stay.
  void clear() noexcept {
    count_ = 0;
    sent_ = 0;
  }

  // Off: every datagram is sent on its own (the kernel or device refused segmentation offload).
  static void set_segmentation(bool on) noexcept;

 private:
  struct Item {
    int fd;
    int error;
    const std::uint8_t* data;
    std::size_t len;
    boost::asio::ip::udp::endpoint dst;
    bool done;
  };
  // Sends the run of datagrams [from, to) of one socket; returns how many were done.
  std::size_t send_run(std::size_t from, std::size_t to) noexcept;

  std::size_t capacity_;
  std::size_t slot_;
  std::size_t count_ = 0;
  std::size_t sent_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::vector<Item> items_;
  std::vector<iovec> iovs_;
  std::vector<mmsghdr> msgs_;
  std::vector<std::size_t> firsts_;  // first datagram of each message of a send_run
  std::vector<std::size_t> counts_;  // datagrams of each message of a send_run
  std::unique_ptr<char[]> control_;  // one segment-size control message per message
};

}  // namespace velarix::p2p::util
