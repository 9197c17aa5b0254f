#include "util/length_codec.h"

#include <cstdint>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

namespace velarix::p2p::util {
namespace {

namespace asio = boost::asio;
using Stream = asio::local::stream_protocol::socket;

TEST(LengthCodec, HeaderIsTwoBytesBigEndian) {
  EXPECT_EQ(frame_header(0), (std::array<std::uint8_t, 2>{0x00, 0x00}));
  EXPECT_EQ(frame_header(0x0102), (std::array<std::uint8_t, 2>{0x01, 0x02}));
  EXPECT_EQ(frame_header(65535), (std::array<std::uint8_t, 2>{0xFF, 0xFF}));
  EXPECT_FALSE(frame_header(65536));
  const std::array<std::uint8_t, 2> h{0xAB, 0xCD};
  EXPECT_EQ(frame_length(h), 0xABCDu);

  const std::vector<std::uint8_t> payload{1, 2, 3};
  EXPECT_EQ(encode_frame(payload).value(), (std::vector<std::uint8_t>{0, 3, 1, 2, 3}));
  std::vector<std::uint8_t> big(65536);
  EXPECT_EQ(encode_frame(big).error(), make_error_code(FrameErrc::too_large));
}

// Runs `body` with a connected pair of stream sockets until it ends.
template <class Body>
void with_pair(Body body) {
  asio::io_context io;
  Stream a(io), b(io);
  asio::local::connect_pair(a, b);
  bool done = false;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    co_await body(a, b);
    done = true;
  }, asio::detached);
  io.run();
  EXPECT_TRUE(done);
}

TEST(LengthCodec, FramesKeepTheirBoundaries) {
  with_pair([](Stream& a, Stream& b) -> asio::awaitable<void> {
    std::vector<std::vector<std::uint8_t>> sent{{}, {7}, std::vector<std::uint8_t>(65535, 0x5A), {1, 2, 3, 4}};
    for (const auto& f : sent) EXPECT_FALSE(co_await write_frame(a, f));
    std::vector<std::uint8_t> frame;
    for (const auto& f : sent) {
      EXPECT_FALSE(co_await read_frame(b, frame));
      EXPECT_EQ(frame, f);
    }
    // Too large for a frame: refused, nothing written.
    EXPECT_EQ(co_await write_frame(a, std::vector<std::uint8_t>(65536)), make_error_code(FrameErrc::too_large));
    a.close();
    EXPECT_EQ(co_await read_frame(b, frame), asio::error::eof);
  });
}

TEST(LengthCodec, EndInsideAFrameIsTruncation) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"half a header", {0x00}},
      {"header without body", {0x00, 0x05}},
      {"body cut short", {0x00, 0x05, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    with_pair([&](Stream& a, Stream& b) -> asio::awaitable<void> {
      co_await asio::async_write(a, asio::buffer(c.bytes), asio::use_awaitable);
      a.close();
      std::vector<std::uint8_t> frame;
      const auto ec = co_await read_frame(b, frame);
      EXPECT_EQ(ec, make_error_code(FrameErrc::truncated));
      EXPECT_EQ(ec.message(), "stream ended in the middle of a frame");
    });
  }
}

}  // namespace
}  // namespace velarix::p2p::util
