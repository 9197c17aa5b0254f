#pragma once
// A small rtnetlink client for the host program: interface MTU and state,
// IPv4 addresses and routes through one interface. Every request waits for
// the kernel's acknowledgement, bounded by a receive time-out.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace velarix::host {

// An IPv4 address with a prefix length; `addr` in host byte order.
struct Ipv4Prefix {
  std::uint32_t addr = 0;
  std::uint8_t len = 0;

  friend auto operator<=>(const Ipv4Prefix&, const Ipv4Prefix&) = default;
};

// "a.b.c.d/len" with len 0 to 32; nothing else (no blanks, no bare address).
std::optional<Ipv4Prefix> parse_prefix(std::string_view text);
std::string to_string(const Ipv4Prefix& p);
// The network part: host bits cleared.
Ipv4Prefix network_of(const Ipv4Prefix& p);

struct LinkState {
  std::uint32_t mtu = 0;
  bool up = false;
};

struct RouteEntry {
  Ipv4Prefix dest;
  std::uint8_t protocol = 0;  // RTPROT_*: kernel routes of addresses are RTPROT_KERNEL

  friend bool operator==(const RouteEntry&, const RouteEntry&) = default;
};

class Netlink {
 public:
  // Routes this program adds carry this protocol number, so that they can be
  // told apart from the kernel's and an administrator's.
  static constexpr std::uint8_t kRouteProtocol = 4;  // RTPROT_STATIC

  static std::expected<Netlink, std::error_code> open();

  Netlink(Netlink&& other) noexcept;
  Netlink& operator=(Netlink&& other) noexcept;
  Netlink(const Netlink&) = delete;
  Netlink& operator=(const Netlink&) = delete;
  ~Netlink();

  std::expected<void, std::error_code> set_mtu(int ifindex, std::uint32_t mtu);
  std::expected<void, std::error_code> set_up(int ifindex);
  std::expected<LinkState, std::error_code> link_state(int ifindex);

  // true when added, false when the address (or route) was there already.
  std::expected<bool, std::error_code> add_address(int ifindex, const Ipv4Prefix& address);
  // true when removed, false when it was not there: removing twice is fine.
  std::expected<bool, std::error_code> remove_address(int ifindex, const Ipv4Prefix& address);
  std::expected<std::vector<Ipv4Prefix>, std::error_code> addresses(int ifindex);

  // Routes in the main table straight through the interface (no gateway).
  std::expected<bool, std::error_code> add_route(int ifindex, const Ipv4Prefix& dest);
  std::expected<bool, std::error_code> remove_route(int ifindex, const Ipv4Prefix& dest);
  std::expected<std::vector<RouteEntry>, std::error_code> routes(int ifindex);

 private:
  explicit Netlink(int fd) : fd_(fd) {}
  // Sends one request and waits for its acknowledgement; the kernel's error
  // number comes back as the error.
  std::expected<void, std::error_code> transact(std::span<std::uint8_t> message);
  // Sends one dump request and hands every answer message to `each`.
  template <class F>
  std::expected<void, std::error_code> dump(std::span<std::uint8_t> message, F&& each);
  std::expected<void, std::error_code> send(std::span<std::uint8_t> message);

  int fd_ = -1;
  std::uint32_t seq_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace velarix::host
