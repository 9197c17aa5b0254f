#include "agent/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <unordered_set>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace velarix::agent {

namespace asio = boost::asio;

namespace {

class NoDeviceCategory final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "tun"; }
  std::string message(int) const override { return "TUN device is None"; }
};

}  // namespace

const boost::system::error_category& tun_device_none_category() {
  static const NoDeviceCategory category;
  return category;
}

namespace {

boost::system::error_code sys_error(int err) { return {err, boost::system::system_category()}; }

// Descriptors owned by live devices. Two devices on one descriptor would both
// close it, the second time under whoever got the number next.
std::mutex g_owned_mutex;
std::unordered_set<int> g_owned;

// One read gives one packet and one write sends one: an attached TUN device
// (not TAP, whose frames carry an Ethernet header), or a socket that keeps
// message boundaries.
std::expected<void, boost::system::error_code> check_packet_descriptor(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return std::unexpected(sys_error(EBADF));
  if (S_ISCHR(st.st_mode)) {
    ifreq ifr{};
    if (::ioctl(fd, TUNGETIFF, &ifr) != 0) return std::unexpected(sys_error(EINVAL));
    if ((ifr.ifr_flags & (IFF_TUN | IFF_TAP)) != IFF_TUN) return std::unexpected(sys_error(EINVAL));
    return {};
  }
  if (S_ISSOCK(st.st_mode)) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return std::unexpected(sys_error(EINVAL));
    if (type == SOCK_DGRAM || type == SOCK_SEQPACKET) return {};
  }
  return std::unexpected(sys_error(EINVAL));
}

}  // namespace

std::expected<std::shared_ptr<TunDevice>, boost::system::error_code> TunDevice::from_fd(
    const asio::any_io_executor& executor, int fd) {
  if (auto ok = check_packet_descriptor(fd); !ok) return std::unexpected(ok.error());
  std::lock_guard lock(g_owned_mutex);
  if (g_owned.contains(fd)) return std::unexpected(sys_error(EBUSY));
  asio::posix::stream_descriptor descriptor(executor);
  boost::system::error_code ec;
  descriptor.assign(fd, ec);
  if (ec) return std::unexpected(ec);
  descriptor.non_blocking(true, ec);
  if (ec) {
    // Hand the descriptor back untouched: the caller still owns it.
    descriptor.release();
    return std::unexpected(ec);
  }
  g_owned.insert(fd);
  return std::shared_ptr<TunDevice>(new TunDevice(std::move(descriptor)));
}

TunDevice::~TunDevice() {
  // Closed and forgotten in one step, so that a descriptor that reuses the
  // number is never mistaken for this one.
  std::lock_guard lock(g_owned_mutex);
  const int fd = descriptor_.native_handle();
  boost::system::error_code ec;
  descriptor_.close(ec);
  g_owned.erase(fd);
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::recv(std::span<std::uint8_t> buf) {
  auto [ec, n] = co_await descriptor_.async_read_some(asio::buffer(buf.data(), buf.size()),
                                                      asio::as_tuple(asio::use_awaitable));
  if (ec) co_return std::unexpected(ec);
  co_return n;
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::send(
    std::span<const std::uint8_t> packet) {
  auto [ec, n] = co_await descriptor_.async_write_some(asio::buffer(packet.data(), packet.size()),
                                                       asio::as_tuple(asio::use_awaitable));
  if (ec) co_return std::unexpected(ec);
  co_return n;
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::send(
    std::span<const std::uint8_t> head, std::span<const std::uint8_t> body) {
  const std::array<asio::const_buffer, 2> parts{asio::buffer(head.data(), head.size()),
                                                asio::buffer(body.data(), body.size())};
  auto [ec, n] = co_await descriptor_.async_write_some(parts, asio::as_tuple(asio::use_awaitable));
  if (ec) co_return std::unexpected(ec);
  co_return n;
}

}  // namespace velarix::agent
