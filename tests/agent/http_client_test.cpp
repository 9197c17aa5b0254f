// The agent's HTTP client against a local server: targets, bounds on what a
// server may send and how long it may take, and TLS verification.

#include <gtest/gtest.h>

#include "agent/http_client.h"
#include "sync_test_support.h"

using namespace velarix::agent;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::HttpTestServer;
using velarix::test::RecordedRequest;
using velarix::test::Reply;
using velarix::test::TestCa;
using velarix::test::TrustedTestCa;

namespace {

using Clock = std::chrono::steady_clock;

std::expected<HttpResponse, HttpError> get(Runtime& rt, const HttpClient& client, const std::string& url,
                                           BodyPolicy policy = BodyPolicy::Always,
                                           std::chrono::milliseconds limit = std::chrono::seconds(5),
                                           std::vector<HttpField> fields = {}) {
  auto target = HttpTarget::from_url(url);
  if (!target) return std::unexpected(target.error());
  HttpRequest req{.method = "GET", .target = *target, .fields = std::move(fields), .body = {}};
  return block_on(rt, client.send(req, policy, Clock::now() + limit));
}

}  // namespace

TEST(HttpTarget, FromUrl) {
  struct Case {
    const char* url;
    bool tls;
    const char* host;
    const char* port;
    const char* host_header;
    const char* target;
  } cases[] = {
      {"http://example.com", false, "example.com", "80", "example.com", "/"},
      {"https://example.com/a/b?x=1&y=%20", true, "example.com", "443", "example.com", "/a/b?x=1&y=%20"},
      {"http://u:p@127.0.0.1:8080/c#frag", false, "127.0.0.1", "8080", "127.0.0.1:8080", "/c"},
      {"https://[::1]:8443/", true, "::1", "8443", "[::1]:8443", "/"},
      {"HTTP://Example.com/", false, "example.com", "80", "example.com", "/"},
      {"http://h:80/p q", false, "h", "80", "h", "/p%20q"},
      {"http:///path", false, "path", "80", "path", "/"},
  };
  for (const auto& c : cases) {
    auto t = HttpTarget::from_url(c.url);
    ASSERT_TRUE(t) << c.url << ": " << t.error().message;
    EXPECT_EQ(t->tls, c.tls) << c.url;
    EXPECT_EQ(t->host, c.host) << c.url;
    EXPECT_EQ(t->port, c.port) << c.url;
    EXPECT_EQ(t->host_header, c.host_header) << c.url;
    EXPECT_EQ(t->target, c.target) << c.url;
  }
  for (const char* bad : {"file:///etc/passwd", "ftp://example.com/", "http://", "not a url"}) {
    auto t = HttpTarget::from_url(bad);
    ASSERT_FALSE(t) << bad;
    EXPECT_EQ(t.error().kind, HttpError::Kind::InvalidUrl) << bad;
  }
  EXPECT_EQ(HttpTarget::from_url("file:///etc/passwd").error().message, "unsupported URL scheme 'file'");
}

TEST(HttpText, StatusLinesAndUtf8Errors) {
  EXPECT_EQ(status_text(404), "404 Not Found");
  EXPECT_EQ(status_text(302), "302 Found");
  EXPECT_EQ(status_text(418), "418 I'm a teapot");
  EXPECT_EQ(status_text(299), "299 <unknown status code>");

  struct Case {
    std::string bytes;
    std::optional<std::string> error;
  } cases[] = {
      {"plain ascii", std::nullopt},
      {"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", std::nullopt},
      {"\xff", "invalid utf-8 sequence from index 0"},
      {"ab\xc3", "invalid utf-8 sequence from index 2"},           // cut short
      {"a\xc0\xaf", "invalid utf-8 sequence from index 1"},        // overlong
      {"a\xed\xa0\x80", "invalid utf-8 sequence from index 1"},    // surrogate
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence from index 0"}, // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_error(c.bytes), c.error) << c.bytes;
}

TEST(HttpRequest, RefusesFieldsThatWouldEndEarly) {
  HttpRequest req{.method = "GET", .target = *HttpTarget::from_url("http://127.0.0.1/"), .fields = {}, .body = {}};
  req.fields = {{"Authorization", "Bearer a\tb"}};
  EXPECT_TRUE(req.check());
  req.fields = {{"Authorization", "Bearer a\r\nX-Injected: 1"}};
  EXPECT_FALSE(req.check());
  req.fields = {{"Bad Name", "v"}};
  EXPECT_FALSE(req.check());

  // send() refuses it too, before connecting anywhere.
  Runtime rt(1);
  const auto client = HttpClient::create();
  req.fields = {{"X", std::string("a\nb")}};
  auto r = block_on(rt, client.send(req, BodyPolicy::Always, Clock::now() + std::chrono::seconds(1)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, HttpError::Kind::InvalidRequest);
}

TEST(HttpClient, SendsFieldsInOrderAndReadsBodyByPolicy) {
  Runtime rt(2);
  HttpTestServer server;
  server.route("/doc", [](const RecordedRequest&) { return Reply::ok("document"); });
  server.route("/missing", [](const RecordedRequest&) { return Reply{404, {}, "error page", {}, {}}; });
  const auto client = HttpClient::create();

  auto r = get(rt, client, server.base_url() + "/doc?q=1", BodyPolicy::Always, std::chrono::seconds(5),
               {{"Connection", "close"}, {"velarix-pk", "abc"}, {"Authorization", "Basic eDp5"}});
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->status, 200u);
  EXPECT_EQ(r->body, "document");
  auto recorded = server.requests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].target, "/doc?q=1");
  EXPECT_EQ(recorded[0].header_names(), (std::vector<std::string>{"host", "connection", "velarix-pk", "authorization"}));
  EXPECT_EQ(recorded[0].header("Host"), "127.0.0.1:" + std::to_string(server.port()));

  auto missing = get(rt, client, server.base_url() + "/missing", BodyPolicy::OnSuccess);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404u);
  EXPECT_FALSE(missing->body) << "an error page is not read";
  missing = get(rt, client, server.base_url() + "/missing", BodyPolicy::Always);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->body, "error page");
}

TEST(HttpClient, BoundsWhatTheServerSends) {
  Runtime rt(2);
  HttpTestServer server;
  server.route("/big", [](const RecordedRequest&) { return Reply::ok(std::string(kMaxResponseBody + 1, 'x')); });
  server.route("/just-fits", [](const RecordedRequest&) { return Reply::ok(std::string(kMaxResponseBody, 'x')); });
  server.route("/big-chunked", [](const RecordedRequest&) {
    // No length announced: the bound is met while reading.
    const std::string chunk(1024 * 1024, 'c');
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 5; ++i) *r.raw += "100000\r\n" + chunk + "\r\n";
    *r.raw += "0\r\n\r\n";
    return r;
  });
  server.route("/huge-head", [](const RecordedRequest&) {
    return Reply{200, {{"X-Filler", std::string(kMaxResponseHead + 10, 'h')}}, "", {}, {}};
  });
  server.route("/cut", [](const RecordedRequest&) {
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..";
    return r;
  });
  server.route("/slow", [](const RecordedRequest&) { return Reply{200, {}, "late", std::chrono::seconds(3), {}}; });
  const auto client = HttpClient::create();
  // Bodies of megabytes take seconds under sanitizers on a busy machine: give
  // them time enough that only the size bound can end them.
  constexpr auto kBodyTime = std::chrono::seconds(60);

  auto big = get(rt, client, server.base_url() + "/big", BodyPolicy::Always, kBodyTime);
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind, HttpError::Kind::BodyTooLarge);
  EXPECT_TRUE(big.error().body_phase);
  EXPECT_EQ(big.error().message, "response body larger than 4194304 bytes");
  auto chunked = get(rt, client, server.base_url() + "/big-chunked", BodyPolicy::Always, kBodyTime);
  ASSERT_FALSE(chunked);
  EXPECT_EQ(chunked.error().kind, HttpError::Kind::BodyTooLarge);
  auto fits = get(rt, client, server.base_url() + "/just-fits", BodyPolicy::Always, kBodyTime);
  ASSERT_TRUE(fits) << fits.error().message;
  EXPECT_EQ(fits->body->size(), kMaxResponseBody);

  auto head = get(rt, client, server.base_url() + "/huge-head");
  ASSERT_FALSE(head);
  EXPECT_EQ(head.error().kind, HttpError::Kind::Protocol);
  EXPECT_EQ(head.error().message, "response head larger than 32768 bytes");

  auto cut = get(rt, client, server.base_url() + "/cut");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().kind, HttpError::Kind::Body);
  EXPECT_TRUE(cut.error().body_phase);

  const auto start = Clock::now();
  auto slow = get(rt, client, server.base_url() + "/slow", BodyPolicy::Always, std::chrono::milliseconds(300));
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().kind, HttpError::Kind::Timeout);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "the deadline ends the wait";
}

TEST(HttpClient, InterimHeadsAreSkippedWithinBounds) {
  Runtime rt(2);
  HttpTestServer server;
  const std::string final_head = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ndoc";
  const auto interim = [](int n, const std::string& fields = "") {
    std::string out;
    for (int i = 0; i < n; ++i) out += "HTTP/1.1 100 Continue\r\n" + fields + "\r\n";
    return out;
  };
  const std::string filler = "X-Filler: " + std::string(kMaxResponseHead / 2, 'f') + "\r\n";
  struct Case {
    const char* what;
    std::string raw;
    std::optional<std::string> body;  // absent: a protocol failure with this text
    std::string error = {};
  } cases[] = {
      {"one 100 Continue", interim(1) + final_head, "doc"},
      {"100 and 103 Early Hints with fields",
       interim(1) + "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n" + final_head, "doc"},
      {"eight interim heads", interim(8) + final_head, "doc"},
      {"nine interim heads", interim(9) + final_head, std::nullopt, "more than 8 interim (1xx) responses"},
      {"interim heads beyond the head limit together", interim(2, filler) + final_head, std::nullopt,
       "response head larger than 32768 bytes"},
      {"101 Switching Protocols", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n" + final_head,
       std::nullopt, "unexpected 101 Switching Protocols"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    server.route("/" + std::to_string(i), [raw = cases[i].raw](const RecordedRequest&) {
      Reply r;
      r.raw = raw;
      return r;
    });
  }
  const auto client = HttpClient::create();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.what);
    auto r = get(rt, client, server.base_url() + "/" + std::to_string(i));
    if (c.body) {
      ASSERT_TRUE(r) << r.error().message;
      EXPECT_EQ(r->status, 200u);
      EXPECT_EQ(r->body, c.body);
      EXPECT_EQ(r->field("Content-Length"), "3") << "the final head's fields";
    } else {
      ASSERT_FALSE(r) << "status " << r->status;
      EXPECT_EQ(r.error().kind, HttpError::Kind::Protocol);
      EXPECT_EQ(r.error().message, c.error);
    }
  }
}

TEST(HttpClient, ConnectionFailures) {
  Runtime rt(1);
  std::uint16_t closed_port;
  {
    HttpTestServer gone;
    closed_port = gone.port();
  }
  const auto client = HttpClient::create();
  auto refused = get(rt, client, "http://127.0.0.1:" + std::to_string(closed_port) + "/");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, HttpError::Kind::Connect);
  EXPECT_EQ(refused.error().message,
            "failed to connect to 127.0.0.1:" + std::to_string(closed_port) + ": Connection refused");
}

TEST(HttpClient, TlsVerifiesChainAndName) {
  Runtime rt(2);
  TrustedTestCa ca;
  TestCa stranger("Unknown CA");
  HttpTestServer good(ca.issue("DNS:localhost,IP:127.0.0.1"));
  HttpTestServer other_name(ca.issue("DNS:other.test"));
  HttpTestServer unknown_ca(stranger.issue("DNS:localhost,IP:127.0.0.1"));
  for (auto* s : {&good, &other_name, &unknown_ca}) {
    s->route("/", [](const RecordedRequest&) { return Reply::ok("secret"); });
  }
  const auto client = HttpClient::create();

  auto ok = get(rt, client, good.base_url() + "/");
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_EQ(ok->body, "secret");
  // By host name as well (SNI and name check), wherever localhost resolves.
  auto by_name = get(rt, client, "https://localhost:" + std::to_string(good.port()) + "/");
  ASSERT_TRUE(by_name) << by_name.error().message;

  struct Case {
    HttpTestServer* server;
    std::string reason;
  } cases[] = {
      {&other_name, "certificate verify failed: IP address mismatch"},
      {&unknown_ca, "certificate verify failed: unable to get local issuer certificate"},
  };
  for (const auto& c : cases) {
    auto r = get(rt, client, c.server->base_url() + "/");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, HttpError::Kind::Tls);
    EXPECT_EQ(r.error().message, "TLS handshake with 127.0.0.1 failed: " + c.reason);
    EXPECT_EQ(c.server->request_count(), 0u) << "nothing was sent";
  }
  auto wrong_name = get(rt, client, "https://localhost:" + std::to_string(other_name.port()) + "/");
  ASSERT_FALSE(wrong_name);
  EXPECT_EQ(wrong_name.error().message, "TLS handshake with localhost failed: certificate verify failed: hostname mismatch");
}
