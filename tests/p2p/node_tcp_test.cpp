// TCP links to a super peer, against a test server that speaks frames by hand.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "node/inner.h"
#include "node_test_support.h"
#include "util/length_codec.h"

namespace velarix::test {
namespace {

namespace ip = boost::asio::ip;
using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 10s) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

std::vector<std::uint8_t> read_frame(ip::tcp::socket& s) {
  std::array<std::uint8_t, 2> len{};
  boost::asio::read(s, boost::asio::buffer(len));
  std::vector<std::uint8_t> frame((len[0] << 8) | len[1]);
  boost::asio::read(s, boost::asio::buffer(frame));
  return frame;
}

void write_frame(ip::tcp::socket& s, const std::vector<std::uint8_t>& bytes) {
  auto framed = *util::encode_frame(bytes);
  boost::asio::write(s, boost::asio::buffer(framed));
}

struct TcpFixture {
  TcpFixture() {
    inner = create_inner(rt, loopback_opts(self, {super_peer_url(sp.pk(), util_addr(), 4)}, true,
                                           std::make_shared<RecordingSink>()));
    super_peer = inner->peers_list().super_peer(sp.pk());
  }
  std::string util_addr() const { return "127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()); }
  MessageKey key() const { return session_key(sp, self.pk()); }

  // Starts a connector and accepts its connection; returns the server side.
  ip::tcp::socket connect() {
    conn = super_peer->new_tcp_path(inner->token());
    util::spawn_detached(inner->executor(),
                         NodeInner::tcp_connector(inner, sp.pk(), util_addr(), conn, NodeInner::current_time(),
                                                  super_peer->message_key()));
    return acceptor.accept();
  }

  util::Runtime rt{3};
  boost::asio::io_context io;
  ip::tcp::acceptor acceptor{io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0)};
  Identity self = make_identity();
  Identity sp = make_identity();
  std::shared_ptr<NodeInner> inner;
  std::shared_ptr<SuperPeer> super_peer;
  std::shared_ptr<TcpConnection> conn;
};

TEST(TcpLink, GreetsPublishesReadsAndDropsABadFrame) {
  TcpFixture f;
  auto server = f.connect();
  // The first frame is a HELLO to the super peer.
  auto hello = read_frame(server);
  auto header = LongHeader::parse(hello);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type_byte(), 2);
  EXPECT_EQ(header->recipient(), f.sp.pk());
  ASSERT_TRUE(eventually([&] { return f.conn->writer() != nullptr; }));

  // Two senders at once: both frames arrive whole.
  auto writer = f.conn->writer();
  std::vector<std::uint8_t> one(3000, 1), two(3000, 2);
  util::spawn_detached(f.inner->executor(), [](std::shared_ptr<NodeInner> n, std::shared_ptr<TcpWriter> w, PubKey k,
                                               std::vector<std::uint8_t> b) -> boost::asio::awaitable<void> {
    co_await n->send_super_peer_tcp(w, k, b);
  }(f.inner, writer, f.sp.pk(), one));
  util::spawn_detached(f.inner->executor(), [](std::shared_ptr<NodeInner> n, std::shared_ptr<TcpWriter> w, PubKey k,
                                               std::vector<std::uint8_t> b) -> boost::asio::awaitable<void> {
    co_await n->send_super_peer_tcp(w, k, b);
  }(f.inner, writer, f.sp.pk(), two));
  auto a = read_frame(server), b = read_frame(server);
  EXPECT_TRUE((a == one && b == two) || (a == two && b == one));

  // A frame under 4 bytes is dropped, then an ACK over the link marks its path.
  write_frame(server, {1, 2});
  auto greeting = HelloSuperPeerMessage::parse(std::span(hello).subspan(LongHeader::kSize), *header, f.key());
  ASSERT_TRUE(greeting);
  write_frame(server, *AckMessage::build(network_id_from_u32(4), f.sp.pk(), f.sp.pow(), f.key(), f.self.pk(),
                                         greeting->time()));
  ASSERT_TRUE(eventually([&] { return f.conn->path()->inner()->last_ack_time != 0; }));
  EXPECT_FALSE(f.conn->is_cancelled());

  // A frame of another network is dropped like a bad datagram; the link stays and reads on.
  write_frame(server, *AckMessage::build(network_id_from_u32(5), f.sp.pk(), f.sp.pow(), f.key(), f.self.pk(), 1));
  write_frame(server, {1, 2});
  write_frame(server, *AckMessage::build(network_id_from_u32(5), f.sp.pk(), f.sp.pow(), f.key(), f.self.pk(), 1));
  ASSERT_TRUE(eventually([&] { return f.inner->stats().refused.load() == 2; }));
  EXPECT_FALSE(f.conn->is_cancelled());
  EXPECT_EQ(f.super_peer->tcp_connection(), f.conn);
}

TEST(TcpLink, ServerThatClosesAtOnceEndsTheConnector) {
  TcpFixture f;
  {
    auto server = f.connect();
    server.close();
  }
  ASSERT_TRUE(eventually([&] { return f.conn->is_cancelled() && !f.super_peer->tcp_connection(); }));
}

TEST(TcpLink, WriteOnAClosedLinkIsReportedAsFailed) {
  TcpFixture f;
  auto server = f.connect();
  (void)read_frame(server);
  ASSERT_TRUE(eventually([&] { return f.conn->writer() != nullptr; }));
  auto writer = f.conn->writer();
  server.close();
  ASSERT_TRUE(eventually([&] { return f.conn->is_cancelled(); }));
  // The link is gone; a write on its writer is lost, and the caller is told so (it may have
  // another road).
  auto r = util::block_on(f.rt, f.inner->send_super_peer_tcp(writer, f.sp.pk(), std::vector<std::uint8_t>(10, 1)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::SendFailed);
}

}  // namespace
}  // namespace velarix::test
