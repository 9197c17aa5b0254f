// The host program's Linux layer: TUN interface creation, rtnetlink
// requests and the interface configuration that follows network changes.
// The kernel-facing cases run in a network namespace of their own, made for
// the test thread and gone with it, so nothing touches the machine's
// interfaces.

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "host/interface_config.h"
#include "host/netlink.h"
#include "host/tun.h"

namespace velarix::host {
namespace {

Ipv4Prefix P(const char* text) {
  auto p = parse_prefix(text);
  if (!p) ADD_FAILURE() << "bad prefix in test: " << text;
  return p.value_or(Ipv4Prefix{});
}

// Why the kernel cases cannot run here, or nothing when they can.
std::optional<std::string> kernel_cases_unavailable() {
  if (::geteuid() != 0) return "needs root (network namespaces, TUN interfaces)";
  if (::access("/dev/net/tun", F_OK) != 0) return "needs /dev/net/tun";
  return std::nullopt;
}

// Runs `body` on a thread that lives in a new network namespace; the namespace
// goes away with the thread and the descriptors it opened.
void in_new_netns(const std::function<void()>& body) {
  std::string error;
  std::thread t([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      error = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    body();
  });
  t.join();
  if (!error.empty()) GTEST_SKIP() << error;
}

#define SKIP_WITHOUT_KERNEL_CASES()                          \
  do {                                                       \
    if (auto why = kernel_cases_unavailable()) GTEST_SKIP() << *why; \
  } while (0)

bool has_route(const std::vector<RouteEntry>& routes, const char* dest, std::uint8_t protocol) {
  const Ipv4Prefix d = P(dest);
  return std::any_of(routes.begin(), routes.end(),
                     [&](const RouteEntry& r) { return r.dest == d && r.protocol == protocol; });
}

TEST(HostPrefixTest, ParsesOnlyAddressSlashLength) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t addr;
    int len;
  };
  const Case cases[] = {
      {"198.19.0.1/24", true, 0xC6130001, 24},
      {"0.0.0.0/0", true, 0, 0},
      {"255.255.255.255/32", true, 0xFFFFFFFF, 32},
      {"198.19.0.1", false, 0, 0},
      {"198.19.0.1/", false, 0, 0},
      {"/24", false, 0, 0},
      {"198.19.0.1/33", false, 0, 0},
      {"198.19.0.1/2x", false, 0, 0},
      {"198.19.0.1/-1", false, 0, 0},
      {" 198.19.0.1/24", false, 0, 0},
      {"198.19.0/24", false, 0, 0},
      {"198.19.0.256/24", false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto p = parse_prefix(c.text);
    ASSERT_EQ(p.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(p->addr, c.addr);
    EXPECT_EQ(p->len, c.len);
    EXPECT_EQ(to_string(*p), c.text);
  }
  EXPECT_EQ(network_of(P("198.19.9.7/22")), P("198.19.8.0/22"));
  EXPECT_EQ(network_of(P("198.19.9.7/0")), P("0.0.0.0/0"));
}

TEST(HostPrefixTest, ListsAsTheAgentWritesThem) {
  std::vector<std::string> bad;
  EXPECT_TRUE(parse_prefix_list("", &bad).empty());
  EXPECT_EQ(parse_prefix_list("198.19.0.1/24,198.19.1.1/16,198.19.0.1/24", &bad),
            (std::set<Ipv4Prefix>{P("198.19.0.1/24"), P("198.19.1.1/16")}));
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(parse_prefix_list("198.19.0.1/24,,nonsense", &bad), (std::set<Ipv4Prefix>{P("198.19.0.1/24")}));
  EXPECT_EQ(bad, (std::vector<std::string>{"", "nonsense"}));
}

TEST(HostTunTest, RefusesBadNamesAndAMissingDevice) {
  struct Case {
    const char* name;
    const char* device;
    TunError::Kind kind;
  };
  const Case cases[] = {
      {"", "/dev/net/tun", TunError::Kind::NameInvalid},
      {"sixteen-chars-xx", "/dev/net/tun", TunError::Kind::NameInvalid},
      {"a/b", "/dev/net/tun", TunError::Kind::NameInvalid},
      {"lo", "/dev/net/tun", TunError::Kind::NameInUse},
      {"vxnotthere0", "/nonexistent/net/tun", TunError::Kind::NoTunDevice},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = create_tun(c.name, c.device);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().kind, c.kind) << t.error().message;
    EXPECT_EQ(t.error().message.find('\n'), std::string::npos);
  }
}

TEST(HostTunTest, WithoutAdminRightsSaysSo) {
  if (::geteuid() == 0) GTEST_SKIP() << "runs only without root";
  if (::access("/dev/net/tun", F_OK) != 0) GTEST_SKIP() << "needs /dev/net/tun";
  auto t = create_tun("vxtest0");
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().kind, TunError::Kind::NoPermission) << t.error().message;
  EXPECT_NE(t.error().message.find("CAP_NET_ADMIN"), std::string::npos);
}

TEST(HostNetlinkTest, CreatesTheInterfaceWithMtuAndState) {
  SKIP_WITHOUT_KERNEL_CASES();
  in_new_netns([] {
    auto tun = create_tun("vx0");
    ASSERT_TRUE(tun.has_value()) << tun.error().message;
    auto nl = Netlink::open();
    ASSERT_TRUE(nl.has_value()) << nl.error().message();

    auto before = nl->link_state(tun->ifindex);
    ASSERT_TRUE(before.has_value()) << before.error().message();
    EXPECT_FALSE(before->up);
    ASSERT_TRUE(nl->set_mtu(tun->ifindex, 1073).has_value());
    ASSERT_TRUE(nl->set_up(tun->ifindex).has_value());
    auto after = nl->link_state(tun->ifindex);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->mtu, 1073u);
    EXPECT_TRUE(after->up);

    // The name is taken now, by a TUN interface as well.
    auto again = create_tun("vx0");
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().kind, TunError::Kind::NameInUse);

    EXPECT_FALSE(nl->set_mtu(tun->ifindex, 20).has_value()) << "below the IPv4 minimum";
    EXPECT_FALSE(nl->link_state(tun->ifindex + 1000).has_value());

    // Closing the descriptor takes the interface away.
    ::close(tun->fd);
    EXPECT_FALSE(nl->link_state(tun->ifindex).has_value());
  });
}

TEST(HostNetlinkTest, AddsAndRemovesAddressesAndRoutesIdempotently) {
  SKIP_WITHOUT_KERNEL_CASES();
  in_new_netns([] {
    auto tun = create_tun("vx0");
    ASSERT_TRUE(tun.has_value()) << tun.error().message;
    auto nl = Netlink::open();
    ASSERT_TRUE(nl.has_value());
    const int ix = tun->ifindex;
    ASSERT_TRUE(nl->set_up(ix).has_value());

    EXPECT_EQ(nl->add_address(ix, P("198.19.0.1/24")), true);
    EXPECT_EQ(nl->add_address(ix, P("198.19.0.1/24")), false);
    EXPECT_EQ(nl->addresses(ix), (std::vector<Ipv4Prefix>{P("198.19.0.1/24")}));
    auto routes = nl->routes(ix);
    ASSERT_TRUE(routes.has_value());
    EXPECT_TRUE(has_route(*routes, "198.19.0.0/24", 2 /* RTPROT_KERNEL */)) << "the address's subnet";

    // Host bits of a route's destination are dropped, as the kernel keeps it.
    EXPECT_EQ(nl->add_route(ix, P("198.19.9.7/22")), true);
    EXPECT_EQ(nl->add_route(ix, P("198.19.8.0/22")), false);
    EXPECT_EQ(nl->add_route(ix, P("0.0.0.0/0")), true);
    routes = nl->routes(ix);
    ASSERT_TRUE(routes.has_value());
    EXPECT_TRUE(has_route(*routes, "198.19.8.0/22", Netlink::kRouteProtocol));
    EXPECT_TRUE(has_route(*routes, "0.0.0.0/0", Netlink::kRouteProtocol));

    EXPECT_EQ(nl->remove_route(ix, P("198.19.8.0/22")), true);
    EXPECT_EQ(nl->remove_route(ix, P("198.19.8.0/22")), false);
    EXPECT_EQ(nl->remove_route(ix, P("0.0.0.0/0")), true);
    // Only routes of our own protocol are ever removed: not the subnet's.
    EXPECT_EQ(nl->remove_route(ix, P("198.19.0.0/24")), false);
    EXPECT_EQ(nl->remove_address(ix, P("198.19.0.1/24")), true);
    EXPECT_EQ(nl->remove_address(ix, P("198.19.0.1/24")), false);
    EXPECT_EQ(nl->addresses(ix), std::vector<Ipv4Prefix>{});
    EXPECT_EQ(nl->routes(ix), std::vector<RouteEntry>{});

    // Removing from an interface that is gone is not an error either.
    ::close(tun->fd);
    EXPECT_EQ(nl->remove_address(ix, P("198.19.0.1/24")), false);
    EXPECT_EQ(nl->remove_route(ix, P("198.19.8.0/22")), false);
    EXPECT_FALSE(nl->add_address(ix, P("198.19.0.1/24")).has_value());
  });
}

TEST(HostNetlinkTest, InterfaceConfigFollowsChangesAndCleansUp) {
  SKIP_WITHOUT_KERNEL_CASES();
  in_new_netns([] {
    auto tun = create_tun("vx0");
    ASSERT_TRUE(tun.has_value()) << tun.error().message;
    const int ix = tun->ifindex;
    auto admin = Netlink::open();
    ASSERT_TRUE(admin.has_value());
    ASSERT_TRUE(admin->set_up(ix).has_value());
    // Someone else's address and route on the interface, before the agent's
    // changes. (The kernel drops every route of an interface that loses its
    // last address, so the foreign address keeps the foreign route alive.)
    ASSERT_EQ(admin->add_address(ix, P("198.19.30.1/24")), true);
    ASSERT_EQ(admin->add_route(ix, P("198.19.20.0/24")), true);

    auto nl = Netlink::open();
    ASSERT_TRUE(nl.has_value());
    InterfaceConfig config(std::move(*nl), ix);
    auto kernel_routes = [&] {
      std::set<Ipv4Prefix> out;
      for (const auto& r : admin->routes(ix).value_or(std::vector<RouteEntry>{}))
        if (r.protocol == Netlink::kRouteProtocol) out.insert(r.dest);
      return out;
    };
    auto kernel_addresses = [&] {
      auto v = admin->addresses(ix).value_or(std::vector<Ipv4Prefix>{});
      return std::set<Ipv4Prefix>(v.begin(), v.end());
    };

    EXPECT_TRUE(
        config.apply("198.19.0.1/24,198.19.30.1/24", "198.19.8.0/22,198.19.12.0/24,198.19.20.0/24").empty());
    EXPECT_EQ(kernel_addresses(), (std::set<Ipv4Prefix>{P("198.19.0.1/24"), P("198.19.30.1/24")}));
    EXPECT_EQ(kernel_routes(),
              (std::set<Ipv4Prefix>{P("198.19.8.0/22"), P("198.19.12.0/24"), P("198.19.20.0/24")}));

    // A second network joins, one route goes, the foreign route leaves the list.
    EXPECT_TRUE(config.apply("198.19.0.1/24,198.19.1.1/24", "198.19.12.0/24").empty());
    EXPECT_EQ(kernel_addresses(),
              (std::set<Ipv4Prefix>{P("198.19.0.1/24"), P("198.19.1.1/24"), P("198.19.30.1/24")}))
        << "an address that was there before is never removed";
    EXPECT_EQ(kernel_routes(), (std::set<Ipv4Prefix>{P("198.19.12.0/24"), P("198.19.20.0/24")}))
        << "a route that was there before is never removed";

    // An item that does not parse is reported; the rest is applied.
    auto errors = config.apply("198.19.1.1/24,bogus", "198.19.12.0/24");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("bogus"), std::string::npos);
    EXPECT_EQ(kernel_addresses(), (std::set<Ipv4Prefix>{P("198.19.1.1/24"), P("198.19.30.1/24")}));

    // Leaving: everything the agent brought goes, the rest stays.
    EXPECT_TRUE(config.clear().empty());
    EXPECT_EQ(kernel_addresses(), (std::set<Ipv4Prefix>{P("198.19.30.1/24")}));
    EXPECT_EQ(kernel_routes(), (std::set<Ipv4Prefix>{P("198.19.20.0/24")}));
    EXPECT_TRUE(config.clear().empty());
    EXPECT_TRUE(config.apply("198.19.0.1/24", "").empty());
    EXPECT_EQ(kernel_addresses(), (std::set<Ipv4Prefix>{P("198.19.30.1/24")})) << "no change is applied after clear";
    ::close(tun->fd);
  });
}

}  // namespace
}  // namespace velarix::host
