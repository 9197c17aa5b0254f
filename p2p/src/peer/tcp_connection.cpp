#include "peer/tcp_connection.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "util/length_codec.h"

namespace velarix::p2p {

// The write limit of one frame: the timer cuts the pending write through a cancellation slot,
// so no frame is written under a race of two awaitables. Shared with the timer's handler, which
// may run after the writer ended; `generation` keeps a late expiry from cutting the next write.
struct TcpWriter::Deadline {
  boost::asio::cancellation_signal signal;
  std::uint64_t generation = 0;
};

TcpWriter::TcpWriter(boost::asio::ip::tcp::socket socket, std::chrono::milliseconds write_timeout,
                     std::function<void(const std::error_code&)> on_failure)
    : strand_(boost::asio::make_strand(socket.get_executor())),
      socket_(std::move(socket)),
      write_timeout_(write_timeout),
      on_failure_(std::move(on_failure)) {}

TcpWriter::~TcpWriter() { queue_.close(); }

std::expected<void, std::error_code> TcpWriter::try_send(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > util::kMaxFrameSize) return std::unexpected(std::make_error_code(std::errc::message_size));
  if (failed()) return std::unexpected(std::make_error_code(std::errc::broken_pipe));
  std::call_once(started_, [this] {
    boost::asio::co_spawn(strand_, [self = shared_from_this()] { return self->run(); }, boost::asio::detached);
  });
  if (queued_bytes_.fetch_add(bytes.size(), std::memory_order_relaxed) + bytes.size() > kMaxQueuedBytes) {
    queued_bytes_.fetch_sub(bytes.size(), std::memory_order_relaxed);
    return std::unexpected(std::make_error_code(std::errc::no_buffer_space));
  }
  auto sent = queue_.try_send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  if (!sent) {
    queued_bytes_.fetch_sub(bytes.size(), std::memory_order_relaxed);
    return std::unexpected(std::make_error_code(sent.error().kind == util::ChannelError::Kind::Full
                                                    ? std::errc::no_buffer_space
                                                    : std::errc::broken_pipe));
  }
  return {};
}

boost::asio::awaitable<std::expected<void, std::error_code>> TcpWriter::send_frame(
    std::span<const std::uint8_t> bytes) {
  co_return try_send(bytes);
}

void TcpWriter::close() {
  failed_.store(true, std::memory_order_release);
  queue_.close();
}

void TcpWriter::fail(const std::error_code& ec) {
  const bool first = !failed_.exchange(true, std::memory_order_acq_rel);
  queue_.close();
  if (first && on_failure_) on_failure_(ec);
}

boost::asio::awaitable<void> TcpWriter::run() {
  // The writer task holds the writer alive until it ends (queue closed, link failed).
  auto self = shared_from_this();
  auto deadline = std::make_shared<Deadline>();
  boost::asio::steady_timer timer(strand_);
  for (;;) {
    auto next = co_await queue_.receive();
    if (!next) break;
    const std::vector<std::uint8_t> bytes = std::move(*next);
    queued_bytes_.fetch_sub(bytes.size(), std::memory_order_relaxed);
    if (failed()) continue;  // closed meanwhile: drain without writing

    const auto header = util::frame_header(bytes.size());
    std::array<boost::asio::const_buffer, 2> buffers{boost::asio::buffer(*header),
                                                     boost::asio::buffer(bytes.data(), bytes.size())};
    const std::uint64_t generation = ++deadline->generation;
    timer.expires_after(write_timeout_);
    timer.async_wait([deadline, generation](const boost::system::error_code& ec) {
      if (!ec && deadline->generation == generation) deadline->signal.emit(boost::asio::cancellation_type::terminal);
    });
    auto [ec, n] = co_await boost::asio::async_write(
        socket_, buffers,
        boost::asio::bind_cancellation_slot(deadline->signal.slot(),
                                            boost::asio::as_tuple(boost::asio::use_awaitable)));
    (void)n;
    ++deadline->generation;
    timer.cancel();
    if (ec) {
      fail(ec == boost::asio::error::operation_aborted ? std::make_error_code(std::errc::timed_out)
                                                        : std::error_code(ec));
    }
  }
  boost::system::error_code ignored;
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace velarix::p2p
