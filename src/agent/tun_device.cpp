#include "agent/tun_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>

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
  return std::shared_ptr<TunDevice>(new TunDevice(std::move(descriptor)));
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
