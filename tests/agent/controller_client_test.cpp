// The controller API client against a local controller that checks its
// Authorization (HMAC recomputed over the body, or Bearer), "velarix-pk" and
// header order, and every error text the client can give.

#include <gtest/gtest.h>

#include "controller/client.h"
#include "sync_test_support.h"

using namespace velarix::controller;
using velarix::p2p::util::block_on;
using velarix::p2p::util::Runtime;
using velarix::test::ControllerChecks;
using velarix::test::HttpTestServer;
using velarix::test::RecordedRequest;
using velarix::test::Reply;

namespace {

// Base64url of "secret", the key the test controller checks against.
constexpr const char* kSecret = "c2VjcmV0";
constexpr const char* kNetworksPath = "/api/nodes/me/networks/config.toml";

const char* kTwoNetworks = R"(
[[network]]
id = "6a3c2f1e-8d4b-4c5a-9e7f-0123456789ab"
name = "Home"
network = "10.10.0.0/24"
[[network.node]]
pk = "a1f4f8e7d0a3c45b2f1e8d9c7b6a5f4e3d2c1b0a9f8e7d6c5b4a3f2e1d0c9b8a"
ip = "10.10.0.1"
hostname = "one"

[[network]]
id = "0f1e2d3c-4b5a-4968-8776-655443322110"
network = "10.20.0.0/16"
)";

velarix::p2p::PubKey node_key() { return velarix::p2p::Identity::generate(4)->pk(); }

class ControllerApi : public ::testing::Test {
 protected:
  ControllerClient client(ControllerAuth auth = ControllerAuth::hmac(kSecret)) {
    return ControllerClient{.auth = std::move(auth), .base_url = server_.base_url() + "/api", .node_pk = pk_,
                            .timeout = std::chrono::seconds(5)};
  }
  void checked() {
    server_.check_controller("/api/", ControllerChecks{.hmac_key = "secret", .bearer_token = {},
                                                       .node_pk = pk_.to_string()});
  }

  Runtime rt_{2};
  HttpTestServer server_;
  velarix::p2p::PubKey pk_ = node_key();
};

std::string text_of(const std::expected<void, Error>& r) { return r ? "<success>" : r.error().message(); }
template <class T>
std::string text_of(const std::expected<T, Error>& r) {
  return r ? "<success>" : r.error().message();
}

}  // namespace

TEST(ControllerHmac, HeaderMatchesAnIndependentComputation) {
  // Expected values from Python's hmac and hashlib.
  struct Case {
    std::string secret;
    std::int64_t ts;
    std::string body;
    std::string header;
  } cases[] = {
      {"c2VjcmV0", 1700000000, "", "HMAC-Auth 1700000000:3c8939523ea3e0a9a6610e7d1a08d9a23a3945a6031627ce7a4e3d3ffd029204"},
      {"c2VjcmV0", 1700000000, "{\"a\":1}",
       "HMAC-Auth 1700000000:43e638a8d1144e0260e446476382ba93e8abf7588394877cb36552601110486f"},
      {"", -5, "", "HMAC-Auth -5:eb66c7ced928c0c1f9bbc7623e66a667946081684ccd77895ad5f1b3482e4d93"},
      {"_-8", 42, "x", "HMAC-Auth 42:3ca1392038a1987be2d87cca13abcd6eeb3e602c4111eda041bc0cf418428229"},
  };
  for (const auto& c : cases) {
    auto h = ControllerClient::build_hmac_auth_header(
        c.secret, c.ts, std::span(reinterpret_cast<const std::uint8_t*>(c.body.data()), c.body.size()));
    ASSERT_TRUE(h) << c.secret;
    EXPECT_EQ(*h, c.header);
  }
  // Padding, the standard alphabet, stray bits and a lone character are all refused.
  for (const char* bad : {"c2VjcmV0=", "c2Vj+mV0", "QR", "Q", "c2 VjcmV0"}) {
    auto h = ControllerClient::build_hmac_auth_header(bad, 1, {});
    ASSERT_FALSE(h) << bad;
    EXPECT_EQ(h.error().message(),
              "Failed to build HTTP request: Failed to build authorization header: the shared secret is not URL-safe "
              "Base64 without padding");
  }
}

TEST_F(ControllerApi, GetsNetworksWithHmacAndKey) {
  checked();
  server_.route(kNetworksPath, [](const RecordedRequest&) { return Reply::ok(kTwoNetworks); });
  auto answer = block_on(rt_, client().get_networks_config_toml());
  ASSERT_TRUE(answer) << answer.error().message();
  ASSERT_EQ(answer->network.size(), 2u);
  EXPECT_EQ(answer->network[0].name, "Home");

  auto req = server_.requests().at(0);
  EXPECT_EQ(req.rejected, "");
  EXPECT_EQ(req.method, "GET");
  EXPECT_EQ(req.header_names(),
            (std::vector<std::string>{"host", "connection", "authorization", "accept", "velarix-pk"}));
  EXPECT_EQ(req.header("Accept"), "application/toml");
  EXPECT_EQ(req.header("Connection"), "close");
  EXPECT_TRUE(req.body.empty());

  // The controller recomputes the HMAC: another key is refused.
  auto wrong = client(ControllerAuth::hmac("b3RoZXI"));
  EXPECT_EQ(text_of(block_on(rt_, wrong.get_networks_config_toml())), "Unauthorized (401)");
  EXPECT_EQ(server_.requests().back().rejected, "wrong HMAC");
}

TEST_F(ControllerApi, BearerJsonAndMissingKey) {
  server_.check_controller("/api/", ControllerChecks{.hmac_key = {}, .bearer_token = "tok", .node_pk = {}});
  server_.route("/api/hello", [](const RecordedRequest&) { return Reply::ok("\"hello\""); });
  auto c = client(ControllerAuth::bearer("tok"));
  c.node_pk.reset();
  auto hello = block_on(rt_, c.get<std::string>("/hello", std::nullopt));
  ASSERT_TRUE(hello) << hello.error().message();
  EXPECT_EQ(*hello, "hello");
  auto req = server_.requests().at(0);
  EXPECT_EQ(req.rejected, "");
  EXPECT_EQ(req.header("Authorization"), "Bearer tok");
  EXPECT_EQ(req.header("Content-Type"), "application/json") << "no accept: Content-Type instead";
  EXPECT_FALSE(req.header("Accept"));
  EXPECT_FALSE(req.header("velarix-pk"));

  // Any other accept wraps the text as one JSON string.
  auto plain = block_on(rt_, c.get<std::string>("/hello", "text/plain"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, "\"hello\"");

  // Only the networks request needs the key; it refuses before sending.
  server_.clear();
  EXPECT_EQ(text_of(block_on(rt_, c.get_networks_config_toml())),
            "Failed to build HTTP request: get_networks_config_toml requires node public key to be set");
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(ControllerApi, PutSignsExactlyTheBytesSent) {
  checked();
  server_.route("/api/nodes/me/metrics", [](const RecordedRequest&) { return Reply::ok("not json at all"); });
  nlohmann::ordered_json body = {{"z", 1}, {"a", "line\nbreak"}, {"m", nullptr}};
  auto put = block_on(rt_, client().put("/nodes/me/metrics", body));
  EXPECT_EQ(text_of(put), "<success>") << "a 2xx body is not parsed";
  auto req = server_.requests().at(0);
  EXPECT_EQ(req.rejected, "");
  EXPECT_EQ(req.method, "PUT");
  EXPECT_EQ(req.body, R"({"z":1,"a":"line\nbreak","m":null})");
  EXPECT_EQ(req.header_names(),
            (std::vector<std::string>{"host", "connection", "authorization", "content-type", "velarix-pk",
                                      "content-length"}));

  // Metrics need HMAC; a doubled slash from the base URL is kept.
  auto bearer = client(ControllerAuth::bearer("tok"));
  EXPECT_EQ(text_of(block_on(rt_, bearer.upload_metrics({}))),
            "Failed to build HTTP request: upload_metrics requires HMAC authentication");
  server_.clear();
  auto slash = client();
  slash.base_url += "/";
  server_.route("/api//nodes/me/metrics", [](const RecordedRequest&) { return Reply::ok(""); });
  EXPECT_EQ(text_of(block_on(rt_, slash.upload_metrics({}))), "<success>");
  EXPECT_EQ(server_.requests().at(0).target, "/api//nodes/me/metrics");
}

TEST_F(ControllerApi, EveryErrorText) {
  std::uint16_t closed_port;
  {
    HttpTestServer gone;
    closed_port = gone.port();
  }
  auto status = [](unsigned code, std::string body = "error page") {
    return [code, body](const RecordedRequest&) { return Reply{code, {}, body, {}, {}}; };
  };
  server_.route("/api/s/latin1-500", status(500, "\xe9t\xe9"));
  server_.route("/api/bad-toml", [](const RecordedRequest&) { return Reply::ok("network = ["); });
  server_.route("/api/bad-json", [](const RecordedRequest&) { return Reply::ok("{"); });
  server_.route("/api/cut", [](const RecordedRequest&) {
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nshort";
    return r;
  });
  server_.route("/api/big", [](const RecordedRequest&) {
    return Reply::ok(std::string(velarix::agent::kMaxResponseBody + 1, 'x'));
  });
  server_.route("/api/slow", [](const RecordedRequest&) { return Reply{200, {}, "{}", std::chrono::seconds(3), {}}; });
  for (unsigned code : {301u, 302u, 400u, 401u, 403u, 404u, 418u, 500u, 501u, 502u, 503u, 504u}) {
    server_.route("/api/s/" + std::to_string(code), status(code));
  }

  using Get = std::function<std::expected<std::string, Error>(ControllerClient&)>;
  auto get_toml = [this](const std::string& path) -> Get {
    return [this, path](ControllerClient& c) -> std::expected<std::string, Error> {
      auto r = block_on(rt_, c.get<velarix::network::MultiNetworkConfig>(path, "application/toml"));
      if (!r) return std::unexpected(r.error());
      return std::string("<parsed>");
    };
  };
  auto get_as = [this](const std::string& path, std::optional<std::string> accept) -> Get {
    return [this, path, accept](ControllerClient& c) -> std::expected<std::string, Error> {
      auto r = block_on(rt_, c.get<velarix::network::MultiNetworkConfig>(path, accept));
      if (!r) return std::unexpected(r.error());
      return std::string("<parsed>");
    };
  };
  struct Case {
    std::string what;
    std::function<void(ControllerClient&)> setup;
    Get call;
    std::string text;
  } cases[] = {
      {"not a URI", [](ControllerClient& c) { c.base_url = "no scheme here"; }, get_toml("/x"), "Failed to parse URI: "},
      {"not http", [](ControllerClient& c) { c.base_url = "ftp://127.0.0.1/api"; }, get_toml("/x"),
       "HTTP request failed: unsupported URL scheme 'ftp'"},
      {"bad secret", [](ControllerClient& c) { c.auth = ControllerAuth::hmac("c2VjcmV0="); }, get_toml("/x"),
       "Failed to build HTTP request: Failed to build authorization header: "},
      {"header not buildable", [](ControllerClient& c) { c.auth = ControllerAuth::bearer("tok\r\nX: y"); },
       get_toml("/x"), "Failed to build HTTP request: Failed to build request: invalid HTTP header value for "
                       "'Authorization'"},
      {"refused", [closed_port](ControllerClient& c) {
         c.base_url = "http://127.0.0.1:" + std::to_string(closed_port) + "/api";
       }, get_toml("/x"), "HTTP request failed: failed to connect to 127.0.0.1:" + std::to_string(closed_port) +
                              ": Connection refused"},
      {"slow", [](ControllerClient& c) { c.timeout = std::chrono::milliseconds(300); }, get_toml("/slow"),
       "HTTP request failed: request timed out after 300 ms"},
      {"cut body", {}, get_toml("/cut"), "Failed to read response body: Failed to collect response body: "},
      {"big body", {}, get_toml("/big"),
       "Failed to read response body: Failed to collect response body: response body larger than 4194304 bytes"},
      {"not UTF-8 before the status", {}, get_toml("/s/latin1-500"),
       "Failed to parse response body as UTF-8: invalid utf-8 sequence from index 0"},
      {"bad TOML", {}, get_toml("/bad-toml"), "Failed to parse response body as JSON: Failed to parse TOML response: "},
      {"bad JSON", {}, get_as("/bad-json", std::nullopt),
       "Failed to parse response body as JSON: Failed to parse response as JSON: "},
      {"not a string", {}, get_as("/bad-json", "text/plain"),
       "Failed to parse response body as JSON: Failed to parse response as String: "},
      {"301", {}, get_toml("/s/301"), "Server returned error status 301"},
      {"302", {}, get_toml("/s/302"), "Server returned error status 302"},
      {"400", {}, get_toml("/s/400"), "Server returned error status 400"},
      {"401", {}, get_toml("/s/401"), "Unauthorized (401)"},
      {"403", {}, get_toml("/s/403"), "Forbidden (403)"},
      {"404", {}, get_toml("/s/404"), "Not found (404)"},
      {"418", {}, get_toml("/s/418"), "Server returned error status 418"},
      {"500", {}, get_toml("/s/500"), "Internal server error (500)"},
      {"501", {}, get_toml("/s/501"), "Server returned error status 501"},
      {"502", {}, get_toml("/s/502"), "Bad gateway (502)"},
      {"503", {}, get_toml("/s/503"), "Service unavailable (503)"},
      {"504", {}, get_toml("/s/504"), "Gateway timeout (504)"},
  };
  for (const auto& c : cases) {
    auto cl = client();
    if (c.setup) c.setup(cl);
    auto r = c.call(cl);
    const std::string text = r ? "<success>" : r.error().message();
    EXPECT_TRUE(text.starts_with(c.text)) << c.what << "\n  got: " << text << "\n  want: " << c.text;
    if (c.text.back() != ' ') {
      EXPECT_EQ(text, c.text) << c.what;
    }
  }

  // A body that cannot be written as JSON (a text that is not UTF-8).
  nlohmann::ordered_json bad = {{"k", std::string("\xff")}};
  auto put = block_on(rt_, client().put("/s/404", bad));
  EXPECT_TRUE(text_of(put).starts_with("Failed to build HTTP request: Failed to serialize request body: "))
      << text_of(put);
}

TEST(ControllerError, FromStatusDropsTheBody) {
  EXPECT_EQ(Error::from_status(503, "details"), Error::plain(Error::Kind::ServiceUnavailable));
  EXPECT_EQ(Error::from_status(599, "details").message(), "Server returned error status 599");
  EXPECT_EQ(Error::with_text(Error::Kind::HttpClientBuild, "x").message(), "Failed to build HTTP client: x");
  EXPECT_EQ(Error::with_text(Error::Kind::AuthenticationFailed, "y").message(), "Authentication failed: y");
}
