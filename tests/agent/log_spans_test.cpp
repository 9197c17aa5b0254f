// The spans of a running agent, as a user reads them: every line logged inside one carries its
// name and fields before the message, outermost first.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/two_agents.h"

namespace velarix::test {
namespace {

using namespace velarix::agent;
using p2p::util::block_on;
using p2p::util::Runtime;

// The first captured line that begins with `start` (after the level), or empty.
std::string line_starting(const std::string& start) {
  for (const auto& line : LogCapture::get().lines()) {
    if (line.starts_with(start)) return line;
  }
  return {};
}

// A query for the A record of me.velarix.internal, recursion desired.
Bytes dns_query(std::uint16_t id) {
  Bytes q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (const char* label : {"me", "velarix", "internal"}) {
    q.push_back(static_cast<std::uint8_t>(std::strlen(label)));
    q.insert(q.end(), label, label + std::strlen(label));
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

// One agent with two networks (one it is a member of, with a peer, one whose file is missing)
// and a TCP link to its super peer: a housekeeping tick, a payload to the peer, a DNS query and
// the node's own housekeeping run every span there is.
TEST(LogSpans, EveryLineInsideASpanCarriesItsNameAndFields) {
  auto& logs = LogCapture::get();
  if (!logs.installed()) GTEST_SKIP() << "another logger was installed first";
  ScopedEnv tcp("VELARIX_ENFORCE_TCP", "true");
  AgentHarness harness;
  Runtime rt(4);
  TunStandIn tun;
  const auto peer = p2p::Identity::generate(4)->pk();
  const std::string member = harness.dir().file("member.toml");
  const std::string missing = "file://" + harness.dir().file("missing.toml");
  const auto path = harness.write_config("[[network]]\nconfig_url = \"file://" + member + "\"\n[[network]]\nconfig_url = \"" +
                                         missing + "\"\n");
  auto cfg = AgentConfig::load(path);
  ASSERT_TRUE(cfg) << cfg.error().message();
  const std::string own = cfg->identity.pk().to_string();
  write_text(member, "network = \"10.7.0.0/24\"\n[[node]]\npk = \"" + own + "\"\nip = \"10.7.0.2\"\nhostname = \"me\"\n" +
                         "[[node]]\npk = \"" + peer.to_string() + "\"\nip = \"10.7.0.3\"\nhostname = \"peer\"\n" +
                         "[[policy]]\nsource_groups = [\"ALL\"]\ndestination_groups = [\"ALL\"]\n");

  logs.clear();
  PlatformDependent platform;
  platform.tun_device = tun.device(rt.executor());
  auto agent = block_on(rt, Agent::start(*cfg, path, std::move(platform), AgentTimings{.housekeeping = false}));
  ASSERT_TRUE(agent) << agent.error().message();
  block_on(rt, AgentInner::housekeeping(agent->inner()));

  auto handle = agent->node()->send_handle(peer);
  ASSERT_TRUE(handle);
  (void)block_on(rt, (*handle)->send(std::vector<std::uint8_t>(40, 7)));

  ASSERT_TRUE(eventually([&] { return agent->inner()->dns->server_ip().has_value(); }));
  const auto server = *agent->inner()->dns->server_ip();
  ASSERT_TRUE(tun.write(udp_packet(ipv4("10.7.0.2"), 40123, server, 53, dns_query(4242))));
  ASSERT_TRUE(tun.read());

  const std::string sp = harness.super_peer().public_key().to_string();
  const std::string network = "housekeeping_network{network=" + missing + "}: ";
  struct Case {
    const char* span;
    std::string start;  // the line's level, its spans and the beginning of its message
  };
  const std::vector<Case> cases = {
      {"bind", "trace bind: UDP port: "},
      {"housekeeping_network", "warning " + network + "Failed to retrieve network config: "},
      {"update_tries",
       "trace housekeeping_network{network=file://" + member + "}: update_tries: Tries rebuilt successfully."},
      {"send", "trace send{peer=" + peer.to_string() + "}: Send message"},
      {"send_response", "trace send_response{id=4242}: Starting DNS response encoding for ID: 4242"},
      {"housekeeping", "trace housekeeping: Start housekeeping"},
      {"super_peer", "trace housekeeping: super_peer{pk=" + sp + "}: Send HELLO to super peer"},
      {"node_peer", "trace housekeeping: node_peer{pk=" + peer.to_string() + "}: "},
      {"tcp_connector", "trace tcp_connector{pk=" + sp + "}: Connect to super peer tcp://"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.span);
    EXPECT_TRUE(eventually([&] { return !line_starting(c.start).empty(); })) << "no line begins with: " << c.start;
  }
  // Lines outside every span are as they were.
  EXPECT_EQ(logs.count("trace Finished housekeeping"), 1u) << "the tick's own line, after its steps";
  block_on(rt, agent->shutdown());
}

}  // namespace
}  // namespace velarix::test
