#include "host/netlink.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

namespace velarix::host {

namespace {

std::error_code errno_code(int e) { return {e, std::system_category()}; }

// One netlink request: header, fixed body, attributes, each 4-byte aligned.
class Request {
 public:
  Request(std::uint16_t type, std::uint16_t flags) {
    bytes_.resize(NLMSG_HDRLEN);
    header()->nlmsg_type = type;
    header()->nlmsg_flags = flags;
  }

  template <class Body>
  Body* body() {
    const std::size_t at = bytes_.size();
    bytes_.resize(NLMSG_ALIGN(at + sizeof(Body)));
    return reinterpret_cast<Body*>(bytes_.data() + at);
  }

  void attr(std::uint16_t type, const void* data, std::size_t len) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + RTA_SPACE(len));
    auto* rta = reinterpret_cast<rtattr*>(bytes_.data() + at);
    rta->rta_type = type;
    rta->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(len));
    std::memcpy(RTA_DATA(rta), data, len);
  }
  void attr_u32(std::uint16_t type, std::uint32_t v) { attr(type, &v, sizeof v); }
  void attr_ipv4(std::uint16_t type, std::uint32_t host_order) {
    const std::uint32_t be = htonl(host_order);
    attr(type, &be, sizeof be);
  }

  std::span<std::uint8_t> finish() {
    header()->nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
    return bytes_;
  }

 private:
  nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(bytes_.data()); }
  std::vector<std::uint8_t> bytes_;
};

// Walks the attributes that follow a fixed body of `body_len` bytes.
template <class F>
void for_each_attr(const nlmsghdr* h, std::size_t body_len, F&& each) {
  if (h->nlmsg_len < NLMSG_LENGTH(body_len)) return;
  auto* rta = reinterpret_cast<const rtattr*>(reinterpret_cast<const std::uint8_t*>(NLMSG_DATA(h)) +
                                              NLMSG_ALIGN(body_len));
  int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(NLMSG_ALIGN(body_len)));
  for (; RTA_OK(rta, len); rta = RTA_NEXT(rta, len)) each(rta);
}

std::optional<std::uint32_t> attr_u32(const rtattr* rta) {
  if (RTA_PAYLOAD(rta) < sizeof(std::uint32_t)) return std::nullopt;
  std::uint32_t v;
  std::memcpy(&v, RTA_DATA(rta), sizeof v);
  return v;
}

std::optional<std::uint32_t> attr_ipv4(const rtattr* rta) {
  auto v = attr_u32(rta);
  if (!v) return std::nullopt;
  return ntohl(*v);
}

std::uint32_t mask_of(std::uint8_t len) { return len == 0 ? 0 : ~std::uint32_t{0} << (32 - len); }

}  // namespace

std::optional<Ipv4Prefix> parse_prefix(std::string_view text) {
  const auto slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string addr_text(text.substr(0, slash));
  in_addr a{};
  if (::inet_pton(AF_INET, addr_text.c_str(), &a) != 1) return std::nullopt;
  const auto len_text = text.substr(slash + 1);
  unsigned len = 0;
  auto [end, ec] = std::from_chars(len_text.data(), len_text.data() + len_text.size(), len);
  if (len_text.empty() || ec != std::errc() || end != len_text.data() + len_text.size() || len > 32)
    return std::nullopt;
  return Ipv4Prefix{ntohl(a.s_addr), static_cast<std::uint8_t>(len)};
}

std::string to_string(const Ipv4Prefix& p) {
  in_addr a{htonl(p.addr)};
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return std::string(buf) + "/" + std::to_string(p.len);
}

Ipv4Prefix network_of(const Ipv4Prefix& p) { return {p.addr & mask_of(p.len), p.len}; }

std::expected<Netlink, std::error_code> Netlink::open() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return std::unexpected(errno_code(errno));
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  // A kernel that never answers must not hang the caller.
  timeval timeout{.tv_sec = 5, .tv_usec = 0};
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
    const int e = errno;
    ::close(fd);
    return std::unexpected(errno_code(e));
  }
  Netlink nl(fd);
  nl.buffer_.resize(64 * 1024);
  return nl;
}

Netlink::Netlink(Netlink&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), seq_(other.seq_), buffer_(std::move(other.buffer_)) {}

Netlink& Netlink::operator=(Netlink&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    seq_ = other.seq_;
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

Netlink::~Netlink() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, std::error_code> Netlink::send(std::span<std::uint8_t> message) {
  auto* h = reinterpret_cast<nlmsghdr*>(message.data());
  h->nlmsg_seq = ++seq_;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    const ssize_t n =
        ::sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    if (n >= 0) return {};
    if (errno != EINTR) return std::unexpected(errno_code(errno));
  }
}

// Reads answers to the last request until its acknowledgement or the end of
// its dump; answers to earlier requests (late after a time-out) are skipped.
template <class F>
std::expected<void, std::error_code> Netlink::dump(std::span<std::uint8_t> message, F&& each) {
  if (auto sent = send(message); !sent) return sent;
  const std::uint32_t seq = seq_;
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(std::make_error_code(std::errc::timed_out));
      return std::unexpected(errno_code(errno));
    }
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return {};
      if (h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return std::unexpected(errno_code(EPROTO));
        const auto* err = reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(h));
        if (err->error == 0) return {};
        return std::unexpected(errno_code(-err->error));
      }
      each(h);
    }
  }
}

std::expected<void, std::error_code> Netlink::transact(std::span<std::uint8_t> message) {
  return dump(message, [](const nlmsghdr*) {});
}

std::expected<void, std::error_code> Netlink::set_mtu(int ifindex, std::uint32_t mtu) {
  Request r(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK);
  auto* ifi = r.body<ifinfomsg>();
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = ifindex;
  r.attr_u32(IFLA_MTU, mtu);
  return transact(r.finish());
}

std::expected<void, std::error_code> Netlink::set_up(int ifindex) {
  Request r(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK);
  auto* ifi = r.body<ifinfomsg>();
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = ifindex;
  ifi->ifi_flags = IFF_UP;
  ifi->ifi_change = IFF_UP;
  return transact(r.finish());
}

std::expected<LinkState, std::error_code> Netlink::link_state(int ifindex) {
  Request r(RTM_GETLINK, NLM_F_REQUEST | NLM_F_ACK);
  auto* ifi = r.body<ifinfomsg>();
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = ifindex;
  std::optional<LinkState> state;
  auto done = dump(r.finish(), [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto* info = reinterpret_cast<const ifinfomsg*>(NLMSG_DATA(h));
    if (info->ifi_index != ifindex) return;
    LinkState s;
    s.up = (info->ifi_flags & IFF_UP) != 0;
    for_each_attr(h, sizeof(ifinfomsg), [&](const rtattr* rta) {
      if (rta->rta_type == IFLA_MTU) s.mtu = attr_u32(rta).value_or(0);
    });
    state = s;
  });
  if (!done) return std::unexpected(done.error());
  if (!state) return std::unexpected(errno_code(ENODEV));
  return *state;
}

namespace {

Request address_request(std::uint16_t type, std::uint16_t flags, int ifindex, const Ipv4Prefix& a) {
  Request r(type, flags);
  auto* ifa = r.body<ifaddrmsg>();
  ifa->ifa_family = AF_INET;
  ifa->ifa_prefixlen = a.len;
  ifa->ifa_scope = RT_SCOPE_UNIVERSE;
  ifa->ifa_index = static_cast<std::uint32_t>(ifindex);
  r.attr_ipv4(IFA_LOCAL, a.addr);
  r.attr_ipv4(IFA_ADDRESS, a.addr);
  return r;
}

Request route_request(std::uint16_t type, std::uint16_t flags, int ifindex, const Ipv4Prefix& dest, bool adding) {
  const Ipv4Prefix net = network_of(dest);
  Request r(type, flags);
  auto* rt = r.body<rtmsg>();
  rt->rtm_family = AF_INET;
  rt->rtm_dst_len = net.len;
  rt->rtm_table = RT_TABLE_MAIN;
  rt->rtm_protocol = Netlink::kRouteProtocol;
  // A removal matches any scope and type, but only routes of our protocol.
  rt->rtm_scope = adding ? RT_SCOPE_LINK : RT_SCOPE_NOWHERE;
  rt->rtm_type = adding ? RTN_UNICAST : RTN_UNSPEC;
  if (net.len > 0) r.attr_ipv4(RTA_DST, net.addr);
  r.attr_u32(RTA_OIF, static_cast<std::uint32_t>(ifindex));
  return r;
}

}  // namespace

std::expected<bool, std::error_code> Netlink::add_address(int ifindex, const Ipv4Prefix& address) {
  auto r = address_request(RTM_NEWADDR, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, ifindex, address);
  auto done = transact(r.finish());
  if (!done) {
    if (done.error() == errno_code(EEXIST)) return false;
    return std::unexpected(done.error());
  }
  return true;
}

std::expected<bool, std::error_code> Netlink::remove_address(int ifindex, const Ipv4Prefix& address) {
  auto r = address_request(RTM_DELADDR, NLM_F_REQUEST | NLM_F_ACK, ifindex, address);
  auto done = transact(r.finish());
  if (!done) {
    // Gone already, or its interface went with it.
    if (done.error() == errno_code(EADDRNOTAVAIL) || done.error() == errno_code(ENODEV)) return false;
    return std::unexpected(done.error());
  }
  return true;
}

std::expected<std::vector<Ipv4Prefix>, std::error_code> Netlink::addresses(int ifindex) {
  Request r(RTM_GETADDR, NLM_F_REQUEST | NLM_F_DUMP);
  r.body<ifaddrmsg>()->ifa_family = AF_INET;
  std::vector<Ipv4Prefix> out;
  auto done = dump(r.finish(), [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
    const auto* ifa = reinterpret_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (ifa->ifa_family != AF_INET || static_cast<int>(ifa->ifa_index) != ifindex) return;
    std::optional<std::uint32_t> local, address;
    for_each_attr(h, sizeof(ifaddrmsg), [&](const rtattr* rta) {
      if (rta->rta_type == IFA_LOCAL) local = attr_ipv4(rta);
      if (rta->rta_type == IFA_ADDRESS) address = attr_ipv4(rta);
    });
    if (auto a = local ? local : address) out.push_back({*a, ifa->ifa_prefixlen});
  });
  if (!done) return std::unexpected(done.error());
  return out;
}

std::expected<bool, std::error_code> Netlink::add_route(int ifindex, const Ipv4Prefix& dest) {
  auto r = route_request(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, ifindex, dest, true);
  auto done = transact(r.finish());
  if (!done) {
    if (done.error() == errno_code(EEXIST)) return false;
    return std::unexpected(done.error());
  }
  return true;
}

std::expected<bool, std::error_code> Netlink::remove_route(int ifindex, const Ipv4Prefix& dest) {
  auto r = route_request(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, ifindex, dest, false);
  auto done = transact(r.finish());
  if (!done) {
    if (done.error() == errno_code(ESRCH) || done.error() == errno_code(ENODEV)) return false;
    return std::unexpected(done.error());
  }
  return true;
}

std::expected<std::vector<RouteEntry>, std::error_code> Netlink::routes(int ifindex) {
  Request r(RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP);
  r.body<rtmsg>()->rtm_family = AF_INET;
  std::vector<RouteEntry> out;
  auto done = dump(r.finish(), [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
    const auto* rt = reinterpret_cast<const rtmsg*>(NLMSG_DATA(h));
    if (rt->rtm_family != AF_INET || rt->rtm_type != RTN_UNICAST || rt->rtm_dst_len > 32) return;
    std::uint32_t table = rt->rtm_table;
    std::optional<std::uint32_t> oif, dst;
    bool gateway = false;
    for_each_attr(h, sizeof(rtmsg), [&](const rtattr* rta) {
      if (rta->rta_type == RTA_TABLE) table = attr_u32(rta).value_or(table);
      if (rta->rta_type == RTA_OIF) oif = attr_u32(rta);
      if (rta->rta_type == RTA_DST) dst = attr_ipv4(rta);
      if (rta->rta_type == RTA_GATEWAY) gateway = true;
    });
    if (table != RT_TABLE_MAIN || gateway || !oif || static_cast<int>(*oif) != ifindex) return;
    out.push_back({{dst.value_or(0), rt->rtm_dst_len}, rt->rtm_protocol});
  });
  if (!done) return std::unexpected(done.error());
  return out;
}

}  // namespace velarix::host
