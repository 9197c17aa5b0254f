#pragma once
// Length-delimited frames: how messages travel on a TCP link between a node and
// a super peer. Each frame is a 2-byte big-endian length followed by that many
// bytes, one message per frame. The largest frame is 65535 bytes (the largest
// message); a frame of length 0 is legal (the receiver drops it like any packet
// under 4 bytes).
//
// `read_frame` and `write_frame` work on any asio stream (a tcp::socket, an SSL
// stream, a test pipe). They report failures as error codes, not exceptions;
// like every asio awaitable they do throw operation_aborted when the coroutine
// that awaits them is cancelled between two of their steps.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <system_error>
#include <type_traits>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

namespace velarix::p2p::util {

inline constexpr std::size_t kFrameHeaderSize = 2;
inline constexpr std::size_t kMaxFrameSize = 65535;

enum class FrameErrc {
  truncated = 1,  // "stream ended in the middle of a frame"
  too_large,      // "frame longer than 65535 bytes"
};

const boost::system::error_category& frame_category() noexcept;
boost::system::error_code make_error_code(FrameErrc e) noexcept;

// The header of a frame holding `len` bytes; std::nullopt when `len` is over kMaxFrameSize.
std::optional<std::array<std::uint8_t, kFrameHeaderSize>> frame_header(std::size_t len) noexcept;

// The length a frame header announces.
constexpr std::size_t frame_length(std::span<const std::uint8_t, kFrameHeaderSize> header) noexcept {
  return (std::size_t{header[0]} << 8) | std::size_t{header[1]};
}

// Header and payload in one buffer; FrameErrc::too_large when the payload does not fit a frame.
std::expected<std::vector<std::uint8_t>, boost::system::error_code> encode_frame(std::span<const std::uint8_t> payload);

// Reads one frame into `frame` (resized to the frame's length; reserve kMaxFrameSize once to
// keep it from reallocating). Returns no error on success; boost::asio::error::eof when the
// stream ended cleanly before a frame began; FrameErrc::truncated when it ended inside one;
// any other I/O error as the stream reports it.
template <class AsyncReadStream>
boost::asio::awaitable<boost::system::error_code> read_frame(AsyncReadStream& stream, std::vector<std::uint8_t>& frame) {
  std::array<std::uint8_t, kFrameHeaderSize> header{};
  auto [ec, n] = co_await boost::asio::async_read(stream, boost::asio::buffer(header),
                                                  boost::asio::as_tuple(boost::asio::use_awaitable));
  if (ec) {
    if (ec == boost::asio::error::eof && n > 0) co_return make_error_code(FrameErrc::truncated);
    co_return ec;
  }
  frame.resize(frame_length(header));
  if (frame.empty()) co_return boost::system::error_code{};
  auto [ec2, n2] = co_await boost::asio::async_read(stream, boost::asio::buffer(frame),
                                                    boost::asio::as_tuple(boost::asio::use_awaitable));
  (void)n2;
  if (ec2 == boost::asio::error::eof) co_return make_error_code(FrameErrc::truncated);
  co_return ec2;
}

// Writes `payload` as one frame (header and payload in one gathered write).
template <class AsyncWriteStream>
boost::asio::awaitable<boost::system::error_code> write_frame(AsyncWriteStream& stream,
                                                              std::span<const std::uint8_t> payload) {
  auto header = frame_header(payload.size());
  if (!header) co_return make_error_code(FrameErrc::too_large);
  std::array<boost::asio::const_buffer, 2> buffers{boost::asio::buffer(*header),
                                                   boost::asio::buffer(payload.data(), payload.size())};
  auto [ec, n] = co_await boost::asio::async_write(stream, buffers, boost::asio::as_tuple(boost::asio::use_awaitable));
  (void)n;
  co_return ec;
}

}  // namespace velarix::p2p::util

namespace boost::system {
template <>
struct is_error_code_enum<velarix::p2p::util::FrameErrc> : std::true_type {};
}  // namespace boost::system
