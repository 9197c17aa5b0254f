// The whole lifecycle through the public C header, against a super peer on loopback.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "common/agent_harness.h"
#include "common/log_capture.h"
#include "common/two_agents.h"
#include "ffi/handles.h"
#include "util/runtime.h"
#include "velarix_agent.h"

using velarix::test::AgentHarness;
using velarix::test::eventually;
using velarix::test::LogCapture;
using velarix::test::ScopedEnv;
using velarix::test::read_text;

namespace {

// Every callback is counted, and one whose record or texts are missing is
// counted apart: the host reads all three texts.
std::atomic<int> g_callbacks{0};
std::atomic<int> g_malformed{0};
void on_change(const CNetworkChange* c) {
  g_callbacks++;
  if (c == nullptr || c->ips == nullptr || c->routes == nullptr || c->dns_server == nullptr) g_malformed++;
}

struct Handles {
  RuntimePtr* runtime = nullptr;
  AgentConfigPtr* config = nullptr;
  TunDevicePtr* tun = nullptr;
  AgentPtr* agent = nullptr;
  int peer_fd = -1;  // the host's end of the TUN stand-in
};

// Creates runtime, configuration and TUN stand-in, and starts the agent.
Handles start_all(const std::string& path, bool with_tun = true) {
  Handles h;
  EXPECT_EQ(velarix_agent_runtime(&h.runtime), 0);
  EXPECT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &h.config), 0);
  if (with_tun) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    EXPECT_EQ(velarix_agent_tun_device_create(h.runtime, fds[0], &h.tun), 0);
    h.peer_fd = fds[1];
  }
  EXPECT_EQ(velarix_agent_start(h.runtime, h.config, path.c_str(), h.tun, on_change, nullptr, &h.agent), 0);
  return h;
}

// Shuts the agent down and frees every handle, the runtime last.
void stop_all(Handles& h) {
  velarix_agent_shutdown(h.runtime, h.agent);
  velarix_agent_free(h.agent);
  velarix_agent_tun_device_free(h.tun);
  velarix_agent_config_free(h.config);
  velarix_agent_runtime_free(h.runtime);
  if (h.peer_fd >= 0) ::close(h.peer_fd);
  h = Handles{};
}

// A callback that counts the calls made once velarix_agent_shutdown returned.
std::atomic<bool> g_shut_down{false};
std::atomic<int> g_late_callbacks{0};
void on_change_after_shutdown(const CNetworkChange*) {
  if (g_shut_down) g_late_callbacks++;
}

// What the blocking C functions give when called on a runtime thread. A C
// callback has no context of its own: the handles are global.
struct Reentry {
  RuntimePtr* runtime = nullptr;
  AgentConfigPtr* config = nullptr;
  std::string path;
  std::atomic<AgentPtr*> agent{nullptr};

  int32_t start_code = 1;
  AgentPtr* started = nullptr;
  bool status_null = false;
  std::atomic<bool> done{false};

  // Start, shut-down and status, as a host would call them from the callback.
  void call_back() {
    AgentPtr* const sentinel = reinterpret_cast<AgentPtr*>(0x1);
    started = sentinel;
    start_code = velarix_agent_start(runtime, config, path.c_str(), nullptr, on_change, nullptr, &started);
    velarix_agent_shutdown(runtime, agent);
    char* text = velarix_agent_status(runtime, agent);
    status_null = text == nullptr;
    velarix_agent_status_free(text);
    if (started == sentinel) started = nullptr;
  }
};
Reentry g_reentry;
void on_change_calling_back(const CNetworkChange*) {
  // The host's start has returned before long (it waits for nothing the callback holds).
  if (g_reentry.done || !eventually([] { return g_reentry.agent.load() != nullptr; })) return;
  g_reentry.call_back();
  g_reentry.done = true;
}

}  // namespace

TEST(CLifecycle, InitLoggingOnlyOnce) {
  const int first = velarix_agent_init_logging();
  EXPECT_TRUE(first == 0 || (first == -2 && LogCapture::get().installed()));
  EXPECT_EQ(velarix_agent_init_logging(), -2);
}

TEST(CLifecycle, StartCancelBindingsShutDownAndFree) {
  LogCapture::get().clear();
  g_callbacks = 0;
  g_malformed = 0;
  AgentHarness harness;
  auto h = start_all(harness.write_config());
  ASSERT_NE(h.agent, nullptr);
  ASSERT_TRUE(harness.super_peer().wait_for([](const auto& s) { return s.known_nodes >= 1; }, std::chrono::seconds(10)));

  // The host may drop its configuration and device handles once the agent runs.
  velarix_agent_config_free(h.config);
  velarix_agent_tun_device_free(h.tun);

  const auto answered = harness.super_peer().stats().hellos_answered;
  EXPECT_EQ(velarix_agent_cancel_udp_bindings(h.agent), 0);
  EXPECT_EQ(LogCapture::get().count("FFI: Canceling UDP binding at 127.0.0.1:"), LogCapture::get().installed() ? 1u : 0u);
  // Housekeeping binds again and the node keeps greeting its super peer.
  EXPECT_TRUE(harness.super_peer().wait_for([&](const auto& s) { return s.hellos_answered >= answered + 3; },
                                            std::chrono::seconds(10)));

  // Shut-down logs its three lines and leaves the file alone; a second one
  // repeats the lines and changes nothing else.
  auto& log = LogCapture::get();
  const std::string file = read_text(harness.path());
  const unsigned logged = log.installed() ? 1 : 0;
  for (unsigned round = 1; round <= 2; ++round) {
    SCOPED_TRACE("shut-down " + std::to_string(round));
    const int callbacks = g_callbacks.load();
    velarix_agent_shutdown(h.runtime, h.agent);
    EXPECT_EQ(log.count("info Shutdown agent."), round * logged);
    EXPECT_EQ(log.count("trace Cancel agent token"), round * logged);
    EXPECT_EQ(log.count("info Agent shut down."), round * logged);
    EXPECT_EQ(read_text(harness.path()), file);
    if (round == 2) {
      EXPECT_EQ(g_callbacks.load(), callbacks);
    }
  }
  const int callbacks = g_callbacks.load();
  velarix_agent_free(h.agent);
  // Freeing the runtime joins its threads: a callback after shut-down would have come by now.
  velarix_agent_runtime_free(h.runtime);
  EXPECT_EQ(g_callbacks.load(), callbacks);
  EXPECT_EQ(g_malformed.load(), 0);
  ::close(h.peer_fd);
}

TEST(CLifecycle, FreeInAnyAllowedOrder) {
  AgentHarness harness;
  const auto path = harness.write_config();
  {
    // Runtime last, everything else in reverse creation order.
    auto h = start_all(path);
    velarix_agent_shutdown(h.runtime, h.agent);
    velarix_agent_free(h.agent);
    velarix_agent_tun_device_free(h.tun);
    velarix_agent_config_free(h.config);
    velarix_agent_runtime_free(h.runtime);
    ::close(h.peer_fd);
  }
  {
    // Handles given to start freed first; an agent freed without shut-down.
    auto h = start_all(path);
    velarix_agent_config_free(h.config);
    velarix_agent_tun_device_free(h.tun);
    velarix_agent_free(h.agent);
    velarix_agent_runtime_free(h.runtime);
    ::close(h.peer_fd);
  }
  {
    // No TUN device at all; the host closes its end while the agent runs.
    auto h = start_all(path, false);
    EXPECT_EQ(h.tun, nullptr);
    velarix_agent_shutdown(h.runtime, h.agent);
    velarix_agent_free(h.agent);
    velarix_agent_config_free(h.config);
    velarix_agent_runtime_free(h.runtime);
  }
  velarix_agent_runtime_free(nullptr);
  velarix_agent_tun_device_free(nullptr);
  velarix_agent_free(nullptr);
  velarix_agent_config_free(nullptr);
}

TEST(CLifecycle, EveryOrderOfTheFreeFunctionsIsSafe) {
  AgentHarness harness;
  const auto path = harness.write_config();
  enum Handle { Runtime, Config, Tun, Agent };
  std::array<int, 4> order{Runtime, Config, Tun, Agent};
  int round = 0;
  do {
    SCOPED_TRACE(::testing::Message() << "order " << order[0] << order[1] << order[2] << order[3]);
    auto h = start_all(path);
    ASSERT_NE(h.agent, nullptr);
    // Half the rounds shut the agent down first, half free it while it runs.
    const bool shut_down = round++ % 2 == 0;
    if (shut_down) velarix_agent_shutdown(h.runtime, h.agent);
    bool agent_freed = false;
    for (int which : order) {
      switch (which) {
        case Runtime: velarix_agent_runtime_free(h.runtime); break;
        case Config: velarix_agent_config_free(h.config); break;
        case Tun: velarix_agent_tun_device_free(h.tun); break;
        case Agent:
          velarix_agent_free(h.agent);
          agent_freed = true;
          break;
      }
      // While the agent handle lives, it stays usable whatever else is gone.
      if (!agent_freed) {
        EXPECT_EQ(velarix_agent_cancel_udp_bindings(h.agent), 0);
      }
    }
    // With every handle gone the device is closed: the host's end sees the hang-up.
    pollfd p{h.peer_fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLIN));
    char byte;
    EXPECT_EQ(::recv(h.peer_fd, &byte, 1, MSG_DONTWAIT), 0);
    ::close(h.peer_fd);
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(round, 24);
}

TEST(CLifecycle, FailureCodes) {
  AgentHarness harness;
  const auto path = harness.write_config();
  RuntimePtr* rt = nullptr;
  EXPECT_EQ(velarix_agent_runtime(nullptr), -2);
  ASSERT_EQ(velarix_agent_runtime(&rt), 0);
  AgentConfigPtr* cfg = nullptr;
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &cfg), 0);

  TunDevicePtr* tun = reinterpret_cast<TunDevicePtr*>(0x1);
  EXPECT_EQ(velarix_agent_tun_device_create(rt, -1, &tun), -2);
  EXPECT_EQ(velarix_agent_tun_device_create(nullptr, 0, &tun), -2);
  EXPECT_EQ(velarix_agent_tun_device_create(rt, 0, nullptr), -2);
  EXPECT_EQ(tun, reinterpret_cast<TunDevicePtr*>(0x1));

  AgentPtr* const sentinel = reinterpret_cast<AgentPtr*>(0x1);
  AgentPtr* out = sentinel;
  struct Case {
    const char* name;
    const RuntimePtr* rt;
    const AgentConfigPtr* cfg;
    const char* path;
    void (*cb)(const CNetworkChange*);
    AgentPtr** out;
    int32_t code;
  } cases[] = {
      {"null runtime", nullptr, cfg, path.c_str(), on_change, &out, -2},
      {"null config", rt, nullptr, path.c_str(), on_change, &out, -2},
      {"null path", rt, cfg, nullptr, on_change, &out, -2},
      {"null callback", rt, cfg, path.c_str(), nullptr, &out, -2},
      {"null out", rt, cfg, path.c_str(), on_change, nullptr, -2},
      {"path not UTF-8", rt, cfg, "\xc3\x28", on_change, &out, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velarix_agent_start(c.rt, c.cfg, c.path, nullptr, c.cb, nullptr, c.out), c.code) << c.name;
    EXPECT_EQ(out, sentinel) << c.name;
  }
  EXPECT_EQ(velarix_agent_cancel_udp_bindings(nullptr), -2);
  velarix_agent_shutdown(nullptr, nullptr);
  velarix_agent_shutdown(rt, nullptr);
  velarix_agent_config_free(cfg);

  // A configuration whose super-peer list is empty cannot bind a node.
  harness.write_config("", "[]");
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &cfg), 0);
  EXPECT_EQ(velarix_agent_start(rt, cfg, path.c_str(), nullptr, on_change, nullptr, &out), -111);
  EXPECT_EQ(out, sentinel);
  {
    ScopedEnv bad_addrs("VELARIX_UDP_ADDRS", "127.0.0.1,127.0.0.2");
    EXPECT_EQ(velarix_agent_start(rt, cfg, path.c_str(), nullptr, on_change, nullptr, &out), -113);
    EXPECT_EQ(out, sentinel);
  }
  velarix_agent_config_free(cfg);
  velarix_agent_runtime_free(rt);
}

TEST(CLifecycle, NoCallbackOnceShutdownHasReturned) {
  AgentHarness harness;
  const auto path = harness.write_config();
  RuntimePtr* rt = nullptr;
  AgentConfigPtr* cfg = nullptr;
  ASSERT_EQ(velarix_agent_runtime(&rt), 0);
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &cfg), 0);
  g_late_callbacks = 0;
  // Every start ticks at once and tells the host; the shut-down races that tick.
  for (int cycle = 0; cycle < 300; ++cycle) {
    g_shut_down = false;
    AgentPtr* agent = nullptr;
    ASSERT_EQ(velarix_agent_start(rt, cfg, path.c_str(), nullptr, on_change_after_shutdown, nullptr, &agent), 0);
    velarix_agent_shutdown(rt, agent);
    g_shut_down = true;
    velarix_agent_free(agent);
  }
  velarix_agent_config_free(cfg);
  // Freeing the runtime joins its threads: a late callback would have come by now.
  velarix_agent_runtime_free(rt);
  EXPECT_EQ(g_late_callbacks.load(), 0);
}

TEST(CLifecycle, BlockingCallsOnARuntimeThreadReturnInsteadOfAborting) {
  AgentHarness harness;
  const auto path = harness.write_config();
  auto& r = g_reentry;
  r.path = path;
  ASSERT_EQ(velarix_agent_runtime(&r.runtime), 0);
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &r.config), 0);
  AgentPtr* agent = nullptr;
  ASSERT_EQ(velarix_agent_start(r.runtime, r.config, path.c_str(), nullptr, on_change_calling_back, nullptr, &agent),
            0);
  r.agent = agent;
  ASSERT_TRUE(eventually([&] { return r.done.load(); })) << "no callback";
  EXPECT_EQ(r.start_code, VELARIX_AGENT_ERR_FAILURE) << "start from inside the callback";
  EXPECT_EQ(r.started, nullptr) << "nothing written to out";
  EXPECT_TRUE(r.status_null) << "status from inside the callback";

  // The same from a task on the runtime.
  r.start_code = 1;
  r.status_null = false;
  velarix::p2p::util::block_on(r.runtime->runtime, []() -> boost::asio::awaitable<void> {
    g_reentry.call_back();
    co_return;
  }());
  EXPECT_EQ(r.start_code, VELARIX_AGENT_ERR_FAILURE) << "start from a runtime task";
  EXPECT_EQ(r.started, nullptr);
  EXPECT_TRUE(r.status_null) << "status from a runtime task";

  // Neither shut-down call stopped the agent; one from the host does.
  char* text = velarix_agent_status(r.runtime, agent);
  ASSERT_NE(text, nullptr);
  EXPECT_NE(std::string(text).find("\n  Agent Status: CONNECTED\n"), std::string::npos) << text;
  velarix_agent_status_free(text);
  velarix_agent_shutdown(r.runtime, agent);
  text = velarix_agent_status(r.runtime, agent);
  ASSERT_NE(text, nullptr);
  EXPECT_NE(std::string(text).find("\n  Agent Status: DISCONNECTED\n"), std::string::npos) << text;
  velarix_agent_status_free(text);

  velarix_agent_free(agent);
  velarix_agent_config_free(r.config);
  velarix_agent_runtime_free(r.runtime);
}

// Every binding of the node's list is cancelled, each named by its socket
// address (an IPv6 address in brackets).
TEST(CLifecycle, CancellingUdpBindingsCancelsEveryOneOfThem) {
  AgentHarness harness;
  ScopedEnv addrs("VELARIX_UDP_ADDRS", "127.0.0.1 ::1");
  ScopedEnv sockets("VELARIX_UDP_SOCKETS", "2");
  auto h = start_all(harness.write_config(), false);
  ASSERT_NE(h.agent, nullptr);
  // Sockets go with their runtime: the snapshot is let go before it is freed.
  auto bindings = h.agent->agent.node()->udp_bindings();
  ASSERT_EQ(bindings->size(), 4u);
  LogCapture::get().clear();
  EXPECT_EQ(velarix_agent_cancel_udp_bindings(h.agent), 0);
  std::map<std::string, std::size_t> shown;  // socket address -> bindings on it
  for (const auto& b : *bindings) {
    const auto& ep = b->local_addr();
    const std::string port = std::to_string(ep.port());
    const std::string address = ep.address().to_string();
    ++shown[ep.address().is_v6() ? "[" + address + "]:" + port : address + ":" + port];
    EXPECT_TRUE(b->is_cancelled()) << ep.address().to_string();
  }
  EXPECT_EQ(shown.size(), 2u) << "the two addresses share their port";
  EXPECT_EQ(shown.begin()->first.substr(0, 6), "127.0.");
  EXPECT_EQ(shown.rbegin()->first.substr(0, 5), "[::1]");
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("trace FFI: Found 4 UDP bindings"), 1u);
    for (const auto& [text, n] : shown) {
      EXPECT_EQ(LogCapture::get().count("trace FFI: Canceling UDP binding at " + text), n) << text;
    }
  }
  bindings.reset();
  stop_all(h);
}

namespace {

// A DNS query for `name` (dotted, no final dot), type A, class IN, recursion desired.
std::vector<std::uint8_t> dns_query(std::uint16_t id, const std::string& name) {
  std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00,
                                 0, 1, 0, 0, 0, 0, 0, 0};
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('.', start), name.size());
    q.push_back(static_cast<std::uint8_t>(end - start));
    const std::string_view label = std::string_view(name).substr(start, end - start);
    q.insert(q.end(), label.begin(), label.end());
    start = end + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

}  // namespace

// The TUN device the host hands to velarix_agent_start is the one the agent
// reads and writes: a DNS query for a member's name written into it (a socket
// pair end stands in for the device) comes back answered.
TEST(CLifecycle, TheHostsTunDeviceCarriesTheAgentsTraffic) {
  AgentHarness harness;
  velarix::test::TempDir dir;
  const std::string doc = dir.file("net.toml");
  const auto path = harness.write_config("[[network]]\nconfig_url = \"file://" + doc + "\"\n");
  AgentConfigPtr* config = nullptr;
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &config), 0);
  std::array<std::uint8_t, 32> pk{};
  ASSERT_EQ(velarix_agent_config_id_pk(config, pk.data()), 0);
  velarix_agent_config_free(config);
  std::string pk_text;
  for (auto b : pk) pk_text += fmt::format("{:02x}", b);
  velarix::test::write_text(doc, "network = \"10.88.0.0/24\"\n[[node]]\npk = \"" + pk_text +
                                     "\"\nip = \"10.88.0.1\"\nhostname = \"me\"\ngroups = [\"all\"]\n"
                                     "[[policy]]\nsource_groups = [\"all\"]\ndestination_groups = [\"all\"]\n");

  auto h = start_all(path);  // its first housekeeping tick applies the network
  ASSERT_NE(h.agent, nullptr);
  const auto own = *velarix::network::Ipv4Addr::parse("10.88.0.1");
  const auto server = *velarix::network::Ipv4Addr::parse("10.88.0.254");  // broadcast minus one
  const auto query = velarix::test::udp_packet(own, 40123, server, 53, dns_query(0x5a17, "me.velarix.internal"));
  std::optional<std::vector<std::uint8_t>> answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!answer && std::chrono::steady_clock::now() < deadline) {
    // Until the tick has applied the network the query finds no server and is dropped,
    // and until it has applied the host names as well it is refused.
    ASSERT_EQ(::send(h.peer_fd, query.data(), query.size(), MSG_DONTWAIT), static_cast<ssize_t>(query.size()));
    pollfd p{h.peer_fd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    std::vector<std::uint8_t> got(65536);
    const auto n = ::recv(h.peer_fd, got.data(), got.size(), MSG_DONTWAIT);
    if (n < 0) continue;
    got.resize(static_cast<std::size_t>(n));
    const bool refused_before_the_names = n >= 32 && (got[31] & 0x0F) == 5;
    if (!refused_before_the_names) answer = std::move(got);
  }
  ASSERT_TRUE(answer) << "no answer through the host's device";
  const auto& a = *answer;
  ASSERT_GE(a.size(), 28u + 12u + 4u);
  EXPECT_TRUE(std::equal(a.begin() + 12, a.begin() + 16, std::array<std::uint8_t, 4>{10, 88, 0, 254}.begin()));
  EXPECT_EQ((a[20] << 8) | a[21], 53) << "from the DNS port";
  EXPECT_EQ((a[28] << 8) | a[29], 0x5a17) << "the query's id";
  EXPECT_EQ(a[30] & 0x80, 0x80) << "a response";
  EXPECT_EQ(a[31] & 0x0F, 0) << "NOERROR";
  EXPECT_EQ((a[34] << 8) | a[35], 1) << "one answer";
  EXPECT_TRUE(std::equal(a.end() - 4, a.end(), std::array<std::uint8_t, 4>{10, 88, 0, 1}.begin())) << "its address";
  stop_all(h);
}
