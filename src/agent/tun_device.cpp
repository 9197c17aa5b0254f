#include "agent/tun_device.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cerrno>
#include <unistd.h>

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

std::expected<std::shared_ptr<TunDevice>, boost::system::error_code> TunDevice::from_fd(
    const asio::any_io_executor& executor, int fd) {
  if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return std::unexpected(boost::system::error_code(EBADF, boost::system::system_category()));
  asio::posix::stream_descriptor descriptor(executor);
  boost::system::error_code ec;
  descriptor.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return std::unexpected(ec);
  }
  descriptor.non_blocking(true, ec);
  if (ec) return std::unexpected(ec);  // the descriptor closes fd
  struct stat st {};
  const bool is_socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  return std::shared_ptr<TunDevice>(new TunDevice(std::move(descriptor), is_socket));
}

// Both try the descriptor at once and wait for it only when it would block: a
// busy device is read and written without a round trip through the scheduler
// per packet.

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::recv(std::span<std::uint8_t> buf) {
  for (;;) {
    const auto n = ::read(descriptor_.native_handle(), buf.data(), buf.size());
    if (n > 0 || (n == 0 && buf.empty())) co_return static_cast<std::size_t>(n);
    if (n == 0) co_return std::unexpected(boost::system::error_code(asio::error::eof));
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      co_return std::unexpected(boost::system::error_code(errno, boost::system::system_category()));
    }
    // Nothing there: the reactor reads the next packet when it comes.
    auto [ec, got] = co_await descriptor_.async_read_some(asio::buffer(buf.data(), buf.size()),
                                                          asio::as_tuple(asio::use_awaitable));
    if (ec) co_return std::unexpected(ec);
    co_return got;
  }
}

asio::awaitable<std::expected<std::size_t, boost::system::error_code>> TunDevice::send(
    std::span<const std::uint8_t> packet) {
  for (;;) {
    // A socket handed over as the device (as in tests) must not raise SIGPIPE once its peer is gone.
    const auto n = is_socket_ ? ::send(descriptor_.native_handle(), packet.data(), packet.size(), MSG_NOSIGNAL)
                              : ::write(descriptor_.native_handle(), packet.data(), packet.size());
    if (n >= 0) co_return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      co_return std::unexpected(boost::system::error_code(errno, boost::system::system_category()));
    }
    auto [ec, written] = co_await descriptor_.async_write_some(asio::buffer(packet.data(), packet.size()),
                                                               asio::as_tuple(asio::use_awaitable));
    if (ec) co_return std::unexpected(ec);
    co_return written;
  }
}

}  // namespace velarix::agent
