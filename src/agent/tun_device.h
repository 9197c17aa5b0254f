#pragma once
// The TUN device handed over by the host: a packet descriptor (one read is one
// packet, one write is one packet) driven asynchronously. It owns the
// descriptor and closes it when the last reference goes; it never closes one
// it does not own.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

namespace velarix::agent {

// The category of the error a packet write reports when the agent has no
// device: its only message is "TUN device is None".
const boost::system::error_category& tun_device_none_category();

class TunDevice : public std::enable_shared_from_this<TunDevice> {
 public:
  // Wraps `fd`, which must be a packet descriptor: an attached TUN character
  // device, or a datagram or sequenced-packet socket (the tests' stand-in).
  // On success the device owns `fd`. On failure `fd` is left as it was, open
  // and the caller's: anything else (a file, a pipe, a stream socket) gives
  // EINVAL, and a descriptor that a live device already owns gives EBUSY.
  // Writes that must wait for room wait on `executor`.
  static std::expected<std::shared_ptr<TunDevice>, boost::system::error_code> from_fd(
      const boost::asio::any_io_executor& executor, int fd);

  // Closes the descriptor.
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  // Reads packets for a task running on `executor`, whose own reactor watches its waits (a
  // task on a lane is woken on its lane). It holds a duplicate of the descriptor, closed with
  // it, and keeps the device alive.
  class Reader {
   public:
    // Reads one packet into `buf`; returns its length. Completes without
    // suspending when a packet is waiting.
    boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> recv(std::span<std::uint8_t> buf);

   private:
    friend class TunDevice;
    Reader(std::shared_ptr<TunDevice> device, std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor)
        : device_(std::move(device)), descriptor_(std::move(descriptor)) {}
    std::shared_ptr<TunDevice> device_;
    std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor_;
  };
  // Fails when no duplicate of the descriptor can be made.
  std::expected<Reader, boost::system::error_code> reader(const boost::asio::any_io_executor& executor);

  // Writes one packet; returns the bytes written. Completes without suspending
  // when the device takes it at once.
  boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> send(
      std::span<const std::uint8_t> packet);
  // Writes one packet made of `head` followed by `body` (one gathered write,
  // so a header built apart needs no copy of the body).
  boost::asio::awaitable<std::expected<std::size_t, boost::system::error_code>> send(
      std::span<const std::uint8_t> head, std::span<const std::uint8_t> body);

  int native_handle() const noexcept { return fd_; }

 private:
  TunDevice(int fd, bool is_socket, boost::asio::any_io_executor executor)
      : fd_(fd), is_socket_(is_socket), executor_(std::move(executor)) {}
  boost::asio::awaitable<std::expected<void, boost::system::error_code>> wait_writable();

  const int fd_;
  const bool is_socket_;
  boost::asio::any_io_executor executor_;
  std::mutex write_waiter_mutex_;
  std::unique_ptr<boost::asio::posix::stream_descriptor> write_waiter_;  // under the mutex
};

}  // namespace velarix::agent
