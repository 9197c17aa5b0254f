#include "agent/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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
  const int flags = ::fcntl(fd, F_GETFL);
  // On failure the descriptor goes back to the caller untouched.
  if (flags < 0) return std::unexpected(sys_error(errno));
  if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(sys_error(errno));
  struct stat st {};
  const bool is_socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  g_owned.insert(fd);
  return std::shared_ptr<TunDevice>(new TunDevice(fd, is_socket, executor));
}

TunDevice::~TunDevice() {
  // The reactor lets go of its duplicate first.
  write_waiter_.reset();
  // Closed and forgotten in one step, so that a descriptor that reuses the
  // number is never mistaken for this one.
  std::lock_guard lock(g_owned_mutex);
  ::close(fd_);
  g_owned.erase(fd_);
}

// Reads and writes try the descriptor at once and wait for it only when it would block: a busy
// device is read and written without a round trip through the scheduler per packet. The
// device's own descriptor is never registered with a reactor (which would wake a thread at
// every packet that arrives or leaves, whether anyone waits or not): each reader waits on a
// duplicate registered where it runs, and writers on one duplicate made at their first wait.

namespace {

// A duplicate of `fd` registered with `executor`'s reactor.
std::expected<std::unique_ptr<asio::posix::stream_descriptor>, boost::system::error_code> duplicate_on(
    int fd, const asio::any_io_executor& executor) {
  const int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return std::unexpected(sys_error(errno));
  auto descriptor = std::make_unique<asio::posix::stream_descriptor>(executor);
  boost::system::error_code ec;
  descriptor->assign(dup, ec);
  if (ec) {
    ::close(dup);
    return std::unexpected(ec);
  }
  return descriptor;
}

}  // namespace

std::expected<TunDevice::Reader, boost::system::error_code> TunDevice::reader(const asio::any_io_executor& executor) {
  auto descriptor = duplicate_on(fd_, executor);
  if (!descriptor) return std::unexpected(descriptor.error());
  return Reader(shared_from_this(), std::move(*descriptor));
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::Reader::recv(
    std::span<std::uint8_t> buf) {
  for (;;) {
    const auto n = ::read(descriptor_->native_handle(), buf.data(), buf.size());
    if (n > 0 || (n == 0 && buf.empty())) co_return static_cast<std::size_t>(n);
    if (n == 0) co_return std::unexpected(boost::system::error_code(asio::error::eof));
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      co_return std::unexpected(boost::system::error_code(errno, boost::system::system_category()));
    }
    // Nothing there: the reactor reads the next packet when it comes.
    auto [ec, got] = co_await descriptor_->async_read_some(asio::buffer(buf.data(), buf.size()),
                                                          asio::as_tuple(asio::use_awaitable));
    if (ec) co_return std::unexpected(ec);
    co_return got;
  }
}

asio::awaitable<std::expected<void, boost::system::error_code>> TunDevice::wait_writable() {
  asio::posix::stream_descriptor* waiter = nullptr;
  {
    std::lock_guard lock(write_waiter_mutex_);
    if (!write_waiter_) {
      auto descriptor = duplicate_on(fd_, executor_);
      if (!descriptor) co_return std::unexpected(descriptor.error());
      write_waiter_ = std::move(*descriptor);
    }
    waiter = write_waiter_.get();
  }
  auto [ec] = co_await waiter->async_wait(asio::posix::descriptor_base::wait_write, asio::as_tuple(asio::use_awaitable));
  if (ec) co_return std::unexpected(ec);
  co_return std::expected<void, boost::system::error_code>{};
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::send(
    std::span<const std::uint8_t> packet) {
  return send(packet, {});
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::send(
    std::span<const std::uint8_t> head, std::span<const std::uint8_t> body) {
  std::array<iovec, 2> parts{iovec{const_cast<std::uint8_t*>(head.data()), head.size()},
                             iovec{const_cast<std::uint8_t*>(body.data()), body.size()}};
  for (;;) {
    msghdr msg{};
    msg.msg_iov = parts.data();
    msg.msg_iovlen = parts.size();
    // A socket handed over as the device (as in tests) must not raise SIGPIPE once its peer is gone.
    const auto n = is_socket_ ? ::sendmsg(fd_, &msg, MSG_NOSIGNAL) : ::writev(fd_, parts.data(), static_cast<int>(parts.size()));
    if (n >= 0) co_return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      co_return std::unexpected(boost::system::error_code(errno, boost::system::system_category()));
    }
    if (auto room = co_await wait_writable(); !room) co_return std::unexpected(room.error());
  }
}

}  // namespace velarix::agent
