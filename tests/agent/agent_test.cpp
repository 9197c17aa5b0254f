// Start-up, supervision, applying desired state and shut-down of a running agent.

#include <gtest/gtest.h>

#include <future>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/agent.h"
#include "common/agent_harness.h"
#include "common/log_capture.h"

using namespace velarix::agent;
using velarix::network::Action;
using velarix::network::Direction;
using velarix::network::EffectiveAccessRule;
using velarix::network::EffectiveAccessRuleList;
using velarix::network::Ipv4Addr;
using velarix::network::Ipv4Net;
using velarix::p2p::util::block_on;
using velarix::p2p::util::CancellationToken;
using velarix::p2p::util::Runtime;
using velarix::p2p::util::TaskSet;
using velarix::test::AgentHarness;
using velarix::test::eventually;
using velarix::test::LogCapture;
using velarix::test::ScopedEnv;

namespace asio = boost::asio;

namespace {

// A valid public key per number (the node refuses keys that are not curve points).
velarix::p2p::PubKey key(std::uint8_t n) {
  velarix::p2p::SecKey::Bytes seed{};
  seed.fill(n);
  return velarix::p2p::Identity(velarix::p2p::SecKey(seed), velarix::p2p::Pow(0)).pk();
}

Ipv4Net net(const char* text) { return *Ipv4Net::parse(text); }
Ipv4Addr ip(const char* text) { return *Ipv4Addr::parse(text); }

// OUT to `peer` for `dest` and IN from it, both from/to `own`.
EffectiveAccessRuleList rules(const char* own, const char* dest, std::uint8_t peer) {
  EffectiveAccessRuleList list;
  EffectiveAccessRule out{Direction::OUT, net(own), net(dest), key(peer), Action::Allow};
  EffectiveAccessRule in{Direction::IN, net(dest), net(own), key(peer), Action::Allow};
  list.rules.emplace(velarix::network::EffectiveAccessRuleListEntryKey{out.direction, out.source, out.dest}, out);
  list.rules.emplace(velarix::network::EffectiveAccessRuleListEntryKey{in.direction, in.source, in.dest}, in);
  return list;
}

class RunningAgent : public ::testing::Test {
 protected:
  void start(const std::string& extra = "", const std::string& super_peers = "") {
    const auto path = harness_.write_config(extra, super_peers);
    auto cfg = AgentConfig::load(path);
    ASSERT_TRUE(cfg);
    // These tests apply states by hand: no housekeeping tick may interfere.
    auto started = block_on(rt_, Agent::start(*cfg, path, PlatformDependent{}, AgentTimings{.housekeeping = false}));
    ASSERT_TRUE(started) << started.error().message();
    agent_.emplace(std::move(*started));
  }
  void TearDown() override {
    if (agent_) block_on(rt_, agent_->shutdown());
    agent_.reset();
  }
  AgentInner& inner() { return *agent_->inner(); }

  // Applies `url` with the state lock held, as housekeeping does.
  void apply(const Url& url, const std::function<void(Network&)>& set_desired) {
    block_on(rt_, [&]() -> asio::awaitable<void> {
      auto guard = co_await inner().state_lock.write();
      auto& networks = inner().state.config.network;
      auto& net = networks[url];
      net.config_url = url.as_str();
      set_desired(net);
      AgentInner::apply_desired_state(agent_->inner(), url, networks);
    }());
  }

  AgentHarness harness_;
  Runtime rt_{4};
  std::optional<Agent> agent_;
};

}  // namespace

TEST(AgentMonitor, PrematureEndCancelsTheAgentAndFailureLogsOnce) {
  LogCapture::get().clear();
  Runtime rt(2);
  struct Case {
    bool fail;
    bool cancel_first;  // the token is already cancelled (shut-down)
  } cases[] = {{false, false}, {true, false}, {false, true}};
  for (const auto& c : cases) {
    LogCapture::get().clear();
    CancellationToken token;
    if (c.cancel_first) token.cancel();
    auto tasks = std::make_shared<TaskSet>(rt.executor());
    std::atomic<bool> other_ended{false};
    const bool fail = c.fail;
    tasks->spawn([](bool fail) -> asio::awaitable<std::expected<void, std::string>> {
      if (fail) co_return std::unexpected(std::string("boom"));
      co_return std::expected<void, std::string>{};
    }(fail));
    // The other runner ends on the token; after a failure only the abort can end it.
    tasks->spawn([](CancellationToken t, std::atomic<bool>* ended, bool fail) -> asio::awaitable<void> {
      struct Mark {
        std::atomic<bool>* ended;
        ~Mark() { *ended = true; }
      } mark{ended};
      if (!fail) co_return co_await t.cancelled();
      co_await asio::steady_timer(co_await asio::this_coro::executor, std::chrono::hours(1))
          .async_wait(asio::use_awaitable);
    }(token, &other_ended, fail));
    block_on(rt, monitor(tasks, token));
    tasks.reset();
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_TRUE(eventually([&] { return other_ended.load(); })) << "the other runner ends";
    if (!LogCapture::get().installed()) continue;
    EXPECT_EQ(LogCapture::get().count("Task failed. Cancel token: boom"), c.fail ? 1u : 0u);
    EXPECT_EQ(LogCapture::get().count("Task prematurely finished. Cancel token."),
              !c.fail && !c.cancel_first ? 1u : 0u);
    EXPECT_EQ(LogCapture::get().count("Monitoring task cancelled."), 1u);
  }
}

TEST(AgentStart, SaysWhenItUsesTheBuiltInSuperPeers) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger was installed first";
  AgentHarness harness;
  Runtime rt(2);
  // A bad address list ends the start before the node is bound, so the
  // built-in super peers are never looked up.
  ScopedEnv bad_addrs("VELARIX_UDP_ADDRS", "not-an-address");
  const std::string line =
      "info The configuration has no super_peers: using the built-in super peers sp-fra-1.velarix.net:22527, "
      "sp-nyc-1.velarix.net:22527";
  for (const bool configured : {false, true}) {
    SCOPED_TRACE(configured ? "super_peers set" : "no super_peers");
    auto cfg = AgentConfig::load(harness.write_config("", configured ? "" : "<absent>"));
    ASSERT_TRUE(cfg);
    LogCapture::get().clear();
    auto started =
        block_on(rt, Agent::start(*cfg, harness.path(), PlatformDependent{}, AgentTimings{.housekeeping = false}));
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().kind, ErrorKind::ConfigParse);
    const auto lines = LogCapture::get().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), configured ? 0 : 1);
  }
}

TEST_F(RunningAgent, StartsWithItsSettings) {
  ScopedEnv arm("VELARIX_ARM_MESSAGES", "false");
  harness_.serve_unarmed();
  start("[dns]\ndisabled = true\n[controller]\nshared_secret = \"c2VjcmV0\"\n");
  EXPECT_EQ(inner().mtu, 1121);
  EXPECT_EQ(inner().dns, nullptr);
  EXPECT_EQ(inner().state.config.controller->connection_status.kind, ControllerConnectionStatus::Kind::LoggedOut);
  EXPECT_TRUE(harness_.super_peer().wait_for([](const auto& s) { return s.known_nodes >= 1; }, std::chrono::seconds(10)));
}

TEST_F(RunningAgent, StartsArmedWhenItsSuperPeerDoesNotResolve) {
  // A name under .invalid never resolves, so nothing leaves the machine; housekeeping keeps trying.
  const auto key = harness_.super_peer().public_key().to_string();
  start("", "[\"udp://sp.velarix.invalid:22527?publicKey=" + key + "&networkId=1\"]");
  ASSERT_TRUE(agent_);
  EXPECT_FALSE(inner().cancellation_token.is_cancelled());
  auto sp = agent_->node()->peers_list().super_peer(harness_.super_peer().public_key());
  ASSERT_TRUE(sp);
  EXPECT_FALSE(sp->resolved_addrs());
}

TEST_F(RunningAgent, ConfiguredMtuAndControllerWithLogin) {
  start("mtu = 1400\n[controller]\nshared_secret = \"c2VjcmV0\"\ndisplay_login_email = \"a@b.c\"\n");
  EXPECT_EQ(inner().mtu, 1400);
  EXPECT_NE(inner().dns, nullptr);
  EXPECT_EQ(inner().state.config.controller->connection_status.kind,
            ControllerConnectionStatus::Kind::Initializing);
}

TEST_F(RunningAgent, ApplyStartsTunRunnerOnceAndRebuildsTriesOnlyOnChange) {
  start();
  LogCapture::get().clear();
  const Url a = *Url::parse("https://a.example/net");
  const Url b = *Url::parse("https://b.example/net");
  EXPECT_FALSE(inner().netif.slot()->runner_token);
  auto tx_before = inner().tx_trie.load();

  apply(a, [](Network& n) {
    n.desired_state.ip.applied = net("10.1.0.2/24");
    n.desired_state.access_rules.applied = rules("10.1.0.2/32", "10.1.0.3/32", 7);
  });
  ASSERT_TRUE(inner().netif.slot()->runner_token);
  const auto runner = *inner().netif.slot()->runner_token;
  auto tx = inner().tx_trie.load();
  EXPECT_NE(tx, tx_before);
  const auto* handle = velarix::network::lookup_route(*tx, ip("10.1.0.3"), ip("10.1.0.2"));
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ((*handle)->pk(), key(7));
  const auto* allowed = velarix::network::lookup_route(*inner().rx_trie.load(), ip("10.1.0.3"), ip("10.1.0.2"));
  ASSERT_NE(allowed, nullptr);
  EXPECT_EQ(*allowed, key(7));
  EXPECT_EQ(velarix::network::lookup_route(*tx, ip("10.1.0.4"), ip("10.1.0.2")), nullptr);

  // The same desired state again, and a second network: no new runner, no rebuild for the unchanged one.
  apply(a, [](Network&) {});
  EXPECT_EQ(inner().tx_trie.load(), tx);
  apply(b, [](Network& n) { n.desired_state.ip.applied = net("10.2.0.2/24"); });
  EXPECT_EQ(*inner().netif.slot()->runner_token, runner);
  EXPECT_EQ(inner().tx_trie.load(), tx);
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("Start TUN device runner"), 1u);
    EXPECT_EQ(LogCapture::get().count("Access rules change: current="), 1u);
    EXPECT_EQ(LogCapture::get().count("handles TUN address updates"), 3u);
    EXPECT_EQ(LogCapture::get().count("handles route updates"), 3u);
  }

  // Differing only in the error text is a change.
  apply(a, [](Network& n) { n.desired_state.access_rules.error = "stale"; });
  EXPECT_NE(inner().tx_trie.load(), tx);
}

TEST_F(RunningAgent, DnsServerAddressAndGatewayWarning) {
  start();
  LogCapture::get().clear();
  const Url a = *Url::parse("https://a.example/net");
  apply(a, [](Network& n) {
    n.disabled = true;
    n.desired_state.ip.applied = net("10.1.2.3/24");
    n.desired_state.forwardings.applied = velarix::network::EffectiveForwardingList{};
  });
  EXPECT_FALSE(inner().dns->server_ip()) << "a disabled network provides no DNS server";
  apply(a, [](Network& n) { n.disabled = false; });
  ASSERT_TRUE(inner().dns->server_ip());
  EXPECT_EQ(inner().dns->server_ip()->to_string(), "10.1.2.254");
  apply(a, [](Network& n) {
    n.desired_state.ip.applied.reset();
    velarix::network::EffectiveForwardingList fwd;
    fwd.networks.insert(net("192.168.0.0/24"));
    n.desired_state.forwardings.applied = fwd;
  });
  EXPECT_FALSE(inner().dns->server_ip());
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("DNS server IP changed: None -> Some(10.1.2.254)"), 1u);
    EXPECT_EQ(LogCapture::get().count("DNS server IP changed: Some(10.1.2.254) -> None"), 1u);
    EXPECT_EQ(LogCapture::get().count("We're configured as a gateway."), 1u);
  }
}

TEST_F(RunningAgent, ShutdownEmptiesEveryNetworkAfterAHeldLock) {
  start();
  const Url a = *Url::parse("https://a.example/net");
  const Url b = *Url::parse("https://b.example/net");
  for (const auto* u : {&a, &b}) {
    apply(*u, [](Network& n) {
      n.desired_state.ip.applied = net("10.1.0.2/24");
      n.desired_state.access_rules.applied = rules("10.1.0.2/32", "10.1.0.3/32", 7);
    });
  }
  ASSERT_FALSE(inner().tx_trie.load()->empty());

  // A housekeeping step holds the lock: shut-down waits for it.
  std::promise<void> release;
  std::promise<void> held;
  std::thread holder([&] {
    block_on(rt_, [&]() -> asio::awaitable<void> {
      auto guard = co_await inner().state_lock.write();
      held.set_value();
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      release.get_future().wait();
    }());
  });
  held.get_future().wait();
  auto done = std::async(std::launch::async, [&] { block_on(rt_, agent_->shutdown()); });
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_TRUE(inner().cancellation_token.is_cancelled()) << "the token is cancelled before the lock is taken";
  release.set_value();
  holder.join();
  done.get();

  EXPECT_TRUE(inner().tx_trie.load()->empty());
  EXPECT_TRUE(inner().rx_trie.load()->empty());
  for (const auto& [url, n] : inner().state.config.network) {
    EXPECT_EQ(n.desired_state, velarix::network::AgentState{});
    EXPECT_EQ(n.current_state, velarix::network::AgentState{});
  }
  EXPECT_FALSE(inner().dns->server_ip());
}

TEST(ChannelSink, DropsWhenFullAndKeepsWhatIsQueued) {
  LogCapture::get().clear();
  auto channel = std::make_shared<NodeReceiveChannel>(2);
  ChannelSink sink(channel);
  const std::uint8_t payload[] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) sink.accept(key(1), payload);
  EXPECT_EQ(channel->size(), 2u);
  if (LogCapture::get().installed()) {
    EXPECT_GE(LogCapture::get().count("Received APP dropped: sending on a full channel"), 1u);
  }
}

// With no VELARIX_ variable set, every setting takes its default: the node's
// options, the capacities of the two channels, the MTU, and the proof of work
// of a new identity.
TEST(AgentDefaults, EverySettingUnsetTakesItsDefault) {
  AgentHarness harness;
  const auto path = harness.write_config();
  std::vector<std::string> names = {"MIN_POW_DIFFICULTY", "ARM_MESSAGES",   "UDP_ADDRS",         "UDP_PORT",
                                    "MAX_PEERS",          "HELLO_TIMEOUT",  "HELLO_MAX_AGE",     "RECV_BUF_CAP",
                                    "PROCESS_UNITES",     "HOUSEKEEPING_INTERVAL", "ENFORCE_TCP", "UDP_SOCKETS",
                                    "CHANNEL_CAP",        "TUN_THREADS",    "C2D_THREADS"};
  for (auto& n : names) n = "VELARIX_" + n;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (entry.starts_with("VELARIX_")) names.push_back(entry.substr(0, entry.find('=')));
  }
  std::vector<std::unique_ptr<ScopedEnv>> cleared;
  for (const auto& n : names) cleared.push_back(std::make_unique<ScopedEnv>(n, nullptr));

  auto cfg = AgentConfig::load(path);
  ASSERT_TRUE(cfg);
  Runtime rt(2);
  auto started = block_on(rt, Agent::start(*cfg, path, PlatformDependent{}, AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(started) << started.error().message();
  const auto& opts = started->node()->opts();
  const AgentInner& inner = *started->inner();
  const struct {
    const char* what;
    std::uint64_t got;
    std::uint64_t want;
  } rows[] = {
      {"min PoW difficulty", opts.min_pow_difficulty, 24},
      {"armed messages", opts.arm_messages, 1},
      {"addresses named", opts.udp_addrs.size(), 0},
      {"a port named", opts.udp_port.has_value(), 0},
      {"sockets per address", opts.udp_sockets, 3},
      {"max peers", opts.max_peers, 8192},
      {"HELLO time-out (ms)", opts.hello_timeout, 30000},
      {"HELLO max age (ms)", opts.hello_max_age, 60000},
      {"process UNITEs", opts.process_unites, 1},
      {"node housekeeping interval (ms)", opts.housekeeping_interval, 5000},
      {"enforce TCP", opts.enforce_tcp, 0},
      {"node receive channel capacity", inner.node_receiver->capacity(), 512},
      {"channel-to-overlay capacity", inner.c2d_sender->capacity(), 512},
      {"MTU", inner.mtu, 1073},
  };
  for (const auto& r : rows) EXPECT_EQ(r.got, r.want) << r.what;
  block_on(rt, started->shutdown());

  auto generated = AgentConfig::load_or_generate(harness.dir().file("new.toml"));
  ASSERT_TRUE(generated) << generated.error().message();
  EXPECT_TRUE(generated->identity.pow().is_valid(generated->identity.pk(), 24)) << "a new identity's proof of work";
}
