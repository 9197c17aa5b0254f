#pragma once
// Two agents on loopback with a super peer between them, each started with a
// TUN stand-in: one end of a SOCK_SEQPACKET socket pair handed over as the TUN
// descriptor, exactly as a host hands over its TUN device, while the test reads
// and writes packets at the other end. One network holds both nodes and is
// applied to each agent through the agent's own apply step.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

#include "agent/agent.h"
#include "agent/ip_packet.h"
#include "common/agent_harness.h"
#include "network/config/network_config.h"
#include "util/runtime.h"

namespace velarix::test {

using Bytes = std::vector<std::uint8_t>;

inline network::Ipv4Addr ipv4(const char* text) { return *network::Ipv4Addr::parse(text); }

// --- packets -----------------------------------------------------------------------

// An IPv4 packet with a 20-byte header (checksum set), TTL 64, then `payload`.
inline Bytes ipv4_packet(network::Ipv4Addr src, network::Ipv4Addr dst, std::uint8_t protocol,
                         std::span<const std::uint8_t> payload, bool dont_fragment = false) {
  Bytes p(20 + payload.size(), 0);
  const std::size_t total = p.size();
  p[0] = 0x45;
  p[2] = static_cast<std::uint8_t>(total >> 8);
  p[3] = static_cast<std::uint8_t>(total);
  p[6] = dont_fragment ? 0x40 : 0;
  p[8] = 64;
  p[9] = protocol;
  for (int i = 0; i < 4; ++i) {
    p[12 + i] = src.octet(i);
    p[16 + i] = dst.octet(i);
  }
  const auto sum = agent::internet_checksum(std::span<const std::uint8_t>(p.data(), 20));
  p[10] = static_cast<std::uint8_t>(sum >> 8);
  p[11] = static_cast<std::uint8_t>(sum);
  std::copy(payload.begin(), payload.end(), p.begin() + 20);
  return p;
}

// A UDP datagram over IPv4, with a correct UDP checksum.
inline Bytes udp_packet(network::Ipv4Addr src, std::uint16_t src_port, network::Ipv4Addr dst, std::uint16_t dst_port,
                        std::span<const std::uint8_t> payload, bool dont_fragment = false) {
  Bytes udp(8 + payload.size(), 0);
  udp[0] = static_cast<std::uint8_t>(src_port >> 8);
  udp[1] = static_cast<std::uint8_t>(src_port);
  udp[2] = static_cast<std::uint8_t>(dst_port >> 8);
  udp[3] = static_cast<std::uint8_t>(dst_port);
  udp[4] = static_cast<std::uint8_t>(udp.size() >> 8);
  udp[5] = static_cast<std::uint8_t>(udp.size());
  std::copy(payload.begin(), payload.end(), udp.begin() + 8);
  std::uint8_t pseudo[12] = {src.octet(0), src.octet(1), src.octet(2), src.octet(3), dst.octet(0),
                             dst.octet(1), dst.octet(2), dst.octet(3), 0,            agent::kIpProtoUdp,
                             static_cast<std::uint8_t>(udp.size() >> 8), static_cast<std::uint8_t>(udp.size())};
  auto sum = agent::checksum_finish(agent::checksum_add(udp, agent::checksum_add(pseudo)));
  if (sum == 0) sum = 0xFFFF;  // 0 means "no checksum" in UDP over IPv4
  udp[6] = static_cast<std::uint8_t>(sum >> 8);
  udp[7] = static_cast<std::uint8_t>(sum);
  return ipv4_packet(src, dst, agent::kIpProtoUdp, udp, dont_fragment);
}

// A UDP packet of exactly `size` bytes (at least 28) whose payload is a pattern drawn from `seed`.
inline Bytes sized_packet(network::Ipv4Addr src, network::Ipv4Addr dst, std::size_t size, std::uint32_t seed = 1,
                          bool dont_fragment = false) {
  Bytes payload(size - 28);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(seed * 131 + i * 7);
  return udp_packet(src, 40000, dst, 40001, payload, dont_fragment);
}

// --- the TUN stand-in ---------------------------------------------------------------

// The host's side of a TUN device: one read or write is one packet.
class TunStandIn {
 public:
  TunStandIn() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    host_ = fds[0];
    agent_ = fds[1];
  }
  ~TunStandIn() {
    if (host_ >= 0) ::close(host_);
    if (agent_ >= 0) ::close(agent_);
  }
  TunStandIn(const TunStandIn&) = delete;
  TunStandIn& operator=(const TunStandIn&) = delete;

  // The agent's end as a TUN device; the device owns that descriptor from then on.
  std::shared_ptr<agent::TunDevice> device(const boost::asio::any_io_executor& executor) {
    auto dev = agent::TunDevice::from_fd(executor, std::exchange(agent_, -1));
    if (!dev) std::abort();
    return *dev;
  }

  // Writes one packet without waiting; false when it could not be written whole.
  bool write(std::span<const std::uint8_t> packet) {
    const auto n = ::send(host_, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(packet.size());
  }
  // The next packet the agent wrote, or nothing when none comes within `timeout`.
  std::optional<Bytes> read(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    pollfd pfd{host_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Bytes buf(65536);
    const auto n = ::recv(host_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  // Drops every packet waiting to be read.
  void drain() {
    while (read(std::chrono::milliseconds(0))) {
    }
  }
  // Closing the host's end makes every further read of the agent fail.
  void close() {
    if (host_ >= 0) ::close(host_);
    host_ = -1;
  }
  int host_fd() const { return host_; }

 private:
  int host_ = -1;
  int agent_ = -1;
};

// Writes `packet` at `from` until it comes out at `to` (the overlay may drop
// the first packets while paths come up); true when it did, byte for byte.
inline bool deliver(TunStandIn& from, TunStandIn& to, const Bytes& packet,
                    std::chrono::seconds deadline = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (!from.write(packet)) return false;
    while (auto got = to.read(std::chrono::milliseconds(100))) {
      if (*got == packet) return true;
    }
  }
  return false;
}

// --- the two agents -------------------------------------------------------------------

class TwoAgents {
 public:
  struct Member {
    p2p::Identity identity = *p2p::Identity::generate(4);
    network::Ipv4Addr ip;
    TunStandIn tun;
    std::optional<agent::Agent> agent;

    agent::AgentInner& inner() { return *agent->inner(); }
    const p2p::PubKey& pk() const { return identity.pk(); }
  };

  struct Options {
    bool arm = true;
    std::string config_a = {};  // extra lines of the configuration files (e.g. "mtu = 500")
    std::string config_b = {};
    bool tun_a = true;     // false: that agent starts without a TUN device
    bool tun_b = true;
  };

  TwoAgents() : TwoAgents(Options{}) {}
  explicit TwoAgents(Options options) : arm_("VELARIX_ARM_MESSAGES", options.arm ? "true" : "false") {
    // A super peer serves one form: the unarmed network gets an unarmed one.
    if (!options.arm) harness_.serve_unarmed();
    a_.ip = ipv4("10.77.0.1");
    b_.ip = ipv4("10.77.0.2");
    start(a_, "a.toml", options.config_a, options.tun_a);
    start(b_, "b.toml", options.config_b, options.tun_b);
  }
  ~TwoAgents() {
    shutdown();
    a_.agent.reset();
    b_.agent.reset();
  }
  TwoAgents(const TwoAgents&) = delete;
  TwoAgents& operator=(const TwoAgents&) = delete;

  Member& a() { return a_; }
  Member& b() { return b_; }
  p2p::util::Runtime& runtime() { return rt_; }
  AgentHarness& harness() { return harness_; }
  const agent::Url& url() const { return url_; }

  // The network document holding both nodes (10.77.0.0/24, A .1, B .2), every
  // node allowed to reach every other; `extra` is appended (routes, say).
  std::string network_text(const std::string& extra = "") const {
    auto node = [](const Member& m, const char* name) {
      return fmt::format("[[node]]\npk = \"{}\"\nip = \"{}\"\nhostname = \"{}\"\n", m.pk().to_string(),
                         m.ip.to_string(), name);
    };
    return "network = \"10.77.0.0/24\"\nname = \"two\"\n" + node(a_, "a") + node(b_, "b") +
           "[[policy]]\nsource_groups = [\"ALL\"]\ndestination_groups = [\"ALL\"]\n" + extra;
  }

  // Applies the network to both agents, as a housekeeping step would.
  void apply_network(const std::string& extra = "") {
    auto config = network::NetworkConfig::try_from(network_text(extra));
    if (!config) std::abort();
    for (Member* m : {&a_, &b_}) {
      apply(*m, [&](network::Network& net) {
        auto& d = net.desired_state;
        d = network::AgentState{};
        d.ip.applied = network::Ipv4Net(*config->ip(m->pk()), config->network.prefix_len());
        auto rules = config->effective_access_rule_list(m->pk());
        if (rules) d.access_rules.applied = std::move(*rules);
        auto routes = config->effective_routing_list(m->pk());
        if (routes) d.routes.applied = std::move(*routes);
        d.forwardings.applied = config->effective_forwarding_list(m->pk());
        d.hostnames.applied = config->hostnames(m->pk());
      });
    }
  }

  // Once the network is applied: a packet each way has gone through, so the
  // super peer knows both nodes and a single packet is no longer lost to a
  // path still coming up. Both devices are left with nothing to read.
  bool connect() {
    const bool up = deliver(a_.tun, b_.tun, sized_packet(a_.ip, b_.ip, 64, 0xC0)) &&
                    deliver(b_.tun, a_.tun, sized_packet(b_.ip, a_.ip, 64, 0xC1));
    a_.tun.drain();
    b_.tun.drain();
    return up;
  }

  // Sets the desired state of the network on one agent and applies it, with
  // the state write lock held as the agent's own callers hold it.
  void apply(Member& m, const std::function<void(network::Network&)>& set_desired) {
    auto inner = m.agent->inner();
    p2p::util::block_on(rt_, [](std::shared_ptr<agent::AgentInner> inner, agent::Url url,
                                const std::function<void(network::Network&)>* set) -> boost::asio::awaitable<void> {
      auto guard = co_await inner->state_lock.write();
      auto& networks = inner->state.config.network;
      auto& net = networks[url];
      net.config_url = url.as_str();
      (*set)(net);
      agent::AgentInner::apply_desired_state(inner, url, networks);
    }(inner, url_, &set_desired));
  }

  // Shuts both agents down (idempotent); the agents stay until the fixture goes.
  void shutdown() {
    for (Member* m : {&a_, &b_}) {
      if (m->agent && !m->inner().cancellation_token.is_cancelled()) p2p::util::block_on(rt_, m->agent->shutdown());
    }
  }

  // True once A's send handle for B (and B's for A) holds a direct path with a short id.
  bool direct() {
    auto has = [](Member& from, const Member& to) {
      auto h = from.agent->node()->send_handle(to.pk());
      if (!h) return false;
      auto st = (*h)->state();
      return st->direct_path && st->tx_short_id;
    };
    return has(a_, b_) && has(b_, a_);
  }

 private:
  void start(Member& m, const char* file, const std::string& extra, bool with_tun) {
    const std::string path = harness_.dir().file(file);
    std::string text = "super_peers = [\"" + harness_.super_peer().url_text() + "\"]\n" + extra + "\n";
    text += "[identity]\nsk = \"" + m.identity.sk().to_string() +
            "\"\npow = " + std::to_string(m.identity.pow().to_i32()) + "\n";
    write_text(path, text);
    auto config = agent::AgentConfig::load(path);
    if (!config) std::abort();
    agent::PlatformDependent platform;
    if (with_tun) platform.tun_device = m.tun.device(rt_.executor());
    auto started = p2p::util::block_on(rt_, agent::Agent::start(*config, path, std::move(platform), kNoFetching));
    if (!started) {
      // A fixture that cannot stand up says why before it stops the test process.
      std::fprintf(stderr, "agent %s did not start: %s\n", file, started.error().message().c_str());
      std::abort();
    }
    m.agent.emplace(std::move(*started));
  }

  // The fixture applies its network itself; a housekeeping tick would try to
  // fetch it from a name that cannot resolve and log a warning at any moment.
  static constexpr agent::AgentTimings kNoFetching{.housekeeping = false};

  ScopedEnv arm_;
  AgentHarness harness_;
  p2p::util::Runtime rt_{4};
  agent::Url url_ = *agent::Url::parse("https://config.invalid/two");
  Member a_;
  Member b_;
};

}  // namespace velarix::test
