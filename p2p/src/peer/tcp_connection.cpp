#include "peer/tcp_connection.h"

#include "util/length_codec.h"

namespace velarix::p2p {

TcpWriter::TcpWriter(boost::asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

boost::asio::awaitable<std::expected<void, std::error_code>> TcpWriter::send_frame(
    std::span<const std::uint8_t> bytes) {
  auto guard = co_await lock_.write();
  const auto ec = co_await util::write_frame(socket_, bytes);
  if (ec) co_return std::unexpected(std::error_code(ec));
  co_return std::expected<void, std::error_code>{};
}

}  // namespace velarix::p2p
