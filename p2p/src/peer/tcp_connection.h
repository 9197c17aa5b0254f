#pragma once
// A TCP link to a super peer: its cancellation token, the frame writer once the
// stream is up, and the path record of the link's HELLOs and ACKs.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "peer/path.h"
#include "util/cancellation_token.h"
#include "util/rw_lock.h"
#include "util/snapshot.h"

namespace velarix::p2p {

// The write half of a link: frames go out one at a time, under an async lock.
class TcpWriter {
 public:
  explicit TcpWriter(boost::asio::ip::tcp::socket socket);
  TcpWriter(const TcpWriter&) = delete;
  TcpWriter& operator=(const TcpWriter&) = delete;

  // Writes `bytes` as one length-delimited frame. Frames of concurrent callers
  // never interleave.
  boost::asio::awaitable<std::expected<void, std::error_code>> send_frame(std::span<const std::uint8_t> bytes);


 private:
  util::RwLock lock_;
  boost::asio::ip::tcp::socket socket_;
};

class TcpConnection {
 public:
  explicit TcpConnection(util::CancellationToken token) : token_(std::move(token)) {}
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  const util::CancellationToken& token() const noexcept { return token_; }
  void cancel_connection() const { token_.cancel(); }
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
