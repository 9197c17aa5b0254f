// The send road: header form, MTU, delivery choice and its failures.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include "message/short_header.h"
#include "node/send_handle.h"
#include "node_test_support.h"

namespace velarix::test {
namespace {

namespace ip = boost::asio::ip;
constexpr std::uint32_t kNetwork = 3;

// A blocking UDP socket on loopback that gives up after a short wait.
struct Receiver {
  Receiver() : socket(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)) {
    timeval tv{0, 100'000};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ip::udp::endpoint addr() const { return socket.local_endpoint(); }
  std::optional<std::vector<std::uint8_t>> receive() {
    std::vector<std::uint8_t> buf(65536);
    // The plain call: it honours the receive time-out, where asio would poll on.
    const auto n = ::recv(socket.native_handle(), buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  boost::asio::io_context io;
  ip::udp::socket socket;
};

struct SendFixture {
  SendFixture() {
    inner = create_inner(rt, loopback_opts(self, {super_peer_url(sp.pk(), "127.0.0.1:9", kNetwork)}, false,
                                           std::make_shared<RecordingSink>()));
    socket = inner->udp_bindings()->front()->socket();
  }
  std::shared_ptr<SendHandle> handle(SendHandleState st) { return std::make_shared<SendHandle>(dst.pk(), inner, st); }
  std::expected<void, Error> send(SendHandle& h, std::size_t len = 100) {
    std::vector<std::uint8_t> payload(len, 0xAB);
    return util::block_on(rt, h.send(payload));
  }

  util::Runtime rt{2};
  Identity self = make_identity();
  Identity sp = make_identity();
  Identity dst = make_identity();
  std::shared_ptr<NodeInner> inner;
  std::shared_ptr<ip::udp::socket> socket;
  const ip::udp::endpoint unreachable{ip::make_address("::1"), 9};  // another family than the socket's
};

bool is_long_header_to(const std::vector<std::uint8_t>& msg, const PubKey& to) {
  auto h = LongHeader::parse(msg);
  return h && h->recipient() == to && h->type_byte() == 1;
}

TEST(SendHandle, HeaderFormAndRoadFollowTheState) {
  SendFixture f;
  Receiver direct, relay;
  const ShortId id(0x11223344);
  struct Case {
    const char* name;
    bool direct_path;
    bool short_id;
    bool expect_direct;
    bool expect_short;
  };
  for (const Case c : {Case{"short id without direct path: long header, relayed", false, true, false, false},
                       Case{"direct path without short id: long header, direct", true, false, true, false},
                       Case{"direct path and short id: short header, direct", true, true, true, true},
                       Case{"neither: long header, relayed", false, false, false, false}}) {
    SCOPED_TRACE(c.name);
    SendHandleState st;
    if (c.direct_path) {
      st.direct_path = direct.addr();
      st.direct_socket = f.socket;
    }
    if (c.short_id) st.tx_short_id = id;
    st.relay_udp_paths = {{relay.addr(), f.socket}};
    auto h = f.handle(st);
    ASSERT_TRUE(f.send(*h));
    auto got = (c.expect_direct ? direct : relay).receive();
    ASSERT_TRUE(got);
    if (c.expect_short) {
      EXPECT_EQ(ShortId::from_bytes(std::span(*got).first<4>()), id);
      EXPECT_EQ(got->size(), 104u);
    } else {
      EXPECT_TRUE(is_long_header_to(*got, f.dst.pk()));
    }
    EXPECT_FALSE((c.expect_direct ? relay : direct).receive()) << "sent on both roads";
  }
}

TEST(SendHandle, MessageOfExactlyTheMtuPassesOneMoreByteDoesNot) {
  SendFixture f;
  Receiver relay;
  SendHandleState st;
  st.relay_udp_paths = {{relay.addr(), f.socket}};
  auto h = f.handle(st);
  const std::size_t mtu = f.inner->opts().network_mtu;
  ASSERT_TRUE(f.send(*h, mtu - LongHeader::kSize));
  ASSERT_TRUE(relay.receive());
  EXPECT_NE(h->state()->app_tx->load(), 0u);

  h->state()->app_tx->store(0);
  auto r = f.send(*h, mtu - LongHeader::kSize + 1);
  ASSERT_FALSE(r);
  ASSERT_EQ(r.error().kind(), Error::Kind::AppLenInvalid);
  EXPECT_EQ(r.error().get<Error::AppLenInvalid>()->len, mtu + 1);
  EXPECT_EQ(r.error().get<Error::AppLenInvalid>()->mtu, mtu);
  EXPECT_EQ(h->state()->app_tx->load(), 0u) << "a refused message counted as traffic";
}

TEST(SendHandle, DirectFailureIsReturnedWithoutRelaying) {
  SendFixture f;
  Receiver relay;
  SendHandleState st;
  st.direct_path = f.unreachable;
  st.direct_socket = f.socket;
  st.relay_udp_paths = {{relay.addr(), f.socket}};
  auto h = f.handle(st);
  auto r = f.send(*h);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::SendingDirectError);
  EXPECT_EQ(r.error().get<Error::SendingDirectError>()->addr, f.unreachable);
  EXPECT_FALSE(relay.receive());
  EXPECT_NE(h->state()->app_tx->load(), 0u) << "a failed delivery still counts as traffic";
}

TEST(SendHandle, RelayTriesUdpPathsInOrder) {
  SendFixture f;
  Receiver second;
  SendHandleState st;
  st.relay_udp_paths = {{f.unreachable, f.socket}, {second.addr(), f.socket}};
  auto h = f.handle(st);
  ASSERT_TRUE(f.send(*h));
  EXPECT_TRUE(second.receive());

  st.relay_udp_paths = {};
  auto none = f.handle(st);
  auto r = f.send(*none);
  ASSERT_FALSE(r);
  ASSERT_EQ(r.error().kind(), Error::Kind::SendingRelayedError);
  EXPECT_EQ(r.error().get<Error::SendingRelayedError>()->super_peer, f.sp.pk());
  EXPECT_EQ(r.error().get<Error::SendingRelayedError>()->recipient, f.dst.pk());
}

TEST(SendHandle, TcpLinkIsTakenBeforeUdpRelayPaths) {
  SendFixture f;
  Receiver relay;
  boost::asio::io_context io;
  ip::tcp::acceptor acceptor(io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0));
  ip::tcp::socket client(f.inner->executor());
  client.connect(acceptor.local_endpoint());
  ip::tcp::socket server = acceptor.accept();

  for (bool with_udp : {false, true}) {
    SendHandleState st;
    st.relay_tcp = std::make_shared<TcpWriter>(ip::tcp::socket(f.inner->executor(), ip::tcp::v4(), ::dup(client.native_handle())));
    if (with_udp) st.relay_udp_paths = {{relay.addr(), f.socket}};
    auto h = f.handle(st);
    ASSERT_TRUE(f.send(*h, 10));
    std::array<std::uint8_t, 2> len{};
    boost::asio::read(server, boost::asio::buffer(len));
    std::vector<std::uint8_t> frame((len[0] << 8) | len[1]);
    boost::asio::read(server, boost::asio::buffer(frame));
    EXPECT_TRUE(is_long_header_to(frame, f.dst.pk()));
    EXPECT_EQ(frame.size(), LongHeader::kSize + 10);
    EXPECT_FALSE(relay.receive());
  }
}

TEST(SendHandle, ClosedHandleSendsNothing) {
  SendFixture f;
  Receiver relay;
  SendHandleState st;
  st.relay_udp_paths = {{relay.addr(), f.socket}};
  auto h = f.handle(st);
  h->close();
  auto r = f.send(*h);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::SendHandleClosed);
  EXPECT_FALSE(relay.receive());
  EXPECT_EQ(h->state()->app_tx->load(), 0u);
}

}  // namespace
}  // namespace velarix::test
