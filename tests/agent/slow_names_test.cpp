// Host names that a DNS server on loopback never answers, met by the agent: the HTTP client,
// the configuration fetch of a running agent, and start-up and shut-down through the C
// interface. Every test runs in a network namespace of its own whose resolv.conf names that
// server (see dns_netns.h).

#include <gtest/gtest.h>

#include <future>

#include "agent/agent.h"
#include "agent/http_client.h"
#include "common/agent_harness.h"
#include "common/dns_netns.h"
#include "sync_test_support.h"
#include "velarix_agent.h"

using namespace velarix::agent;
using velarix::network::NetworkHealth;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::AgentHarness;
using velarix::test::DnsTestServer;
using velarix::test::HttpTestServer;
using velarix::test::RecordedRequest;
using velarix::test::Reply;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::expected<HttpResponse, HttpError> get(Runtime& rt, const HttpClient& client, const std::string& url,
                                           std::chrono::milliseconds limit) {
  auto target = HttpTarget::from_url(url);
  if (!target) return std::unexpected(target.error());
  HttpRequest req{.method = "GET", .target = *target, .fields = {}, .body = {}};
  return block_on(rt, client.send(req, BodyPolicy::Always, Clock::now() + limit));
}

void on_change(const CNetworkChange*) {}

}  // namespace

TEST(SlowNames, HttpClientLooksEachNameUpOnItsOwn) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  DnsTestServer dns;
  dns.set("slow.test", DnsTestServer::never());
  dns.set("fast.test", DnsTestServer::addresses({"127.0.0.1"}));
  dns.set("fast2.test", DnsTestServer::addresses({"127.0.0.1"}));
  HttpTestServer server;
  server.route("/x", [](const RecordedRequest&) { return Reply::ok("x"); });
  Runtime rt{2};
  const auto client = HttpClient::create();
  const std::string port = std::to_string(server.port());

  // As ticks do: the unanswered name first, each request with its own limit, then the others.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto t0 = Clock::now();
    auto slow = get(rt, client, "http://slow.test:" + port + "/x", 1s);
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.error().kind, HttpError::Kind::Timeout) << slow.error().message;
    EXPECT_LT(Clock::now() - t0, 2s);
    for (const char* name : {"fast2.test", "fast.test"}) {
      auto fast = get(rt, client, "http://" + std::string(name) + ":" + port + "/x", 1s);
      ASSERT_TRUE(fast) << name << ": " << fast.error().message;
      EXPECT_EQ(fast->body, "x");
    }
  }
  EXPECT_GE(dns.queries("fast2.test"), 3u);

  // And side by side: a slow request holds none of the others.
  const auto asked = dns.queries("slow.test");
  auto slow = std::async(std::launch::async, [&] { return get(rt, client, "http://slow.test:" + port + "/x", 3s); });
  ASSERT_TRUE(velarix::test::eventually([&] { return dns.queries("slow.test") > asked; }, 2s));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(get(rt, client, "http://fast.test:" + port + "/x", 1s));
  EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout);
  EXPECT_FALSE(slow.get());
}

TEST(SlowNames, ANetworkBehindAFastNameIsAppliedWhileAnotherNameNeverAnswers) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  DnsTestServer dns;
  dns.set("slow.test", DnsTestServer::never());
  dns.set("fast2.test", DnsTestServer::addresses({"127.0.0.1"}));
  AgentHarness harness;
  HttpTestServer server;
  Runtime rt{4};
  const std::string port = std::to_string(server.port());
  const std::string slow_url = "http://slow.test:" + port + "/net.toml";
  const std::string fast_url = "http://fast2.test:" + port + "/net.toml";
  const auto path = harness.write_config("[[network]]\nconfig_url = \"" + slow_url +
                                         "\"\n[[network]]\nconfig_url = \"" + fast_url + "\"\n");
  auto cfg = AgentConfig::load(path);
  ASSERT_TRUE(cfg) << cfg.error().message();
  const std::string pk = cfg->identity.pk().to_string();
  server.route("/net.toml", [pk](const RecordedRequest&) {
    return Reply::ok("name = \"Fast\"\nnetwork = \"10.8.0.0/24\"\n[[node]]\npk = \"" + pk +
                     "\"\nip = \"10.8.0.2\"\nhostname = \"me\"\ngroups = [\"all\"]\n[[policy]]\nsource_groups = "
                     "[\"all\"]\ndestination_groups = [\"all\"]\n");
  });
  PlatformDependent platform;
  platform.network_change_callback = [](NetworkChange) {};
  auto started = block_on(rt, Agent::start(*cfg, path, std::move(platform), AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(started) << started.error().message();
  auto network = [&](const std::string& url) {
    return block_on(rt, [&]() -> boost::asio::awaitable<velarix::network::Network> {
      auto guard = co_await started->inner()->state_lock.read();
      auto& all = started->inner()->state.config.network;
      auto it = all.find(*Url::parse(url));
      co_return it == all.end() ? velarix::network::Network{} : it->second;
    }());
  };

  // Every tick: the slow network fails at its limit and the other is applied.
  for (int tick = 0; tick < 2; ++tick) {
    SCOPED_TRACE("tick " + std::to_string(tick));
    block_on(rt, AgentInner::housekeeping(started->inner()));
    const auto fast = network(fast_url);
    EXPECT_EQ(fast.health, NetworkHealth::ok()) << fast.health.debug();
    ASSERT_TRUE(fast.current_state.ip.applied);
    EXPECT_EQ(fast.current_state.ip.applied->to_string(), "10.8.0.2/24");
    EXPECT_NE(network(slow_url).health.debug().find("Timeout of 5000 ms exceeded"), std::string::npos)
        << network(slow_url).health.debug();
  }
  block_on(rt, started->shutdown());
}

TEST(SlowNames, AgentStartsAndGreetsItsOtherSuperPeerWhileOneNameNeverAnswers) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  DnsTestServer dns;
  dns.set("slow.test", DnsTestServer::never());
  AgentHarness harness;
  const auto slow_key = velarix::p2p::Identity::generate(4)->pk().to_string();
  const auto path = harness.write_config("", "[\"udp://slow.test:4000?publicKey=" + slow_key + "&networkId=1\", \"" +
                                                 harness.super_peer().url_text() + "\"]");
  RuntimePtr* runtime = nullptr;
  AgentConfigPtr* config = nullptr;
  AgentPtr* agent = nullptr;
  ASSERT_EQ(velarix_agent_runtime(&runtime), 0);
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &config), 0);

  const auto t0 = Clock::now();
  ASSERT_EQ(velarix_agent_start(runtime, config, path.c_str(), nullptr, on_change, nullptr, &agent), 0);
  // The lookup's 5 s and the start-up's own work (slow under a sanitizer); the resolver's own
  // give-up of an unanswered name comes after 10 s.
  EXPECT_LT(Clock::now() - t0, 7500ms) << "start-up waited past the lookup's limit";
  const auto started = Clock::now();
  // The first pass looks the slow name up again; the other super peer is greeted meanwhile.
  EXPECT_TRUE(harness.super_peer().wait_for([](const auto& s) { return s.known_nodes >= 1; }, 3s));
  EXPECT_LT(Clock::now() - started, 3s);

  // Shut-down and freeing do not wait for a lookup in flight.
  const auto asked = dns.queries("slow.test");
  ASSERT_TRUE(velarix::test::eventually([&] { return dns.queries("slow.test") > asked; }, 7s));
  const auto t1 = Clock::now();
  velarix_agent_shutdown(runtime, agent);
  velarix_agent_free(agent);
  velarix_agent_config_free(config);
  velarix_agent_runtime_free(runtime);
  EXPECT_LT(Clock::now() - t1, 2s);
}
