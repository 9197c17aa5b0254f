#include "util/udp_batch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace velarix::p2p::util {
namespace {

// A UDP socket on loopback, closed at the end.
struct Socket {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  Socket() {
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  }
  ~Socket() { ::close(fd); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

// Datagram k of a run: its bytes tell which it is.
std::vector<std::uint8_t> datagram(std::size_t k, std::size_t size) {
  std::vector<std::uint8_t> d(size);
  for (std::size_t i = 0; i < size; ++i) d[i] = static_cast<std::uint8_t>(k * 7 + i);
  return d;
}

// Sends `run` as one segmented send of `segment` bytes each (the last may be shorter): the
// kernel's own offload, not ours, so the receive is checked against an independent sender.
void send_run(const Socket& from, const Socket& to, const std::vector<std::vector<std::uint8_t>>& run,
              std::uint16_t segment) {
  std::vector<std::uint8_t> bytes;
  for (const auto& d : run) bytes.insert(bytes.end(), d.begin(), d.end());
  iovec iov{bytes.data(), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
  msghdr h{};
  h.msg_name = const_cast<sockaddr_in*>(&to.addr);
  h.msg_namelen = sizeof to.addr;
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  if (run.size() > 1) {
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof segment);
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  }
  ASSERT_EQ(::sendmsg(from.fd, &h, 0), static_cast<ssize_t>(bytes.size())) << std::strerror(errno);
}

// Receives until `want` datagrams came (or a second passes without any); `most` is the most
// one receive returned.
std::vector<std::vector<std::uint8_t>> receive_all(RecvBatch& batch, const Socket& s, const Socket& from,
                                                   std::size_t want, std::vector<bool>* cut, int* most = nullptr) {
  const auto from_port = ntohs(from.addr.sin_port);
  std::vector<std::vector<std::uint8_t>> got;
  while (got.size() < want) {
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) break;
    const int n = batch.receive(s.fd);
    EXPECT_GE(n, 0);
    if (most != nullptr) *most = std::max(*most, n);
    for (int i = 0; i < n; ++i) {
      const auto d = batch.datagram(static_cast<std::size_t>(i));
      got.emplace_back(d.begin(), d.end());
      if (cut != nullptr) cut->push_back(batch.truncated(static_cast<std::size_t>(i)));
      // Every datagram of a run has the run's source.
      EXPECT_EQ(batch.source(static_cast<std::size_t>(i)).port(), from_port);
    }
  }
  return got;
}

TEST(UdpBatch, CoalescedRunsComeApartIntoTheirDatagramsAndPlainOnesStayWhole) {
  Socket tx, rx;
  ASSERT_TRUE(enable_receive_coalescing(rx.fd));
  RecvBatch batch(RecvBatch::Coalescing{4}, 1501);

  // A run of 40 datagrams of 1,200 bytes and a shorter last one, then a datagram of its own,
  // then a second run: each arrives whole, in order, none cut.
  std::vector<std::vector<std::uint8_t>> first, second;
  for (std::size_t k = 0; k < 40; ++k) first.push_back(datagram(k, 1200));
  first.push_back(datagram(40, 333));
  for (std::size_t k = 0; k < 5; ++k) second.push_back(datagram(100 + k, 64));
  const auto single = datagram(99, 1500);
  send_run(tx, rx, first, 1200);
  send_run(tx, rx, {single}, 0);
  send_run(tx, rx, second, 64);

  std::vector<std::vector<std::uint8_t>> want = first;
  want.push_back(single);
  want.insert(want.end(), second.begin(), second.end());
  std::vector<bool> cut;
  int most = 0;
  const auto got = receive_all(batch, rx, tx, want.size(), &cut, &most);
  // More datagrams than receives in one call: the kernel handed a run over whole.
  EXPECT_GT(most, 4);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i], want[i]) << "datagram " << i;
    EXPECT_FALSE(cut[i]) << "datagram " << i;
  }
}

TEST(UdpBatch, DatagramsLongerThanTheLimitAreCutAndFlaggedCoalescedOrNot) {
  struct Case {
    const char* name;
    bool coalescing;
  };
  for (const Case c : {Case{"coalescing", true}, Case{"plain", false}}) {
    SCOPED_TRACE(c.name);
    Socket tx, rx;
    if (c.coalescing) {
      ASSERT_TRUE(enable_receive_coalescing(rx.fd));
    }
    RecvBatch batch = c.coalescing ? RecvBatch(RecvBatch::Coalescing{2}, 101) : RecvBatch(8, 101);
    // A run of segments longer than the limit, then ones that fit it exactly.
    std::vector<std::vector<std::uint8_t>> longer, fitting;
    for (std::size_t k = 0; k < 3; ++k) longer.push_back(datagram(k, 150));
    for (std::size_t k = 0; k < 3; ++k) fitting.push_back(datagram(10 + k, 101));
    send_run(tx, rx, longer, 150);
    send_run(tx, rx, fitting, 101);
    std::vector<bool> cut;
    const auto got = receive_all(batch, rx, tx, 6, &cut);
    ASSERT_EQ(got.size(), 6u);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_TRUE(cut[k]);
      EXPECT_EQ(got[k], std::vector<std::uint8_t>(longer[k].begin(), longer[k].begin() + 101));
      EXPECT_FALSE(cut[3 + k]);
      EXPECT_EQ(got[3 + k], fitting[k]);
    }
  }
}

}  // namespace
}  // namespace velarix::p2p::util
