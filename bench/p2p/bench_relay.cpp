// Relaying through the super peer, measured from outside its process.
//
// The super peer runs in a child process (forked before any thread starts) on loopback. This
// process registers two nodes with armed HELLOs (A and B), then blasts armed 1,232-byte APPs
// from A to B with sendmmsg from several sockets on several threads, and counts at B what the
// super peer relays. Reported: relayed packets per second at B, and the super peer process's CPU
// time (user + system, from /proc) per relayed packet.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "identity/identity.h"
#include "message/long_header.h"
#include "message/messages.h"
#include "superpeer/super_peer_server.h"
#include "util/net.h"
#include "util/runtime.h"

namespace {

using namespace velarix::p2p;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kNetwork = 7;
constexpr std::size_t kWireSize = 1232;
constexpr int kBlasters = 3;          // sending threads
constexpr int kSocketsPerBlaster = 4;  // distinct source ports, so the load spreads over readers
constexpr unsigned kBurst = 64;        // datagrams per sendmmsg

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int udp_socket(int buffer_bytes) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer_bytes, sizeof buffer_bytes);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof buffer_bytes);
  const auto any = loopback(0);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

MessageKey key_between(const Identity& me, const PubKey& peer) {
  auto my_sk = crypto::convert_ed25519_sk_to_curve25519_sk(me.sk());
  auto my_pk = crypto::convert_ed25519_pk_to_curve25519_pk(me.pk());
  auto their = crypto::convert_ed25519_pk_to_curve25519_pk(peer);
  if (!my_sk || !my_pk || !their) return std::nullopt;
  auto key = crypto::compute_kx_session_keys(*my_pk, *my_sk, *their);
  if (!key) return std::nullopt;
  return *key;
}

// User + system CPU time of process `pid`, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The child: runs the super peer until its parent closes `stop_fd`.
[[noreturn]] void run_super_peer(const Identity& id, int port_fd, int stop_fd) {
  std::uint16_t port = 0;
  {
    velarix::p2p::util::Runtime runtime;
    SuperPeerOptions o{.identity = id, .network_id = kNetwork};
    o.min_pow_difficulty = 0;
    auto server = SuperPeerServer::start(runtime, o);
    if (server) port = (*server)->udp_port();
    (void)!::write(port_fd, &port, sizeof port);
    if (server) {
      char c;
      (void)!::read(stop_fd, &c, 1);  // returns when the parent closes its end
      (*server)->stop();
    }
  }
  ::_exit(port == 0 ? 1 : 0);
}

// Sends `hello` from `fd` until the super peer answers (an ACK) or two seconds pass.
bool register_node(int fd, const sockaddr_in& sp, const Identity& id, const PubKey& sp_pk) {
  const auto key = key_between(id, sp_pk);
  for (int attempt = 0; attempt < 10; ++attempt) {
    auto hello = HelloSuperPeerMessage::build(network_id_from_u32(kNetwork), id.pk(), id.pow(), key, sp_pk,
                                              velarix::p2p::util::now_us(), {});
    if (!hello) return false;
    ::sendto(fd, hello->data(), hello->size(), 0, reinterpret_cast<const sockaddr*>(&sp), sizeof sp);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) == 1) {
      std::uint8_t buf[2048];
      const auto n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        auto header = LongHeader::parse(std::span<std::uint8_t>(buf, static_cast<std::size_t>(n)));
        if (header && header->type() == MessageType::Ack) return true;
      }
    }
  }
  return false;
}

void BM_SuperPeerRelay(benchmark::State& state) {
  auto sp_id = Identity::generate(0);
  auto a_id = Identity::generate(0);
  auto b_id = Identity::generate(0);
  if (!sp_id || !a_id || !b_id) {
    state.SkipWithError("no identity");
    return;
  }
  int port_pipe[2], stop_pipe[2];
  if (::pipe2(port_pipe, O_CLOEXEC) != 0 || ::pipe2(stop_pipe, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    state.SkipWithError("fork");
    return;
  }
  if (child == 0) {
    ::close(stop_pipe[1]);
    ::close(port_pipe[0]);
    run_super_peer(*sp_id, port_pipe[1], stop_pipe[0]);
  }
  ::close(stop_pipe[0]);
  ::close(port_pipe[1]);
  std::uint16_t port = 0;
  (void)!::read(port_pipe[0], &port, sizeof port);
  ::close(port_pipe[0]);
  auto finish = [&] {
    ::close(stop_pipe[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
  };
  if (port == 0) {
    finish();
    state.SkipWithError("the super peer did not start");
    return;
  }
  const auto sp = loopback(port);

  const int a_fd = udp_socket(1 << 20);
  const int b_fd = udp_socket(32 << 20);
  if (a_fd < 0 || b_fd < 0 || !register_node(a_fd, sp, *a_id, sp_id->pk()) ||
      !register_node(b_fd, sp, *b_id, sp_id->pk())) {
    finish();
    state.SkipWithError("registering the nodes failed");
    return;
  }

  const std::size_t payload_len = kWireSize - AppMessage::wire_size(true, 0);
  const std::vector<std::uint8_t> payload(payload_len, 0x5a);
  auto app = AppMessage::build(network_id_from_u32(kNetwork), a_id->pk(), a_id->pow(), key_between(*a_id, b_id->pk()),
                               b_id->pk(), payload);
  if (!app || app->size() != kWireSize) {
    finish();
    state.SkipWithError("building the APP failed");
    return;
  }

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> sent{0};
  std::thread receiver([&] {
    constexpr unsigned kBatch = 64;
    std::vector<std::uint8_t> bufs(kBatch * 2048);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> msgs(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
      iov[i] = {bufs.data() + i * 2048, 2048};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stop.load(std::memory_order_relaxed)) {
      pollfd p{b_fd, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      const int n = ::recvmmsg(b_fd, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
      std::uint64_t apps = 0;
      for (int i = 0; i < n; ++i) apps += msgs[i].msg_len == kWireSize;
      if (apps) received.fetch_add(apps, std::memory_order_relaxed);
    }
  });
  std::vector<std::thread> blasters;
  for (int t = 0; t < kBlasters; ++t) {
    blasters.emplace_back([&] {
      std::vector<int> fds;
      for (int s = 0; s < kSocketsPerBlaster; ++s) fds.push_back(udp_socket(1 << 20));
      std::vector<iovec> iov(kBurst, iovec{const_cast<std::uint8_t*>(app->data()), app->size()});
      std::vector<mmsghdr> msgs(kBurst);
      for (unsigned i = 0; i < kBurst; ++i) {
        msgs[i] = {};
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&sp);
        msgs[i].msg_hdr.msg_namelen = sizeof sp;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      std::uint64_t mine = 0;
      for (std::size_t turn = 0; !stop.load(std::memory_order_relaxed); ++turn) {
        const int n = ::sendmmsg(fds[turn % fds.size()], msgs.data(), kBurst, 0);
        if (n > 0) mine += static_cast<std::uint64_t>(n);
      }
      sent.fetch_add(mine);
      for (int fd : fds) ::close(fd);
    });
  }

  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // warm-up
  const double window = 2.0;
  for (auto _ : state) {
    const auto r0 = received.load();
    const auto c0 = cpu_seconds(child);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    const auto r1 = received.load();
    const auto c1 = cpu_seconds(child);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(secs);
    const double relayed = static_cast<double>(r1 - r0);
    state.counters["relayed_per_s"] = relayed / secs;
    state.counters["sp_cpu_us_per_relayed"] = relayed > 0 ? (c1 - c0) * 1e6 / relayed : 0;
    state.counters["sp_cores_busy"] = (c1 - c0) / secs;
  }
  stop = true;
  for (auto& t : blasters) t.join();
  receiver.join();
  state.counters["offered_per_s"] = static_cast<double>(sent.load()) / (window + 0.5);
  ::close(a_fd);
  ::close(b_fd);
  finish();
}
BENCHMARK(BM_SuperPeerRelay)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
