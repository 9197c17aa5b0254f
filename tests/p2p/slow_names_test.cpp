// Super-peer host lookups, the node's start-up and housekeeping passes and the TCP link against
// a DNS server on loopback that answers some names and never answers others. Every test runs
// in a network namespace of its own whose resolv.conf names that server (see dns_netns.h).

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "common/dns_netns.h"
#include "common/log_capture.h"
#include "node_test_support.h"
#include "util/net.h"

namespace velarix::test {
namespace {

namespace ip = boost::asio::ip;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 10s) {
  const auto end = Clock::now() + deadline;
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

std::size_t entries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
std::size_t open_fds() { return entries("/proc/self/fd"); }
std::size_t threads() { return entries("/proc/self/task"); }

// The datagrams waiting on `socket`, taken off it.
std::size_t datagrams(ip::udp::socket& socket) {
  std::size_t n = 0;
  std::array<std::uint8_t, 2000> buf{};
  while (::recv(socket.native_handle(), buf.data(), buf.size(), MSG_DONTWAIT) >= 0) ++n;
  return n;
}

ResolvedAddrs at(std::initializer_list<const char*> ips, std::uint16_t port) {
  ResolvedAddrs out;
  for (const char* a : ips) out.emplace_back(ip::make_address(a), port);
  return out;
}

// The lines of the lookup and of housekeeping's use of it.
std::vector<std::string> lookup_lines() {
  std::vector<std::string> out;
  for (auto& l : LogCapture::get().lines()) {
    if (l.find("hostname") != std::string::npos || l.find("resolved super peer addresses") != std::string::npos) {
      out.push_back(std::move(l));
    }
  }
  return out;
}

TEST(SlowNames, AnUnansweredSuperPeerNameCostsOnlyItsOwnLookup) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  LogCapture::get().clear();
  DnsTestServer dns;
  dns.set("slow.test", DnsTestServer::never());
  dns.set("fast.test", DnsTestServer::addresses({"127.0.0.1"}));
  util::Runtime rt{2};

  const auto start = Clock::now();
  auto slow = std::async(std::launch::async, [&] {
    auto r = util::block_on(rt, SuperPeer::lookup_host("slow.test:4000"));
    return std::make_pair(std::move(r), Clock::now() - start);
  });
  ASSERT_TRUE(eventually([&] { return dns.queries("slow.test") > 0; }, 3s)) << "the slow name was never asked for";

  // Meanwhile other names answer at once, one after another and side by side.
  auto fast = [&] {
    const auto t0 = Clock::now();
    auto r = util::block_on(rt, SuperPeer::lookup_host("fast.test:4000"));
    EXPECT_LT(Clock::now() - t0, 1s) << "a fast name waited";
    return r;
  };
  for (int i = 0; i < 3; ++i) {
    auto r = fast();
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(*r, at({"127.0.0.1"}, 4000));
  }
  std::vector<std::future<std::expected<ResolvedAddrs, PeerError>>> side_by_side;
  for (int i = 0; i < 4; ++i) side_by_side.push_back(std::async(std::launch::async, fast));
  for (auto& f : side_by_side) EXPECT_TRUE(f.get());
  EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout) << "the slow lookup ended early";

  // The slow one gives up at its limit, not when the server would have answered.
  auto [result, took] = slow.get();
  ASSERT_FALSE(result);
  ASSERT_EQ(result.error().kind(), PeerError::Kind::SuperPeerResolveTimeout);
  EXPECT_EQ(result.error().get<PeerError::SuperPeerResolveTimeout>()->address, "slow.test:4000");
  EXPECT_EQ(result.error().get<PeerError::SuperPeerResolveTimeout>()->timeout_ms, 5000u);
  EXPECT_GE(took, 5s);
  EXPECT_LT(took, 6s);
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count(
                  "warning Timeout of 5000 ms exceeded while attempting to resolve hostname slow.test:4000"),
              1u);
  }
  // And after it, at once as well.
  EXPECT_TRUE(fast());
}

TEST(SlowNames, AbandonedLookupsLeaveNothingBehindAndDoNotHoldShutDown) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  DnsTestServer dns;
  for (int i = 0; i < 8; ++i) dns.set("slow" + std::to_string(i) + ".test", DnsTestServer::never());
  dns.set("slow.test", DnsTestServer::never());
  dns.set("fast.test", DnsTestServer::addresses({"127.0.0.1"}));
  util::Runtime rt{2};
  ASSERT_TRUE(util::block_on(rt, SuperPeer::lookup_host("fast.test:1")));
  const auto fds = open_fds();
  const auto tasks = threads();

  // Eight unanswered names at once, each with a short limit: they give up together.
  const auto start = Clock::now();
  std::vector<std::future<std::expected<ResolvedAddrs, PeerError>>> pending;
  for (int i = 0; i < 8; ++i) {
    pending.push_back(std::async(std::launch::async, [&rt, i] {
      return util::block_on(rt, SuperPeer::lookup_host("slow" + std::to_string(i) + ".test:1", 300ms));
    }));
  }
  for (auto& f : pending) {
    auto r = f.get();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), PeerError::Kind::SuperPeerResolveTimeout);
  }
  EXPECT_LT(Clock::now() - start, 1500ms);
  EXPECT_EQ(open_fds(), fds) << "sockets of abandoned lookups stayed open";
  EXPECT_EQ(threads(), tasks) << "threads of abandoned lookups stayed";

  // A runtime freed while a lookup waits for its answer ends at once, and takes it along.
  {
    auto other = std::make_unique<util::Runtime>(2);
    other->spawn(util::with_captures([]() -> boost::asio::awaitable<void> {
      (void)co_await SuperPeer::lookup_host("slow.test:1");
    }));
    ASSERT_TRUE(eventually([&] { return dns.queries("slow.test") > 0; }, 3s));
    const auto t0 = Clock::now();
    other.reset();
    EXPECT_LT(Clock::now() - t0, 1s) << "freeing the runtime waited for the lookup";
  }
  EXPECT_EQ(open_fds(), fds);
}

TEST(SlowNames, LookupResultsAndLogLines) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  LogCapture::get();
  DnsTestServer dns;
  dns.set("fast.test", DnsTestServer::addresses({"127.0.0.1"}));
  dns.set("both.test", DnsTestServer::addresses({"127.0.0.2", "::1"}));
  dns.set("empty.test", DnsTestServer::cname_only());
  dns.set("slow.test", DnsTestServer::never());
  util::Runtime rt{2};
  struct Case {
    std::string addr;
    std::chrono::milliseconds limit;
    std::optional<PeerError::Kind> error;  // none: success
    std::string reason;                    // of SuperPeerLookupFailed
    ResolvedAddrs found;
    std::vector<std::string> lines;
    std::size_t queries;  // questions the server got
  };
  const std::vector<Case> cases = {
      {"fast.test:4000", 5000ms, std::nullopt, "", at({"127.0.0.1"}, 4000),
       {"trace Resolve hostname fast.test:4000", "trace Resolved hostname fast.test:4000 to [127.0.0.1:4000]"}, 2},
      {"both.test:4000", 5000ms, std::nullopt, "", at({"127.0.0.2", "::1"}, 4000),
       {"trace Resolve hostname both.test:4000"}, 2},
      {"127.0.0.1:4000", 5000ms, std::nullopt, "", at({"127.0.0.1"}, 4000),
       {"trace Resolve hostname 127.0.0.1:4000", "trace Resolved hostname 127.0.0.1:4000 to [127.0.0.1:4000]"}, 0},
      {"[::1]:4000", 5000ms, std::nullopt, "", at({"::1"}, 4000),
       {"trace Resolve hostname [::1]:4000", "trace Resolved hostname [::1]:4000 to [[::1]:4000]"}, 0},
      {"localhost:4000", 5000ms, std::nullopt, "", {}, {"trace Resolve hostname localhost:4000"}, 0},
      {"empty.test:4000", 5000ms, PeerError::Kind::SuperPeerResolveEmpty, "", {},
       {"trace Resolve hostname empty.test:4000", "trace Resolved hostname empty.test:4000 to []"}, 2},
      {"nx.test:4000", 5000ms, PeerError::Kind::SuperPeerLookupFailed, "Host not found (authoritative)", {},
       {"trace Resolve hostname nx.test:4000",
        "warning Failed to resolve hostname nx.test:4000: Host not found (authoritative)"},
       2},
      {"nx.test", 5000ms, PeerError::Kind::SuperPeerLookupFailed, "invalid socket address", {},
       {"trace Resolve hostname nx.test", "warning Failed to resolve hostname nx.test: invalid socket address"}, 0},
      {"slow.test:4000", 300ms, PeerError::Kind::SuperPeerResolveTimeout, "", {},
       {"trace Resolve hostname slow.test:4000",
        "warning Timeout of 300 ms exceeded while attempting to resolve hostname slow.test:4000"},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    LogCapture::get().clear();
    const auto asked = dns.total_queries();
    auto r = util::block_on(rt, SuperPeer::lookup_host(c.addr, c.limit));
    if (!c.error) {
      ASSERT_TRUE(r) << r.error().message();
      if (!c.found.empty()) {
        auto sorted = *r;
        auto want = c.found;
        std::sort(sorted.begin(), sorted.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(sorted, want) << "both families, every address";
      } else {
        EXPECT_FALSE(r->empty());
        for (const auto& ep : *r) EXPECT_TRUE(ep.address().is_loopback());
      }
    } else {
      ASSERT_FALSE(r);
      ASSERT_EQ(r.error().kind(), *c.error) << r.error().message();
      if (auto* failed = r.error().get<PeerError::SuperPeerLookupFailed>()) {
        EXPECT_EQ(failed->address, c.addr);
        EXPECT_EQ(failed->reason, c.reason);
      }
      if (auto* late = r.error().get<PeerError::SuperPeerResolveTimeout>()) {
        EXPECT_EQ(late->address, c.addr);
        EXPECT_EQ(late->timeout_ms, static_cast<std::uint64_t>(c.limit.count()));
      }
    }
    if (c.queries == 0) {
      EXPECT_EQ(dns.total_queries(), asked) << "a literal or a name of the hosts file needs no query";
    } else {
      EXPECT_GE(dns.total_queries(), asked + 1);
    }
    if (!LogCapture::get().installed()) continue;
    auto lines = lookup_lines();
    if (c.addr == "both.test:4000" || c.addr == "localhost:4000") {
      // The order of the families is the system's; one line lists them.
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_TRUE(lines[1].starts_with("trace Resolved hostname " + c.addr + " to [")) << lines[1];
      lines.pop_back();
    }
    EXPECT_EQ(lines, c.lines);
  }
}

// One super peer named by "sp.test", whose answers change between passes; a socket on every
// loopback address takes its HELLOs.
TEST(SlowNames, HousekeepingKeepsTheAddressesOfAFailedLookupAndTakesNewOnes) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  LogCapture::get();
  DnsTestServer dns;
  dns.set("sp.test", DnsTestServer::addresses({"127.0.0.1"}));
  util::Runtime rt{2};
  boost::asio::io_context io;
  ip::udp::socket socket{io, ip::udp::endpoint(ip::address_v4::any(), 0)};
  const auto port = socket.local_endpoint().port();
  const std::string addr = "sp.test:" + std::to_string(port);
  const Identity sp = make_identity();
  auto inner = create_inner(rt, loopback_opts(make_identity(), {super_peer_url(sp.pk(), addr, 1)}, false,
                                              std::make_shared<RecordingSink>()));
  auto super_peer = inner->peers_list().super_peer(sp.pk());
  ASSERT_EQ(super_peer->resolved_addrs(), at({"127.0.0.1"}, port));

  auto hellos = [&] { return datagrams(socket); };
  auto pass = [&] {
    return util::block_on(rt, inner->super_peer_housekeeping(sp.pk(), super_peer, NodeInner::current_time(),
                                                             {ip::make_address("127.0.0.1")}, {}));
  };
  const std::string warn = "warning super_peer{pk=" + sp.pk().to_string() +
                           "}: Failed to update resolved super peer addresses for super peer " + addr + ": ";
  struct Step {
    const char* what;
    DnsTestServer::Answer answer;
    ResolvedAddrs after;
    std::string warned;  // the peer error's text, or none
  };
  const std::vector<Step> steps = {
      {"a failed lookup keeps the addresses", DnsTestServer::nxdomain(), at({"127.0.0.1"}, port),
       "Failed to resolve super peer address " + addr + ": Host not found (authoritative)"},
      {"an empty answer keeps them too", DnsTestServer::cname_only(), at({"127.0.0.1"}, port),
       "Super peer address resolved to no addresses"},
      {"new addresses are taken", DnsTestServer::addresses({"127.0.0.2"}), at({"127.0.0.2"}, port), ""},
      {"and the next failure keeps those", DnsTestServer::nxdomain(), at({"127.0.0.2"}, port),
       "Failed to resolve super peer address " + addr + ": Host not found (authoritative)"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    dns.set("sp.test", s.answer);
    hellos();
    LogCapture::get().clear();
    ASSERT_TRUE(pass());
    EXPECT_EQ(super_peer->resolved_addrs(), s.after);
    const auto local = inner->udp_bindings()->front()->local_addr();
    EXPECT_TRUE(super_peer->udp_paths().contains(PeerPathKey{local, s.after[0]}));
    EXPECT_GE(hellos(), 1u) << "HELLOs go out on the paths of the addresses kept";
    if (!LogCapture::get().installed()) continue;
    EXPECT_EQ(LogCapture::get().count(warn), s.warned.empty() ? 0u : 1u);
    if (!s.warned.empty()) {
      EXPECT_EQ(LogCapture::get().count(warn + s.warned), 1u);
    }
  }
}

// Two super peers, the first of the pass named by a name that is never answered, the other by
// its address: start-up and a pass wait for the name no longer than its limit, and the other
// gets its HELLO at once.
TEST(SlowNames, StartUpAndHousekeepingDoNotWaitForASlowSuperPeerName) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  LogCapture::get().clear();
  DnsTestServer dns;
  dns.set("slow.test", DnsTestServer::never());
  dns.set("slow2.test", DnsTestServer::never());
  util::Runtime rt{2};
  boost::asio::io_context io;
  ip::udp::socket socket{io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)};
  const std::string by_address = util::net::to_string(socket.local_endpoint());
  const Identity a = make_identity();
  const Identity b = make_identity();
  const Identity c = make_identity();

  // Start-up: two unanswered names and an address, looked up side by side.
  const auto t0 = Clock::now();
  auto inner = create_inner(rt, loopback_opts(make_identity(),
                                              {super_peer_url(a.pk(), "slow.test:4000", 1),
                                               super_peer_url(b.pk(), by_address, 1),
                                               super_peer_url(c.pk(), "slow2.test:4000", 1)},
                                              false, std::make_shared<RecordingSink>()));
  const auto took = Clock::now() - t0;
  EXPECT_GE(took, 5s);
  EXPECT_LT(took, 6s) << "start-up waited for one name after the other";
  EXPECT_FALSE(inner->peers_list().super_peer(a.pk())->resolved_addrs());
  EXPECT_TRUE(inner->peers_list().super_peer(b.pk())->resolved_addrs());

  // A pass visits the slow super peers and the other side by side, whatever their order.
  auto hellos = [&] { return datagrams(socket); };
  hellos();
  LogCapture::get().clear();
  const auto p0 = Clock::now();
  auto pass = std::async(std::launch::async, [&] { return util::block_on(rt, inner->housekeeping()); });
  std::size_t got = 0;
  EXPECT_TRUE(eventually([&] { return (got += hellos()) > 0; }, 1500ms))
      << "the super peer given by address got no HELLO while the names were looked up";
  EXPECT_EQ(pass.wait_for(0s), std::future_status::timeout);
  auto r = pass.get();
  EXPECT_TRUE(r) << r.error().message();
  EXPECT_LT(Clock::now() - p0, 6s) << "the pass waited for one name after the other";
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count(
                  "Failed to update resolved super peer addresses for super peer slow.test:4000: Timeout of 5000 ms"),
              1u);
    EXPECT_EQ(LogCapture::get().count(
                  "Failed to update resolved super peer addresses for super peer slow2.test:4000: Timeout of 5000 ms"),
              1u);
  }
}

// The TCP link to a super peer named by a host name: a name that answers is connected to, and
// a link cancelled while its name is looked up ends at once.
TEST(SlowNames, TcpLinkLooksItsNameUpAndEndsWhenCancelledMeanwhile) {
  VELARIX_RUN_IN_DNS_NAMESPACE();
  DnsTestServer dns;
  dns.set("fast.test", DnsTestServer::addresses({"127.0.0.1"}));
  dns.set("slow.test", DnsTestServer::never());
  util::Runtime rt{3};
  boost::asio::io_context io;
  ip::tcp::acceptor acceptor{io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0)};
  const auto port = std::to_string(acceptor.local_endpoint().port());
  const Identity self = make_identity();
  const Identity fast = make_identity();
  const Identity slow = make_identity();
  // The slow one starts by address (so that start-up does not wait); its connector gets the name.
  auto inner = create_inner(rt, loopback_opts(self,
                                              {super_peer_url(fast.pk(), "fast.test:" + port, 1),
                                               super_peer_url(slow.pk(), "127.0.0.1:" + port, 1)},
                                              false, std::make_shared<RecordingSink>()));
  auto connect = [&](const Identity& sp, const std::string& addr) {
    auto super_peer = inner->peers_list().super_peer(sp.pk());
    auto conn = super_peer->new_tcp_path(inner->token());
    util::spawn_detached(inner->executor(), NodeInner::tcp_connector(inner, sp.pk(), addr, conn,
                                                                     NodeInner::current_time(), MessageKey()));
    return std::make_pair(super_peer, conn);
  };

  auto [fast_sp, fast_conn] = connect(fast, "fast.test:" + port);
  ip::tcp::socket accepted = acceptor.accept();
  EXPECT_TRUE(eventually([&] { return fast_conn->writer() != nullptr; }, 5s)) << "the link by name did not come up";

  auto [slow_sp, slow_conn] = connect(slow, "slow.test:" + port);
  ASSERT_TRUE(eventually([&] { return dns.queries("slow.test") > 0; }, 3s));
  const auto t0 = Clock::now();
  slow_conn->cancel_connection();
  EXPECT_TRUE(eventually([&] { return slow_sp->tcp_connection() == nullptr; }, 3s))
      << "the connector went on waiting for the name";
  EXPECT_LT(Clock::now() - t0, 1s);
}

}  // namespace
}  // namespace velarix::test
