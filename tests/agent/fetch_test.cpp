// Fetching a network configuration over http(s): redirects, credentials,
// the node's key, and every failure text, against a local server.

#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "sync_test_support.h"

using namespace velarix::agent;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::HttpTestServer;
using velarix::test::LogCapture;
using velarix::test::RecordedRequest;
using velarix::test::Reply;
using velarix::test::TestCa;
using velarix::test::TrustedTestCa;

namespace {

using Clock = std::chrono::steady_clock;

class Fetch : public ::testing::Test {
 protected:
  std::expected<std::string, Error> fetch(const std::string& url) {
    return block_on(rt_, inner_->fetch_with_redirects(url, Clock::now() + std::chrono::seconds(5)));
  }
  std::string fetch_error(const std::string& url) {
    auto r = fetch(url);
    return r ? "<success: " + *r + ">" : r.error().message();
  }
  // /r/N redirects to /r/N-1 (relative), /r/0 answers.
  void redirect_chain(HttpTestServer& s) {
    s.route("/r/0", [](const RecordedRequest&) { return Reply::ok("end of chain"); });
    for (int n = 1; n <= 6; ++n) {
      s.route("/r/" + std::to_string(n), [n](const RecordedRequest&) {
        return Reply::redirect(302, "/r/" + std::to_string(n - 1));
      });
    }
  }

  Runtime rt_{2};
  TrustedTestCa ca_;  // before the agent core: its client trusts the CA
  std::shared_ptr<AgentInner> inner_ = velarix::test::bare_inner(rt_);
  HttpTestServer server_;
};

}  // namespace

TEST_F(Fetch, SendsKeyAndCredentialsInOrder) {
  server_.route("/net.toml", [](const RecordedRequest&) { return Reply::ok("doc"); });
  const std::string base = "127.0.0.1:" + std::to_string(server_.port()) + "/net.toml";
  const std::string pk = inner_->own_pk.to_string();
  struct Case {
    std::string userinfo;
    std::optional<std::string> authorization;
  } cases[] = {
      {"", std::nullopt},
      {"alice:s3cret@", "Basic YWxpY2U6czNjcmV0"},
      // Percent-encoded credentials are sent as written, not decoded.
      {"al%40ice:p%3Ass@", "Basic YWwlNDBpY2U6cCUzQXNz"},
      {"alice@", std::nullopt},   // no password
      {"alice:@", std::nullopt},  // empty password
      {":s3cret@", std::nullopt}, // empty user name
  };
  for (const auto& c : cases) {
    server_.clear();
    ASSERT_EQ(fetch("http://" + c.userinfo + base), "doc") << c.userinfo;
    auto req = server_.requests().at(0);
    EXPECT_EQ(req.method, "GET");
    EXPECT_EQ(req.header("velarix-pk"), pk);
    EXPECT_EQ(req.header("Connection"), "close");
    EXPECT_EQ(req.header("Authorization"), c.authorization) << c.userinfo;
    std::vector<std::string> order{"host", "connection", "velarix-pk"};
    if (c.authorization) order.push_back("authorization");
    EXPECT_EQ(req.header_names(), order) << c.userinfo;
  }
}

TEST_F(Fetch, FollowsFourRedirectsAndRefusesTheFifth) {
  redirect_chain(server_);
  LogCapture::get().clear();
  EXPECT_EQ(fetch(server_.base_url() + "/r/4"), "end of chain");
  EXPECT_EQ(server_.request_count(), 5u);

  server_.clear();
  LogCapture::get().clear();
  const std::string url = server_.base_url() + "/r/5";
  EXPECT_EQ(fetch_error(url), "Configuration parse error: Too many redirects (max 5): " + url);
  EXPECT_EQ(server_.request_count(), 5u) << "no sixth request";
  if (LogCapture::get().installed()) {
    auto lines = LogCapture::get().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "trace Following redirect 5: " + server_.base_url() + "/r/1 -> /r/0");
  }
}

TEST_F(Fetch, ResolvesLocationsAgainstTheCurrentUrl) {
  const std::string port = std::to_string(server_.port());
  server_.route("/start", [](const RecordedRequest&) { return Reply::redirect(301, "/moved?x=1"); });
  server_.route("/moved", [](const RecordedRequest&) { return Reply::ok("moved here"); });
  server_.route("/upper", [port](const RecordedRequest&) {
    return Reply::redirect(307, "HTTP://127.0.0.1:" + port + "/moved");
  });
  server_.route("/no-location", [](const RecordedRequest&) { return Reply{302, {}, "", {}, {}}; });
  server_.route("/empty", [](const RecordedRequest&) { return Reply{204, {}, "", {}, {}}; });

  // A bare path keeps user name, password and port: the credentials go along again.
  EXPECT_EQ(fetch("http://bob:pw@127.0.0.1:" + port + "/start"), "moved here");
  auto reqs = server_.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].target, "/moved?x=1");
  EXPECT_EQ(reqs[1].header("Authorization"), "Basic Ym9iOnB3");

  // An absolute Location in upper case is resolved, not taken verbatim, and works.
  EXPECT_EQ(fetch(server_.base_url() + "/upper"), "moved here");
  EXPECT_EQ(fetch_error(server_.base_url() + "/no-location"),
            "Configuration parse error: HTTP request failed with status '302 Found'");
  EXPECT_EQ(fetch(server_.base_url() + "/empty"), "");
}

TEST_F(Fetch, NeverFollowsARedirectOutOfHttp) {
  velarix::test::TempDir dir;
  const std::string secret = dir.file("secret.toml");
  velarix::test::write_text(secret, "not for the network");
  server_.route("/to-file", [secret](const RecordedRequest&) {
    return Reply::redirect(302, "file://" + secret);
  });
  server_.route("/to-ftp", [](const RecordedRequest&) { return Reply::redirect(302, "ftp://127.0.0.1/x"); });
  EXPECT_EQ(fetch_error(server_.base_url() + "/to-file"), "HTTP client error: unsupported URL scheme 'file'");
  EXPECT_EQ(fetch_error(server_.base_url() + "/to-ftp"), "HTTP client error: unsupported URL scheme 'ftp'");
}

TEST_F(Fetch, EveryFailureText) {
  std::uint16_t closed_port;
  {
    HttpTestServer gone;
    closed_port = gone.port();
  }
  TestCa stranger("Unknown CA");
  HttpTestServer untrusted(stranger.issue("DNS:localhost,IP:127.0.0.1"));
  untrusted.route("/", [](const RecordedRequest&) { return Reply::ok("x"); });
  server_.route("/404", [](const RecordedRequest&) { return Reply{404, {}, "gone", {}, {}}; });
  server_.route("/500", [](const RecordedRequest&) { return Reply{500, {}, "", {}, {}}; });
  server_.route("/latin1", [](const RecordedRequest&) { return Reply::ok("caf\xe9"); });
  server_.route("/big", [](const RecordedRequest&) { return Reply::ok(std::string(kMaxResponseBody + 1, 'x')); });
  server_.route("/cut", [](const RecordedRequest&) {
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort";
    return r;
  });
  server_.route("/bad-location", [](const RecordedRequest&) { return Reply::redirect(302, "//[::1/x"); });
  redirect_chain(server_);
  const std::string base = server_.base_url();
  const std::string closed = "http://127.0.0.1:" + std::to_string(closed_port) + "/";

  struct Case {
    std::string url;
    std::string text;
  } cases[] = {
      {"http://[::1/", "URL parsing error: "},
      {base + "/bad-location", "URL parsing error: "},
      {closed, "HTTP client error: failed to connect to 127.0.0.1:" + std::to_string(closed_port) +
                   ": Connection refused"},
      {untrusted.base_url() + "/",
       "HTTP client error: TLS handshake with 127.0.0.1 failed: certificate verify failed: unable to get local issuer "
       "certificate"},
      {base + "/r/5", "Configuration parse error: Too many redirects (max 5): " + base + "/r/5"},
      {base + "/404", "Configuration parse error: HTTP request failed with status '404 Not Found'"},
      {base + "/500", "Configuration parse error: HTTP request failed with status '500 Internal Server Error'"},
      {base + "/cut", "hyper error: "},
      {base + "/big", "hyper error: response body larger than 4194304 bytes"},
      {base + "/latin1", "UTF8 error: invalid utf-8 sequence from index 3"},
  };
  for (const auto& c : cases) {
    const auto text = fetch_error(c.url);
    EXPECT_TRUE(text.starts_with(c.text)) << c.url << "\n  got: " << text << "\n  want: " << c.text;
  }
}

TEST(FileUrl, OpensTheParsedUrlsDecodedPath) {
  velarix::test::TempDir dir;
  const std::string base = dir.path().string();
  velarix::test::write_text(base + "/a b.toml", "spaced");
  velarix::test::write_text(base + "/plain.toml", "plain");
  velarix::test::write_text(base + "/100%.toml", "percent");
  struct Case {
    std::string url;
    std::string result;  // the text read, or the error's message
  } cases[] = {
      {"file://" + base + "/plain.toml", "plain"},
      {"file://" + base + "/a%20b.toml", "spaced"},
      {"file://" + base + "/a b.toml", "spaced"},
      {"file://" + base + "/100%25.toml", "percent"},
      {"file://localhost" + base + "/plain.toml", "plain"},
      {"FILE://LOCALHOST" + base + "/plain.toml", "plain"},
      {"file://" + base + "/plain.toml?x=1", "plain"},
      {"file://" + base + "/plain.toml#part", "plain"},
      {"file://" + base + "/./sub/../plain.toml", "plain"},
      {"file://server" + base + "/plain.toml",
       "I/O error: file URL with host 'server': only local files (no host, or localhost) can be read"},
      // What follows "file://" is the host, not the start of a relative path.
      {"file://plain.toml", "I/O error: file URL with host 'plain.toml': only local files (no host, or localhost) can "
                            "be read"},
      {"file://" + base + "/plain.toml%00.txt", "I/O error: file URL path holds a NUL byte"},
      {"file://" + base + "/missing.toml", "I/O error: No such file or directory (os error 2)"},
      {"file://[::1/x", "URL parsing error: invalid IPv6 address"},
  };
  for (const auto& c : cases) {
    auto r = AgentInner::read_file_url(c.url);
    EXPECT_EQ(r ? *r : r.error().message(), c.result) << c.url;
  }
}
