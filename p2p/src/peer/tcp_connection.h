#pragma once
// A TCP link to a super peer: its cancellation token, the frame writer once the
// stream is up, and the path record of the link's HELLOs and ACKs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "peer/path.h"
#include "util/cancellation_token.h"
#include "util/channel.h"
#include "util/snapshot.h"

namespace velarix::p2p {

// The write half of a link. Frames are queued without waiting and written one at a time by the
// writer's own task; a frame that cannot be written within the write limit, or a failed write,
// fails the link (`on_failure` runs once) and later frames are refused. The queue is bounded, so
// a link that does not drain drops frames instead of holding up their senders.
class TcpWriter : public std::enable_shared_from_this<TcpWriter> {
 public:
  static constexpr std::size_t kMaxQueuedFrames = 256;
  static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
  static constexpr std::chrono::milliseconds kDefaultWriteTimeout{30'000};

  explicit TcpWriter(boost::asio::ip::tcp::socket socket,
                     std::chrono::milliseconds write_timeout = kDefaultWriteTimeout,
                     std::function<void(const std::error_code&)> on_failure = {});
  ~TcpWriter();
  TcpWriter(const TcpWriter&) = delete;
  TcpWriter& operator=(const TcpWriter&) = delete;

  // Queues `bytes` as one length-delimited frame; never waits. Errors: no_buffer_space when the
  // queue is full (the frame is dropped, the link stays), broken_pipe once the link failed or
  // was closed, message_size for a frame over 65535 bytes.
  std::expected<void, std::error_code> try_send(std::span<const std::uint8_t> bytes);
  // try_send in awaitable form, for callers written against a writer that waited.
  boost::asio::awaitable<std::expected<void, std::error_code>> send_frame(std::span<const std::uint8_t> bytes);

  // Stops the writer: queued frames are dropped, later ones refused.
  void close();
  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

 private:
  struct Deadline;
  boost::asio::awaitable<void> run();
  void fail(const std::error_code& ec);

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  boost::asio::ip::tcp::socket socket_;
  std::chrono::milliseconds write_timeout_;
  std::function<void(const std::error_code&)> on_failure_;
  util::Channel<std::vector<std::uint8_t>> queue_{kMaxQueuedFrames};
  std::atomic<std::size_t> queued_bytes_{0};
  std::atomic<bool> failed_{false};
  std::once_flag started_;
};

class TcpConnection {
 public:
  explicit TcpConnection(util::CancellationToken token) : token_(std::move(token)) {}
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  const util::CancellationToken& token() const noexcept { return token_; }
  // The writer stops first: whoever sees the link cancelled sees its writes refused, rather
  // than queued on a link that is going away and reported as sent.
  void cancel_connection() const {
    if (auto w = writer()) w->close();
    token_.cancel();
  }
  bool is_cancelled() const noexcept { return token_.is_cancelled(); }

  // The writer, once the stream is established.
  std::shared_ptr<TcpWriter> writer() const noexcept { return *writer_.load(); }
  void set_stream(std::shared_ptr<TcpWriter> writer) { writer_.store(std::move(writer)); }

  // Records a HELLO sent over the link at `now`.
  void hello_tx(std::uint64_t now) { path_->hello_tx(now); }
  const std::shared_ptr<PeerPath>& path() const noexcept { return path_; }

  // The super peer's address as the connection sees it (the source of its frames).
  std::optional<boost::asio::ip::udp::endpoint> remote() const noexcept { return *remote_.load(); }
  void set_remote(const boost::asio::ip::udp::endpoint& ep) { remote_.store(std::optional(ep)); }

 private:
  util::CancellationToken token_;
  util::Snapshot<std::shared_ptr<TcpWriter>> writer_{std::shared_ptr<TcpWriter>()};
  std::shared_ptr<PeerPath> path_ = std::make_shared<PeerPath>();
  util::Snapshot<std::optional<boost::asio::ip::udp::endpoint>> remote_{
      std::optional<boost::asio::ip::udp::endpoint>()};
};

}  // namespace velarix::p2p
