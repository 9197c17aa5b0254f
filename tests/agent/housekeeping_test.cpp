// Housekeeping ticks of a running agent, driven by hand, against a local
// controller and configuration server: controller networks, every kind of
// network step, the host notification through the C interface, the metrics.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <thread>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "agent/agent.h"
#include "agent/status.h"
#include "common/agent_harness.h"
#include "common/log_capture.h"
#include "ffi/ffi.h"
#include "sync_test_support.h"
#include "velarix_agent.h"

using namespace velarix::agent;
using velarix::network::NetworkHealth;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::AgentHarness;
using velarix::test::ControllerChecks;
using velarix::test::HttpTestServer;
using velarix::test::LogCapture;
using velarix::test::RecordedRequest;
using velarix::test::Reply;
using velarix::test::TempDir;
using velarix::test::TrustedTestCa;
using velarix::test::write_text;

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSecret = "c2VjcmV0";  // Base64url of "secret"
const std::string kIdX = "6a3c2f1e-8d4b-4c5a-9e7f-0123456789ab";
const std::string kIdY = "0f1e2d3c-4b5a-4968-8776-655443322110";
const std::string kUrlX = "controller://" + kIdX;
const std::string kUrlY = "controller://" + kIdY;

// The host's callback, reached through the C interface.
struct HostChange {
  std::string ips, routes, dns;
  friend bool operator==(const HostChange&, const HostChange&) = default;
};
std::mutex g_changes_mutex;
std::vector<HostChange> g_changes;
void on_change(const CNetworkChange* c) {
  std::lock_guard lock(g_changes_mutex);
  g_changes.push_back({velarix_agent_network_change_ips(c), velarix_agent_network_change_routes(c),
                       velarix_agent_network_change_dns_server(c)});
}
std::vector<HostChange> take_changes() {
  std::lock_guard lock(g_changes_mutex);
  return std::exchange(g_changes, {});
}

// Counts the saves of one file: each is a rename onto it. The temporary
// files' events are watched too: the kernel merges identical events that
// follow each other, and they keep the renames apart.
class SaveCounter {
 public:
  explicit SaveCounter(const std::string& path)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::filesystem::path(path).filename().string()) {
    ::inotify_add_watch(fd_, std::filesystem::path(path).parent_path().c_str(), IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE);
  }
  ~SaveCounter() { ::close(fd_); }
  // Saves since the last call.
  int take() {
    int count = 0;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        if ((e->mask & IN_MOVED_TO) && e->len > 0 && name_ == e->name) ++count;
        p += sizeof(inotify_event) + e->len;
      }
    }
    return count;
  }

 private:
  int fd_;
  std::string name_;
};

velarix::p2p::PubKey peer_key(std::uint8_t n) {
  velarix::p2p::SecKey::Bytes seed{};
  seed.fill(n);
  return velarix::p2p::Identity(velarix::p2p::SecKey(seed), velarix::p2p::Pow(0)).pk();
}

struct Member {
  std::string pk;
  std::string ip;
  std::string hostname;
};

// The body of one network's document (no table header); every member in
// group "all", one policy between all of them, and the routes given.
std::string network_body(const std::string& net, const std::vector<Member>& members, const std::string& node_table,
                         const std::vector<std::pair<std::string, std::string>>& routes = {},
                         const std::string& route_table = "route", const std::string& policy_table = "policy") {
  std::string out = "network = \"" + net + "\"\n";
  for (const auto& m : members) {
    out += "[[" + node_table + "]]\npk = \"" + m.pk + "\"\nip = \"" + m.ip + "\"\nhostname = \"" + m.hostname +
           "\"\ngroups = [\"all\"]\n";
  }
  for (const auto& [dest, gw] : routes) out += "[[" + route_table + "]]\ndest = \"" + dest + "\"\ngw = \"" + gw + "\"\n";
  out += "[[" + policy_table + "]]\nsource_groups = [\"all\"]\ndestination_groups = [\"all\"]\n";
  return out;
}

// A single network document as a web server or file serves it.
std::string network_doc(const std::optional<std::string>& name, const std::string& net,
                        const std::vector<Member>& members,
                        const std::vector<std::pair<std::string, std::string>>& routes = {}) {
  std::string head = name ? "name = \"" + *name + "\"\n" : std::string();
  return head + network_body(net, members, "node", routes);
}

struct ControllerNet {
  std::optional<std::string> id;
  std::string name;
  std::string net;
  std::vector<Member> members;
  std::vector<std::pair<std::string, std::string>> routes = {};
};

// The controller's answer: an array of network tables.
std::string controller_doc(const std::vector<ControllerNet>& nets) {
  if (nets.empty()) return "network = []\n";
  std::string out;
  for (const auto& n : nets) {
    out += "[[network]]\n";
    if (n.id) out += "id = \"" + *n.id + "\"\n";
    out += "name = \"" + n.name + "\"\n";
    out += network_body(n.net, n.members, "network.node", n.routes, "network.route", "network.policy");
  }
  return out;
}

class Housekeeping : public ::testing::Test {
 protected:
  // Ticks are driven by hand unless `timings` says otherwise.
  void start(const std::string& extra,
             AgentTimings timings = {.housekeeping = false, .controller_timeout = std::chrono::seconds(1)}) {
    path_ = harness_.write_config(extra);
    auto cfg = AgentConfig::load(path_);
    ASSERT_TRUE(cfg) << cfg.error().message();
    pk_ = cfg->identity.pk().to_string();
    PlatformDependent platform;
    platform.network_change_callback = velarix::ffi::c_network_change_callback(&on_change);
    auto started = block_on(rt_, Agent::start(*cfg, path_, std::move(platform), timings));
    ASSERT_TRUE(started) << started.error().message();
    agent_.emplace(std::move(*started));
    saves_.emplace(path_);
    take_changes();
  }
  void TearDown() override {
    if (agent_) block_on(rt_, agent_->shutdown());
    agent_.reset();
  }
  AgentInner& inner() { return *agent_->inner(); }
  void tick() { block_on(rt_, AgentInner::housekeeping(agent_->inner())); }

  // The running networks, copied under the state lock.
  NetworkMap networks() {
    return block_on(rt_, [this]() -> asio::awaitable<NetworkMap> {
      auto guard = co_await inner().state_lock.read();
      co_return inner().state.config.network;
    }());
  }
  Network network(const std::string& url) {
    auto all = networks();
    auto it = all.find(*Url::parse(url));
    if (it == all.end()) {
      ADD_FAILURE() << "no network " << url;
      return {};
    }
    return it->second;
  }
  std::string connection_status() {
    return block_on(rt_, [this]() -> asio::awaitable<std::string> {
      auto guard = co_await inner().state_lock.read();
      co_return inner().state.config.controller->connection_status.to_string();
    }());
  }
  std::string applied_ip(const std::string& url) {
    auto n = network(url);
    return n.current_state.ip.applied ? n.current_state.ip.applied->to_string() : "None";
  }
  std::string controller_table() {
    return "[controller]\nurl = \"" + server_.base_url() + "/api\"\nshared_secret = \"" + kSecret + "\"\n";
  }

  AgentHarness harness_;
  TrustedTestCa ca_;
  Runtime rt_{4};
  // Before the server: its thread may still run a route that reads them while the fixture goes.
  std::string path_;
  std::string pk_;
  HttpTestServer server_;
  std::optional<Agent> agent_;
  std::optional<SaveCounter> saves_;
};

// A controller whose answer the test changes between ticks.
struct ControllerAnswer {
  std::mutex mutex;
  unsigned status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};

  void set(unsigned s, std::string b, std::chrono::milliseconds d = {}) {
    std::lock_guard lock(mutex);
    status = s;
    body = std::move(b);
    delay = d;
  }
  Reply reply() {
    std::lock_guard lock(mutex);
    return Reply{status, {}, body, delay, {}};
  }
};

}  // namespace

TEST_F(Housekeeping, ControllerNetworksFollowOnlyASuccessfulAnswer) {
  const auto peer = peer_key(7).to_string();
  ControllerAnswer answer;
  server_.route("/api/nodes/me/networks/config.toml", [&answer](const RecordedRequest&) { return answer.reply(); });
  server_.route("/api/nodes/me/metrics", [](const RecordedRequest&) { return Reply::ok(""); });
  start(controller_table());
  server_.check_controller("/api/", ControllerChecks{.hmac_key = "secret", .bearer_token = {}, .node_pk = pk_});

  const ControllerNet x{kIdX, "Home", "10.10.0.0/24", {{pk_, "10.10.0.2", "me"}, {peer, "10.10.0.3", "peer"}},
                        {{"192.168.7.0/24", peer}}};
  const ControllerNet y{kIdY, "Work", "10.20.0.0/16", {{pk_, "10.20.0.5", "me"}, {peer, "10.20.0.9", "peer"}}};
  answer.set(200, controller_doc({x, y}));

  // Two networks listed: both added, the file saved once, both applied.
  tick();
  EXPECT_EQ(connection_status(), "Ok");
  EXPECT_EQ(saves_->take(), 1);
  auto nets = networks();
  ASSERT_EQ(nets.size(), 2u);
  for (const auto& [url, n] : nets) {
    EXPECT_EQ(n.health, NetworkHealth::ok()) << url.as_str() << " " << n.health.debug();
    EXPECT_EQ(n.config_url, url.as_str());
  }
  EXPECT_EQ(network(kUrlX).name, "Home");
  EXPECT_EQ(applied_ip(kUrlY), "10.20.0.5/16");
  auto file = AgentConfig::load(path_);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->network.size(), 2u);
  auto changes = take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].ips, "10.10.0.2/24,10.20.0.5/16");
  EXPECT_EQ(changes[0].routes, "192.168.7.0/24");
  EXPECT_TRUE(changes[0].dns == "10.10.0.254" || changes[0].dns == "10.20.255.254") << changes[0].dns;
  const auto* to_y_peer = velarix::network::lookup_route(*inner().tx_trie.load(), *velarix::network::Ipv4Addr::parse("10.20.0.9"),
                                                         *velarix::network::Ipv4Addr::parse("10.20.0.5"));
  EXPECT_NE(to_y_peer, nullptr);

  // The metrics went up, signed over exactly their body, with all ten keys in order.
  auto reqs = server_.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].method, "PUT");
  EXPECT_EQ(reqs[1].target, "/api/nodes/me/metrics");
  EXPECT_EQ(reqs[1].rejected, "");
  auto body = nlohmann::ordered_json::parse(reqs[1].body);
  std::vector<std::string> keys;
  for (auto it = body.begin(); it != body.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"os", "os_version", "os_arch", "rust_version", "ips",
                                            "velarix_agent_version", "velarix_ui_version", "super_peers", "networks",
                                            "error_logs"}));
  EXPECT_EQ(body.dump(), reqs[1].body) << "compact, in this order";
  EXPECT_TRUE(body["os"] == "iOS" || body["os"] == "iPadOS");
  EXPECT_EQ(body["os_arch"], "aarch64");
  EXPECT_TRUE(body["rust_version"].is_null());
  EXPECT_TRUE(body["ips"].is_array());
  EXPECT_TRUE(body["velarix_agent_version"].is_string());
  EXPECT_TRUE(body["velarix_ui_version"].is_null());
  EXPECT_EQ(body["super_peers"], nlohmann::ordered_json::object());
  EXPECT_EQ(body["networks"], nlohmann::ordered_json::object());
  EXPECT_TRUE(body["error_logs"].is_null()) << "healthy networks give no line";

  // The same answer again: nothing saved, nothing told.
  tick();
  EXPECT_EQ(saves_->take(), 0);
  EXPECT_TRUE(take_changes().empty());

  // Y dropped: removed and saved before any step, and what it applied withdrawn.
  answer.set(200, controller_doc({x}));
  tick();
  EXPECT_EQ(saves_->take(), 1);
  nets = networks();
  ASSERT_EQ(nets.size(), 1u);
  EXPECT_EQ(nets.begin()->first.as_str(), kUrlX);
  EXPECT_EQ(AgentConfig::load(path_)->network.size(), 1u);
  changes = take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].ips, "10.10.0.2/24");
  EXPECT_EQ(changes[0].dns, "10.10.0.254");
  to_y_peer = velarix::network::lookup_route(*inner().tx_trie.load(), *velarix::network::Ipv4Addr::parse("10.20.0.9"),
                                             *velarix::network::Ipv4Addr::parse("10.20.0.5"));
  EXPECT_EQ(to_y_peer, nullptr) << "no route into a network the node left";

  // The controller fails, is slow, or answers badly, or its address cannot be read
  // from the file: X stays, reports the missing configuration and keeps what it applied.
  const std::string missing = "Configuration parse error: Controller network not found in cache: " + kUrlX;
  const std::string unreadable = "[controller\n";
  struct Failure {
    const char* what;
    unsigned status;
    std::string body;
    std::chrono::milliseconds delay;
    std::string connection;
    std::optional<std::string> file = {};  // what the configuration file holds during the tick
  } failures[] = {
      {"500", 500, "oops", {}, "Err: Failed to fetch networks from controller"},
      {"slower than the limit", 200, controller_doc({x}), std::chrono::seconds(3),
       "Err: Failed to fetch networks from controller"},
      {"network without id", 200, controller_doc({ControllerNet{std::nullopt, "Z", "10.30.0.0/24", {}}}), {},
       "Err: Configuration parse error: Network config missing id"},
      {"configuration file unreadable", 200, controller_doc({x}), {},
       "Err: Configuration parse error: Failed to load agent config: TOML error: " +
           AgentConfig::from_toml(unreadable).error(),
       unreadable},
  };
  for (const auto& f : failures) {
    answer.set(f.status, f.body, f.delay);
    server_.clear();
    std::string text;
    if (f.file) {
      std::ifstream in(path_);
      text.assign(std::istreambuf_iterator<char>(in), {});
      write_text(path_, *f.file);
    }
    const auto began = Clock::now();
    tick();
    if (f.file) write_text(path_, text);
    if (f.delay.count() > 0) {
      EXPECT_LT(Clock::now() - began, f.delay) << "the controller's time limit ends the wait";
    }
    EXPECT_EQ(connection_status(), f.connection) << f.what;
    EXPECT_EQ(saves_->take(), 0) << f.what;
    ASSERT_EQ(networks().size(), 1u) << f.what;
    auto n = network(kUrlX);
    EXPECT_EQ(n.health, NetworkHealth::retrieve_config_error(missing)) << f.what << ": " << n.health.debug();
    EXPECT_EQ(applied_ip(kUrlX), "10.10.0.2/24") << f.what;
    EXPECT_TRUE(take_changes().empty()) << f.what;
    reqs = server_.requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(nlohmann::json::parse(reqs.back().body)["error_logs"], "Network " + kUrlX + ": RetrieveConfigError - " + missing)
        << f.what;
  }

  // Back again: healthy, nothing to save or tell.
  answer.set(200, controller_doc({x}));
  tick();
  EXPECT_EQ(network(kUrlX).health, NetworkHealth::ok());
  EXPECT_EQ(connection_status(), "Ok");
  EXPECT_EQ(saves_->take(), 0);

  // An answer that lists no network revokes X: removed, saved, withdrawn.
  answer.set(200, controller_doc({}));
  tick();
  EXPECT_EQ(connection_status(), "Err: Failed to fetch networks from controller");
  EXPECT_TRUE(networks().empty());
  EXPECT_EQ(saves_->take(), 1);
  EXPECT_TRUE(AgentConfig::load(path_)->network.empty());
  changes = take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], (HostChange{"", "", ""}));
  EXPECT_TRUE(inner().tx_trie.load()->empty());
  EXPECT_TRUE(inner().rx_trie.load()->empty());
}

TEST_F(Housekeeping, ControllerConfigurationsThatCannotBeUsed) {
  const auto peer = peer_key(7).to_string();
  const auto stranger = peer_key(9).to_string();
  ControllerAnswer answer;
  server_.route("/api/nodes/me/networks/config.toml", [&answer](const RecordedRequest&) { return answer.reply(); });
  server_.route("/api/nodes/me/metrics", [](const RecordedRequest&) { return Reply::ok(""); });
  // Listed in the file with a capital C: the controller's id matches, the text does not.
  start("[[network]]\nconfig_url = \"Controller://" + kIdY + "\"\n" + controller_table());

  ControllerNet x{kIdX, "Home", "10.10.0.0/24", {{pk_, "10.10.0.2", "me"}, {peer, "10.10.0.3", "peer"}}};
  const ControllerNet y{kIdY, "Work", "10.20.0.0/16", {{pk_, "10.20.0.5", "me"}}};
  answer.set(200, controller_doc({x, y}));
  tick();
  EXPECT_EQ(network(kUrlX).health, NetworkHealth::ok());
  EXPECT_EQ(network(kUrlY).health,
            NetworkHealth::retrieve_config_error("Configuration parse error: Unsupported URL scheme: Controller://" + kIdY));

  // The controller's documents are not validated: a gateway that is no node, or a
  // route onto a member's own address, cannot be turned into a state. The network
  // keeps its previous one.
  for (const auto& routes : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"192.168.1.0/24", stranger}}, {{"10.10.0.3/32", peer}}}) {
    x.routes = routes;
    answer.set(200, controller_doc({x, y}));
    tick();
    auto n = network(kUrlX);
    EXPECT_EQ(n.health.kind(), NetworkHealth::Kind::RetrieveConfigError) << routes[0].first;
    EXPECT_TRUE(n.health.error().starts_with("Network error: ")) << n.health.error();
    EXPECT_EQ(applied_ip(kUrlX), "10.10.0.2/24");
  }
}

TEST_F(Housekeeping, WithoutSecretControllerNetworksGoAndOthersStay) {
  TempDir dir;
  const std::string file = dir.file("net.toml");
  write_text(file, "");
  server_.route("/", [](const RecordedRequest&) { return Reply::ok(""); });
  start("[[network]]\nconfig_url = \"" + kUrlX + "\"\n[[network]]\nconfig_url = \"file://" + file +
        "\"\n[controller]\nurl = \"" + server_.base_url() + "/api\"\n");
  ASSERT_EQ(networks().size(), 2u);
  tick();
  EXPECT_EQ(connection_status(), "LoggedOut");
  EXPECT_EQ(saves_->take(), 1);
  auto nets = networks();
  ASSERT_EQ(nets.size(), 1u);
  EXPECT_EQ(nets.begin()->second.config_url, "file://" + file);
  EXPECT_EQ(server_.request_count(), 0u) << "neither networks nor metrics without a secret";
  tick();
  EXPECT_EQ(saves_->take(), 0);
}

TEST_F(Housekeeping, StepOutcomesByKindOfUrl) {
  TempDir dir;
  const auto peer = peer_key(7).to_string();
  // By value: the server's thread calls the routes, and a late one can run after this body ends.
  const auto member = [this, peer](const std::string& net, const std::string& ip) {
    return std::vector<Member>{{pk_, ip, "me"}, {peer, net.substr(0, net.rfind('.')) + ".3", "peer"}};
  };
  HttpTestServer wrong_name(ca_.issue("DNS:other.test"));
  HttpTestServer tls(ca_.issue());
  std::uint16_t closed_port;
  {
    HttpTestServer gone;
    closed_port = gone.port();
  }
  const std::string abs_file = dir.file("abs.toml");
  const std::string rel_file = dir.file("rel.toml");
  const std::string rel_path = std::filesystem::relative(rel_file).string();
  const std::string missing = dir.file("missing.toml");

  struct Case {
    std::string url;
    bool disabled;
    std::string health;  // debug form
    std::string ip;      // applied afterwards
    std::optional<std::string> name;
  };
  const std::string http = server_.base_url();
  std::vector<Case> cases = {
      {"file://" + abs_file, false, "Ok", "10.1.0.2/24", "Abs"},
      // What follows "file://" is a host, never a relative path.
      {"file://" + rel_path, false,
       "RetrieveConfigError(\"I/O error: file URL with host '" + rel_path.substr(0, rel_path.find('/')) +
           "': only local files (no host, or localhost) can be read\")",
       "None", std::nullopt},
      {"file://" + missing, false,
       "RetrieveConfigError(\"I/O error: No such file or directory (os error 2)\")", "None", std::nullopt},
      {"ftp://127.0.0.1/net.toml", false,
       "RetrieveConfigError(\"Configuration parse error: Unsupported URL scheme: ftp://127.0.0.1/net.toml\")", "None",
       std::nullopt},
      {http + "/member.toml", false, "Ok", "10.3.0.2/24", "Web"},
      {tls.base_url() + "/member.toml", false, "Ok", "10.3.0.2/24", "Web"},
      {wrong_name.base_url() + "/member.toml", false,
       "RetrieveConfigError(\"HTTP client error: TLS handshake with 127.0.0.1 failed: certificate verify failed: IP "
       "address mismatch\")",
       "None", std::nullopt},
      {http + "/stranger.toml", false, "NotAMemberError", "None", "Elsewhere"},
      {http + "/invalid.toml", false,
       "RetrieveConfigError(\"Network error: IP address 10.5.0.254 is reserved\")", "None", std::nullopt},
      {"http://127.0.0.1:" + std::to_string(closed_port) + "/x", true, "Disabled", "None", std::nullopt},
      {http + "/member.toml?disabled", true, "Disabled", "None", "Web"},
      {http + "/late.toml", true, "Disabled", "None", std::nullopt},
  };
  for (auto* s : {&server_, &tls, &wrong_name}) {
    s->route("/member.toml", [this, member](const RecordedRequest&) {
      return Reply::ok(network_doc("Web", "10.3.0.0/24", member("10.3.0.0", "10.3.0.2")));
    });
  }
  server_.route("/stranger.toml", [peer](const RecordedRequest&) {
    return Reply::ok(network_doc("Elsewhere", "10.4.0.0/24", {{peer, "10.4.0.3", "peer"}}));
  });
  server_.route("/late.toml", [this, member](const RecordedRequest&) {
    return Reply{200, {}, network_doc("Late", "10.6.0.0/24", member("10.6.0.0", "10.6.0.2")),
                 std::chrono::milliseconds(5100), {}};
  });
  server_.route("/invalid.toml", [this](const RecordedRequest&) {
    return Reply::ok(network_doc(std::nullopt, "10.5.0.0/24", {{pk_, "10.5.0.254", "me"}}));
  });

  std::string extra;
  for (const auto& c : cases) {
    extra += "[[network]]\nconfig_url = \"" + c.url + "\"\ndisabled = " + (c.disabled ? "true" : "false") + "\n";
  }
  // The documents name this node's key, known once the agent starts; the
  // routes above read it when they are asked.
  start(extra);
  write_text(abs_file, network_doc("Abs", "10.1.0.0/24", member("10.1.0.0", "10.1.0.2")));
  write_text(rel_file, network_doc(std::nullopt, "10.2.0.0/24", member("10.2.0.0", "10.2.0.2")));

  LogCapture::get().clear();
  tick();
  for (const auto& c : cases) {
    auto n = network(c.url);
    EXPECT_EQ(n.health.debug(), c.health) << c.url;
    EXPECT_EQ(applied_ip(c.url), c.ip) << c.url;
    EXPECT_EQ(n.name, c.name) << c.url;
    EXPECT_EQ(n.current_state, n.desired_state) << c.url;
  }
  EXPECT_EQ(saves_->take(), 5) << "one save per network whose name changed";
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("Ignoring config error for disabled network"), 1u);
    EXPECT_EQ(LogCapture::get().count("Ignoring config timeout for disabled network"), 1u);
    EXPECT_EQ(LogCapture::get().count("Network is disabled. We need to teardown everything."), 1u);
    EXPECT_EQ(LogCapture::get().count("I'm not member of this network."), 1u);
  }
  auto changes = take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].ips, "10.1.0.2/24,10.3.0.2/24,10.3.0.2/24");

  // Unchanged names save nothing; the host hears nothing new.
  tick();
  EXPECT_EQ(saves_->take(), 0);
  EXPECT_TRUE(take_changes().empty());
}

TEST_F(Housekeeping, FailedAndLateRetrievalsKeepThePreviousState) {
  const auto peer = peer_key(7).to_string();
  ControllerAnswer doc;  // the configuration server's answer, changed between ticks
  server_.route("/net.toml", [&doc](const RecordedRequest&) { return doc.reply(); });
  const std::string url = server_.base_url() + "/net.toml";
  start("[[network]]\nconfig_url = \"" + url + "\"\n");
  const auto v1 = network_doc("Net", "10.7.0.0/24", {{pk_, "10.7.0.2", "me"}, {peer, "10.7.0.3", "peer"}});
  const auto v2 = network_doc("Net", "10.7.0.0/24", {{pk_, "10.7.0.4", "me"}, {peer, "10.7.0.3", "peer"}});

  doc.set(200, v1);
  tick();
  EXPECT_EQ(network(url).health, NetworkHealth::ok());
  const auto applied = network(url).current_state;
  ASSERT_EQ(applied_ip(url), "10.7.0.2/24");

  struct Case {
    const char* what;
    unsigned status;
    std::string body;
    std::chrono::milliseconds delay;
    std::string health;
    std::string ip;
  } cases[] = {
      {"error status", 500, v2, {},
       "RetrieveConfigError(\"Configuration parse error: HTTP request failed with status '500 Internal Server "
       "Error'\")",
       "10.7.0.2/24"},
      {"too late", 200, v2, std::chrono::milliseconds(5100),
       "RetrieveConfigError(\"Timeout of 5000 ms exceeded while attempting to retrieve network config\")",
       "10.7.0.2/24"},
      {"slow but in time", 200, v2, std::chrono::milliseconds(4500), "Ok", "10.7.0.4/24"},
  };
  for (const auto& c : cases) {
    doc.set(c.status, c.body, c.delay);
    const auto began = Clock::now();
    tick();
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(5600)) << c.what;
    auto n = network(url);
    EXPECT_EQ(n.health.debug(), c.health) << c.what;
    EXPECT_EQ(applied_ip(url), c.ip) << c.what;
    if (c.ip == "10.7.0.2/24") {
      EXPECT_EQ(n.current_state, applied) << c.what << ": addresses, routes, rules and names stay";
    }
  }
}

TEST_F(Housekeeping, TheHostHearsOfEachDifferenceOnce) {
  start("");
  const Url a = *Url::parse("https://a.example/net");
  const Url b = *Url::parse("https://b.example/net");
  auto set = [this](const std::function<void(NetworkMap&)>& change) {
    block_on(rt_, [&]() -> asio::awaitable<void> {
      auto guard = co_await inner().state_lock.write();
      change(inner().state.config.network);
    }());
  };
  auto notify = [this] {
    block_on(rt_, inner().notify_on_network_change());
    return take_changes();
  };
  auto net = [](const char* t) { return *velarix::network::Ipv4Net::parse(t); };
  auto routes = [&](std::vector<const char*> dests) {
    velarix::network::EffectiveRoutingList list;
    for (const char* d : dests) list.routes.emplace(net(d), velarix::network::EffectiveRoute{net(d), {}});
    return list;
  };
  using Changes = std::vector<HostChange>;
  struct Case {
    const char* what;
    std::function<void(NetworkMap&)> change;
    Changes expected;
  } cases[] = {
      {"no networks: the first call always tells", [](NetworkMap&) {}, {{"", "", ""}}},
      {"nothing new", [](NetworkMap&) {}, {}},
      {"addresses and routes, sorted by address then prefix; a shared route twice",
       [&](NetworkMap& m) {
         m[a].current_state.ip.applied = net("10.0.0.2/24");
         m[a].current_state.routes.applied = routes({"192.168.1.0/24", "10.9.0.0/16"});
         m[b].current_state.ip.applied = net("9.0.0.1/8");
         m[b].current_state.routes.applied = routes({"192.168.1.0/24", "192.168.1.0/23"});
       },
       {{"9.0.0.1/8,10.0.0.2/24", "10.9.0.0/16,192.168.1.0/23,192.168.1.0/24,192.168.1.0/24", ""}}},
      {"access rules and host names only",
       [&](NetworkMap& m) {
         m[a].current_state.access_rules.applied = velarix::network::EffectiveAccessRuleList{};
         m[b].current_state.hostnames.applied = velarix::network::HostnameList{};
       },
       {}},
      {"a network without address still brings its routes",
       [&](NetworkMap& m) { m[b].current_state.ip.applied.reset(); },
       {{"10.0.0.2/24", "10.9.0.0/16,192.168.1.0/23,192.168.1.0/24,192.168.1.0/24", ""}}},
      {"a removed network takes its items along", [&](NetworkMap& m) { m.erase(b); },
       {{"10.0.0.2/24", "10.9.0.0/16,192.168.1.0/24", ""}}},
  };
  for (const auto& c : cases) {
    set(c.change);
    EXPECT_EQ(notify(), c.expected) << c.what;
  }

  // The DNS server address an apply sets is reported by the same notification.
  block_on(rt_, [&]() -> asio::awaitable<void> {
    auto guard = co_await inner().state_lock.write();
    auto& m = inner().state.config.network;
    m[a].config_url = a.as_str();
    m[a].desired_state = m[a].current_state;
    AgentInner::apply_desired_state(agent_->inner(), a, m);
  }());
  EXPECT_EQ(notify(), (Changes{{"10.0.0.2/24", "10.9.0.0/16,192.168.1.0/24", "10.0.0.254"}}));
}

TEST_F(Housekeeping, WithoutDnsNoServerIsReported) {
  start("[dns]\ndisabled = true\n");
  block_on(rt_, [&]() -> asio::awaitable<void> {
    auto guard = co_await inner().state_lock.write();
    const Url a = *Url::parse("https://a.example/net");
    auto& m = inner().state.config.network;
    m[a].config_url = a.as_str();
    m[a].desired_state.ip.applied = *velarix::network::Ipv4Net::parse("10.0.0.2/24");
    AgentInner::apply_desired_state(agent_->inner(), a, m);
  }());
  block_on(rt_, inner().notify_on_network_change());
  EXPECT_EQ(take_changes(), (std::vector<HostChange>{{"10.0.0.2/24", "", ""}}));
}

// The host puts the applied addresses on the tunnel interface, and the node keeps off them: a
// network over 127.0.0.0/8 (standing in for the overlay) takes the node's 127.0.0.1 binding away
// at the node's next pass. Once the network lies elsewhere the address comes back, but only after
// the host has been told to remove it.
TEST_F(Housekeeping, TheNodeKeepsOffTheTunnelAddresses) {
  velarix::test::ScopedEnv every_address("VELARIX_UDP_ADDRS", "");
  auto& log = LogCapture::get();
  TempDir dir;
  const std::string file = dir.file("net.toml");
  const std::string url = "file://" + file;
  start("[[network]]\nconfig_url = \"" + url + "\"\n");
  const auto on_loopback = [&] {
    const auto bindings = agent_->node()->udp_bindings();
    return std::any_of(bindings->begin(), bindings->end(), [](const auto& b) {
      return !b->is_cancelled() && b->local_addr().address() == asio::ip::make_address("127.0.0.1");
    });
  };
  ASSERT_TRUE(on_loopback()) << "the node binds every address of the host";
  write_text(file, network_doc("Loop", "127.0.0.0/8", {{pk_, "127.0.0.2", "me"}}));
  tick();
  ASSERT_EQ(applied_ip(url), "127.0.0.2/8");
  EXPECT_TRUE(velarix::test::eventually([&] { return !on_loopback(); }));

  write_text(file, network_doc("Loop", "10.77.0.0/24", {{pk_, "10.77.0.2", "me"}}));
  block_on(rt_, AgentInner::housekeeping_network(agent_->inner(), *Url::parse(url), nullptr));
  ASSERT_EQ(applied_ip(url), "10.77.0.2/24");
  if (log.installed()) {
    // Two more passes begin: the first of them began after the network moved, and has ended.
    const auto passes = log.count("trace housekeeping: Start housekeeping");
    ASSERT_TRUE(
        velarix::test::eventually([&] { return log.count("trace housekeeping: Start housekeeping") >= passes + 2; }));
    EXPECT_FALSE(on_loopback()) << "bound before the host removed the address";
  }
  block_on(rt_, inner().notify_on_network_change());
  EXPECT_TRUE(velarix::test::eventually(on_loopback));
}

TEST(HousekeepingRunner, FirstTickReachesTheHostThroughTheCInterface) {
  AgentHarness harness;
  TempDir dir;
  const std::string file = dir.file("net.toml");
  const auto path = harness.write_config("[[network]]\nconfig_url = \"file://" + file + "\"\n");
  RuntimePtr* rt = nullptr;
  AgentConfigPtr* cfg = nullptr;
  AgentPtr* agent = nullptr;
  ASSERT_EQ(velarix_agent_runtime(&rt), 0);
  ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &cfg), 0);
  const auto pk = AgentConfig::load(path)->identity.pk().to_string();
  write_text(file, network_doc("File", "10.42.0.0/24", {{pk, "10.42.0.7", "me"}}, {}));
  take_changes();
  ASSERT_EQ(velarix_agent_start(rt, cfg, path.c_str(), nullptr, on_change, nullptr, &agent), 0);
  // The runner ticks at once after the start.
  std::vector<HostChange> changes;
  EXPECT_TRUE(velarix::test::eventually([&] {
    auto more = take_changes();
    changes.insert(changes.end(), more.begin(), more.end());
    return !changes.empty();
  }));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], (HostChange{"10.42.0.7/24", "", "10.42.0.254"}));
  velarix_agent_shutdown(rt, agent);
  velarix_agent_free(agent);
  velarix_agent_config_free(cfg);
  velarix_agent_runtime_free(rt);
}

TEST_F(Housekeeping, ShutDownDuringATickPutsNothingBack) {
  TempDir dir;
  const std::string file = dir.file("net.toml");
  server_.route("/slow.toml", [this](const RecordedRequest&) {
    return Reply{200, {}, network_doc("Slow", "10.8.0.0/24", {{pk_, "10.8.0.2", "me"}}), std::chrono::milliseconds(500), {}};
  });
  const std::string slow = server_.base_url() + "/slow.toml";
  start("[[network]]\nconfig_url = \"" + slow + "\"\n[[network]]\nconfig_url = \"file://" + file + "\"\n");
  write_text(file, network_doc("File", "10.9.0.0/24", {{pk_, "10.9.0.2", "me"}}));
  tick();  // both applied once
  ASSERT_EQ(applied_ip("file://" + file), "10.9.0.2/24");
  take_changes();

  // Whichever network's step runs first, the shut-down waits for the lock it
  // holds; nothing the tick does after that may bring a network back.
  std::thread ticking([this] { tick(); });
  ASSERT_TRUE(velarix::test::eventually([&] { return server_.request_count() >= 2; }));
  block_on(rt_, agent_->shutdown());
  ticking.join();
  for (const auto& [url, n] : networks()) {
    EXPECT_EQ(n.current_state, velarix::network::AgentState{}) << url.as_str();
  }
  EXPECT_TRUE(inner().tx_trie.load()->empty());
  EXPECT_TRUE(take_changes().empty()) << "the host hears nothing after the shut-down";
  agent_.reset();
}

TEST(ControllerAnswer, BecomesControllerNetworks) {
  auto read = [](const std::vector<ControllerNet>& nets) {
    auto answer = velarix::network::MultiNetworkConfig::from_toml(controller_doc(nets));
    EXPECT_TRUE(answer);
    return controller_networks_from(std::move(*answer));
  };
  const auto me = peer_key(1).to_string();
  // Upper-case ids are named in lower case; a repeated id keeps the later configuration.
  std::string upper = kIdX;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto nets = read({{upper, "First", "10.1.0.0/24", {{me, "10.1.0.1", "a"}}},
                    {kIdY, "Other", "10.2.0.0/24", {}},
                    {kIdX, "Second", "10.3.0.0/24", {}}});
  ASSERT_TRUE(nets) << nets.error().message();
  ASSERT_EQ(nets->size(), 2u);
  const auto& x = nets->at(*Url::parse(kUrlX));
  EXPECT_EQ(x.name, "Second");
  EXPECT_TRUE(nets->contains(*Url::parse(kUrlY)));
  for (const auto& [url, config] : *nets) {
    EXPECT_EQ(url.as_str(), "controller://" + config.id->to_string());
    EXPECT_EQ(url.as_str().size(), 13u + 36u);
  }

  // One configuration without id fails the whole answer.
  auto missing = read({{kIdX, "A", "10.1.0.0/24", {}}, {std::nullopt, "B", "10.2.0.0/24", {}}});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Configuration parse error: Network config missing id");
}

TEST_F(Housekeeping, MetricsReportControllerNetworkProblems) {
  ControllerAnswer metrics;
  server_.route("/api/nodes/me/metrics", [&metrics](const RecordedRequest&) { return metrics.reply(); });
  start("[controller]\nurl = \"" + server_.base_url() + "/api\"\n");
  server_.check_controller("/api/", ControllerChecks{.hmac_key = "secret", .bearer_token = {}, .node_pk = pk_});
  block_on(rt_, [&]() -> asio::awaitable<void> {
    auto guard = co_await inner().state_lock.write();
    auto& m = inner().state.config.network;
    m[*Url::parse(kUrlX)].health = NetworkHealth::pending();
    m[*Url::parse(kUrlY)].health = NetworkHealth::retrieve_config_error("timeout");
    m[*Url::parse("controller://11111111-2222-3333-4444-555555555555")].health = NetworkHealth::ok();
    m[*Url::parse("controller://66666666-7777-4888-9999-000000000000")].health = NetworkHealth::not_a_member_error();
    m[*Url::parse("https://a.example/net")].health = NetworkHealth::not_a_member_error();
  }());
  auto upload = [&] {
    server_.clear();
    auto sent = block_on(rt_, inner().send_metrics(kSecret, "3.1.4"));
    EXPECT_TRUE(sent) << "the upload never fails its caller";
    auto reqs = server_.requests();
    EXPECT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs.at(0).rejected, "");
    return nlohmann::json::parse(reqs.at(0).body);
  };
  metrics.set(200, "");
  auto body = upload();
  // One line per controller network with a problem, in the map's (undefined) order.
  std::set<std::string> lines;
  const std::string logs = body["error_logs"];
  for (std::size_t at = 0; at <= logs.size();) {
    const auto end = std::min(logs.find('\n', at), logs.size());
    lines.insert(logs.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(lines, (std::set<std::string>{"Network " + kUrlX + ": Pending",
                                          "Network " + kUrlY + ": RetrieveConfigError - timeout",
                                          "Network controller://66666666-7777-4888-9999-000000000000: NotAMemberError"}))
      << logs;
  EXPECT_EQ(body["velarix_ui_version"], "3.1.4");

  LogCapture::get().clear();
  metrics.set(500, "");
  upload();
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("warning Metrics upload failed: Internal server error (500)"), 1u);
  }
}

TEST_F(Housekeeping, TicksReadTheFileWithoutRepeatingItsUnknownKeys) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger was installed first";
  ControllerAnswer answer;
  server_.route("/api/nodes/me/networks/config.toml", [&answer](const RecordedRequest&) { return answer.reply(); });
  server_.route("/api/nodes/me/metrics", [](const RecordedRequest&) { return Reply::ok(""); });
  LogCapture::get().clear();
  start("colour = \"red\"\n" + controller_table());
  EXPECT_EQ(LogCapture::get().count("unknown key colour at line 2"), 1u) << "the load before the start";
  answer.set(200, controller_doc({ControllerNet{kIdX, "Home", "10.10.0.0/24", {{pk_, "10.10.0.2", "me"}}}}));

  // The tick reads the file for the host's edits, for the controller's URL and
  // for its save: the start has said it all.
  LogCapture::get().clear();
  tick();
  EXPECT_EQ(saves_->take(), 1);
  EXPECT_EQ(network(kUrlX).health, NetworkHealth::ok());
  EXPECT_EQ(LogCapture::get().count("unknown key"), 0u);
}

TEST_F(Housekeeping, AFailedSaveKeepsTheChangeRunning) {
  start("[[network]]\nconfig_url = \"" + kUrlX + "\"\n");
  // A directory where the file was: every save fails.
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  LogCapture::get().clear();
  tick();
  EXPECT_TRUE(networks().empty()) << "removed in the running agent";
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("Failed to save config after controller network sync: I/O error: "), 1u);
  }
}

// A file deleted while the agent runs is written whole at the agent's next
// save: the identity, the networks and the other keys the agent holds.
TEST_F(Housekeeping, AFileDeletedWhileTheAgentRunsGetsTheWholeRecordAtTheNextSave) {
  const std::string kept = "file:///nowhere/net.toml";
  start("mtu = 1300\n[dns]\ndisabled = false\n[[network]]\nconfig_url = \"" + kUrlX +
        "\"\n[[network]]\nconfig_url = \"" + kept + "\"\nname = \"Kept\"\n");
  const auto before = AgentConfig::load(path_);
  ASSERT_TRUE(before);
  std::filesystem::remove(path_);
  tick();  // no shared secret: the controller network goes, and the agent saves
  auto file = AgentConfig::load(path_);
  ASSERT_TRUE(file) << file.error().message();
  EXPECT_EQ(file->identity, before->identity);
  EXPECT_EQ(file->identity.pk(), inner().own_pk);
  ASSERT_EQ(file->network.size(), 1u);
  EXPECT_EQ(file->network.begin()->second.config_url, kept);
  EXPECT_EQ(file->network.begin()->second.name, "Kept");
  EXPECT_EQ(file->mtu, 1300);
  EXPECT_EQ(file->super_peers, before->super_peers);
  EXPECT_EQ(file->dns, before->dns);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Another process holding the lock of the file's directory for 20 s neither
// stalls the agent nor costs what it holds: a save waits for the lock at most
// kConfigLockPatience, says why it did not save, and the first tick that has
// the lock saves. Status calls, which wait for the state lock the save is made
// under, wait no longer than that.
TEST_F(Housekeeping, AnotherProcessHoldingTheFileLockDelaysStatusCallsOnlyByTheBound) {
  TempDir dir;
  const std::string doc = dir.file("named.toml");
  const std::string url = "file://" + doc;
  start("[[network]]\nconfig_url = \"" + url + "\"\n",
        AgentTimings{.housekeeping_period = std::chrono::milliseconds(500),
                     .controller_timeout = std::chrono::seconds(1)});
  // The other process holds the lock until told to let it go (at most 60 s): a slow run
  // (the sanitizers) must not see it released before the checks of the held lock.
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const std::string directory = std::filesystem::path(path_).parent_path().string();
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(release[1]);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    if (::write(ready[1], "L", 1) != 1) ::_exit(1);
    pollfd told{release[0], POLLIN, 0};
    while (::poll(&told, 1, 60'000) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other process did not take the lock";
  ::close(ready[0]);
  const auto locked_at = Clock::now();
  // The document names the network, the file does not: from the next tick on a save is due.
  LogCapture::get().clear();
  write_text(doc, network_doc("Named", "10.64.0.0/24", {{pk_, "10.64.0.2", "me"}}));

  // The host asks for the status ten times a second.
  Clock::duration longest{};
  int calls = 0;
  for (auto next = Clock::now(); next - locked_at < std::chrono::seconds(18); next += std::chrono::milliseconds(100)) {
    std::this_thread::sleep_until(next);
    const auto began = Clock::now();
    auto status = block_on(rt_, Status::from_agent(*agent_));
    longest = std::max(longest, Clock::now() - began);
    next = std::max(next, Clock::now());
    ++calls;
  }
  EXPECT_EQ(network(url).name, "Named") << "the running agent keeps what it could not save";
  EXPECT_FALSE(AgentConfig::load(path_)->network.begin()->second.name) << "saved while the lock was held";
  ::close(release[1]);
  int exit_status = 0;
  ASSERT_EQ(::waitpid(holder, &exit_status, 0), holder);
  EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0);
  EXPECT_GE(calls, 5);
  EXPECT_LT(longest, kConfigLockPatience + std::chrono::milliseconds(1500))
      << std::chrono::duration_cast<std::chrono::milliseconds>(longest).count() << " ms";
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("warning housekeeping_network{network=" + url +
                                      "}: Failed to save config after housekeeping: I/O error: another writer "
                                      "held the configuration file's lock for 2000 ms; the agent keeps its changes "
                                      "and saves them at a later tick"),
              1u);
    EXPECT_GE(LogCapture::get().count("warning Failed to save config held back by an earlier tick: I/O error: another "
                                      "writer held the configuration file's lock for 2000 ms"),
              3u);
  }

  // The lock is free again: the next tick saves.
  EXPECT_TRUE(velarix::test::eventually(
      [&] {
        auto file = AgentConfig::load(path_);
        return file && file->network.begin()->second.name == "Named";
      },
      std::chrono::seconds(10)));
}

TEST_F(Housekeeping, EditsThroughTheCInterfaceSurviveTheAgentsSavesAndTakeEffectWithinATick) {
  TempDir dir;
  const std::string a = "file://" + dir.file("a.toml");
  const std::string b = "file://" + dir.file("b.toml");
  const std::string c = "file://" + dir.file("c.toml");
  // Renamed at every retrieval, so that the agent saves the file in every tick;
  // `during_step` runs inside that step, after the tick read the file.
  std::mutex hook_mutex;
  std::function<void()> during_step;
  int renames = 0;
  server_.route("/renamed.toml", [&](const RecordedRequest&) {
    std::function<void()> hook;
    {
      std::lock_guard lock(hook_mutex);
      hook = std::exchange(during_step, {});
    }
    if (hook) hook();
    return Reply::ok(network_doc("Renamed " + std::to_string(++renames), "10.60.0.0/24", {{pk_, "10.60.0.2", "me"}}));
  });
  const std::string renamed = server_.base_url() + "/renamed.toml";
  start("[[network]]\nconfig_url = \"" + a + "\"\n[[network]]\nconfig_url = \"" + b + "\"\n[[network]]\nconfig_url = \"" +
        renamed + "\"\n");
  write_text(dir.file("a.toml"), network_doc("A", "10.61.0.0/24", {{pk_, "10.61.0.2", "me"}}));
  write_text(dir.file("b.toml"), network_doc("B", "10.62.0.0/24", {{pk_, "10.62.0.2", "me"}}));
  write_text(dir.file("c.toml"), network_doc("C", "10.63.0.0/24", {{pk_, "10.63.0.2", "me"}}));
  tick();
  ASSERT_EQ(applied_ip(a), "10.61.0.2/24");
  ASSERT_EQ(applied_ip(b), "10.62.0.2/24");
  take_changes();

  using Flags = std::map<std::string, bool>;        // URL -> disabled
  using Running = std::map<std::string, std::string>;  // URL -> applied address
  auto in_file = [this] {
    Flags out;
    auto file = AgentConfig::load(path_);
    EXPECT_TRUE(file) << file.error().message();
    if (file) {
      for (const auto& [url, net] : file->network) out[url.as_str()] = net.disabled;
    }
    return out;
  };
  auto running = [this] {
    Running out;
    for (const auto& [url, net] : networks()) {
      out[url.as_str()] = net.current_state.ip.applied ? net.current_state.ip.applied->to_string() : "None";
    }
    return out;
  };
  const char* p = path_.c_str();
  struct Case {
    const char* what;
    std::function<int()> edit;
    bool during_tick;  // made inside a tick, after the agent read the file: taken up at the next
    int saves;         // saves of the file in that tick: the agent's (names), the editor's made during it
    Flags file;
    Running running;
    std::string host_ips;
  } cases[] = {
      {"added", [&] { return velarix_agent_config_network_add(p, c.c_str()); }, false, 2,
       {{a, false}, {b, false}, {c, false}, {renamed, false}},
       {{a, "10.61.0.2/24"}, {b, "10.62.0.2/24"}, {c, "10.63.0.2/24"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.61.0.2/24,10.62.0.2/24,10.63.0.2/24"},
      {"disabled", [&] { return velarix_agent_config_network_disable(p, b.c_str()); }, false, 1,
       {{a, false}, {b, true}, {c, false}, {renamed, false}},
       {{a, "10.61.0.2/24"}, {b, "None"}, {c, "10.63.0.2/24"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.61.0.2/24,10.63.0.2/24"},
      {"enabled", [&] { return velarix_agent_config_network_enable(p, b.c_str()); }, false, 1,
       {{a, false}, {b, false}, {c, false}, {renamed, false}},
       {{a, "10.61.0.2/24"}, {b, "10.62.0.2/24"}, {c, "10.63.0.2/24"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.61.0.2/24,10.62.0.2/24,10.63.0.2/24"},
      {"removed", [&] { return velarix_agent_config_network_remove(p, a.c_str()); }, false, 1,
       {{b, false}, {c, false}, {renamed, false}},
       {{b, "10.62.0.2/24"}, {c, "10.63.0.2/24"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.62.0.2/24,10.63.0.2/24"},
      {"disabled during a tick", [&] { return velarix_agent_config_network_disable(p, c.c_str()); }, true, 2,
       {{b, false}, {c, true}, {renamed, false}},
       {{b, "10.62.0.2/24"}, {c, "None"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.62.0.2/24"},
      {"added during a tick", [&] { return velarix_agent_config_network_add(p, a.c_str()); }, true, 2,
       {{a, false}, {b, false}, {c, true}, {renamed, false}},
       {{a, "10.61.0.2/24"}, {b, "10.62.0.2/24"}, {c, "None"}, {renamed, "10.60.0.2/24"}},
       "10.60.0.2/24,10.61.0.2/24,10.62.0.2/24"},
  };
  for (const auto& k : cases) {
    std::atomic<int> edited{-100};
    if (k.during_tick) {
      std::lock_guard lock(hook_mutex);
      during_step = [&] { edited = k.edit(); };
    } else {
      edited = k.edit();
    }
    saves_->take();
    const int renames_before = renames;
    tick();
    EXPECT_EQ(edited, 0) << k.what;
    EXPECT_EQ(renames, renames_before + 1) << k.what;
    EXPECT_EQ(saves_->take(), k.saves) << k.what << ": the agent saved its new names";
    EXPECT_EQ(in_file(), k.file) << k.what << ": the edit outlived the agent's save";
    if (k.during_tick) tick();
    EXPECT_EQ(running(), k.running) << k.what;
    auto changes = take_changes();
    ASSERT_FALSE(changes.empty()) << k.what;
    EXPECT_EQ(changes.back().ips, k.host_ips) << k.what;
  }
  EXPECT_EQ(network(c).health, NetworkHealth::disabled());
  EXPECT_EQ(velarix::network::lookup_route(*inner().tx_trie.load(), *velarix::network::Ipv4Addr::parse("10.63.0.9"),
                                           *velarix::network::Ipv4Addr::parse("10.63.0.2")),
            nullptr);

  // A file that cannot be read is neither written over nor taken as an empty list.
  std::string text;
  {
    std::ifstream in(path_);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string broken = text.substr(0, text.size() / 2) + "\n[[network\n";
  write_text(path_, broken);
  LogCapture::get().clear();
  const auto before = running();
  tick();
  {
    std::ifstream in(path_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), broken);
  }
  EXPECT_EQ(running(), before);
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("Failed to read the configuration file, running on the networks the agent has: "
                                      "TOML error: TOML parse error at line "),
              1u);
    EXPECT_EQ(LogCapture::get().count("Failed to save config after housekeeping: I/O error: the file cannot be read "
                                      "(TOML error: TOML parse error at line "),
              1u);
    EXPECT_EQ(LogCapture::get().count("sk = "), 0u) << "no line of the file in the log";
  }
  // Readable again: the name the agent could not save goes in, the edits stay.
  write_text(path_, text);
  tick();
  EXPECT_EQ(in_file(), (Flags{{a, false}, {b, false}, {c, true}, {renamed, false}}));
  EXPECT_EQ(AgentConfig::load(path_)->network.at(*Url::parse(renamed)).name, "Renamed " + std::to_string(renames));
  EXPECT_EQ(running(), before);
}
