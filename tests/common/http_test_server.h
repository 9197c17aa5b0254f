#pragma once
// A local HTTP/1.1 server for tests, plain or over TLS, on 127.0.0.1 with a
// port chosen by the system. It plays the controller API and configuration
// web servers: routes answer with any status, headers and body (also slowly,
// or with bytes that are not UTF-8), every request is recorded, and it can
// check what the controller expects of a request (Authorization by Bearer
// token or HMAC recomputed over the received body, the "velarix-pk" header,
// the order of the headers), refusing a wrong one with 401.

#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "common/test_pki.h"

namespace velarix::test {

struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  std::string rejected;  // why the server refused it ("" when it did not)

  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (lower(n) == lower(name)) return v;
    }
    return std::nullopt;
  }
  // Lower-cased names, in order.
  std::vector<std::string> header_names() const {
    std::vector<std::string> out;
    for (const auto& [n, v] : headers) out.push_back(lower(n));
    return out;
  }
  static std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
};

struct Reply {
  unsigned status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};  // before anything is sent
  std::optional<std::string> raw;      // these bytes instead of a response

  static Reply ok(std::string body) { return Reply{200, {}, std::move(body), {}, {}}; }
  static Reply redirect(unsigned status, std::string location) {
    return Reply{status, {{"Location", std::move(location)}}, {}, {}, {}};
  }
};

using Handler = std::function<Reply(const RecordedRequest&)>;

// What the controller API checks of every request.
struct ControllerChecks {
  std::optional<std::string> hmac_key;      // raw key bytes: "HMAC-Auth" expected
  std::optional<std::string> bearer_token;  // "Bearer" expected
  std::optional<std::string> node_pk;       // expected "velarix-pk"
};

class HttpTestServer {
 public:
  // Plain HTTP, or HTTPS with `tls` (certificate chain and key in PEM).
  explicit HttpTestServer(std::optional<PemPair> tls = std::nullopt)
      : acceptor_(ioc_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    if (tls) {
      tls_ = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
      tls_->use_certificate_chain(boost::asio::buffer(tls->cert_pem));
      tls_->use_private_key(boost::asio::buffer(tls->key_pem), boost::asio::ssl::context::pem);
    }
    port_ = acceptor_.local_endpoint().port();
    boost::asio::co_spawn(ioc_, accept_loop(), boost::asio::detached);
    thread_ = std::thread([this] { ioc_.run(); });
  }
  ~HttpTestServer() {
    ioc_.stop();
    thread_.join();
  }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://..."
  std::string base_url() const { return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_); }

  // Answers requests whose path (the target without its query) is `path`.
  void route(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
  }
  // Requests under `prefix` must pass the controller's checks.
  void check_controller(const std::string& prefix, ControllerChecks checks) {
    std::lock_guard lock(mutex_);
    checks_[prefix] = std::move(checks);
  }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

 private:
  using tcp = boost::asio::ip::tcp;
  static constexpr auto kTuple = boost::asio::as_tuple(boost::asio::use_awaitable);

  boost::asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(kTuple);
      if (ec) co_return;
      boost::asio::co_spawn(ioc_, serve(std::move(socket)), boost::asio::detached);
    }
  }

  boost::asio::awaitable<void> serve(tcp::socket socket) {
    if (!tls_) {
      co_await exchange(socket);
      co_return;
    }
    boost::beast::ssl_stream<tcp::socket> stream(std::move(socket), *tls_);
    auto [ec] = co_await stream.async_handshake(boost::asio::ssl::stream_base::server, kTuple);
    if (ec) co_return;  // the client refused our certificate
    co_await exchange(stream);
    co_await stream.async_shutdown(kTuple);
  }

  template <class Stream>
  boost::asio::awaitable<void> exchange(Stream& stream) {
    namespace http = boost::beast::http;
    boost::beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    parser.body_limit(16 * 1024 * 1024);
    auto [ec, n] = co_await http::async_read(stream, buffer, parser, kTuple);
    if (ec) co_return;
    const auto& req = parser.get();
    RecordedRequest rec;
    rec.method = std::string(req.method_string());
    rec.target = std::string(req.target());
    for (const auto& f : req) rec.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    rec.body = req.body();

    Reply reply;
    {
      std::lock_guard lock(mutex_);
      rec.rejected = check(rec);
      if (!rec.rejected.empty()) {
        reply = Reply{401, {}, "rejected: " + rec.rejected, {}, {}};
      } else {
        const std::string path = rec.target.substr(0, rec.target.find('?'));
        auto it = routes_.find(path);
        reply = it != routes_.end() ? it->second(rec) : Reply{404, {}, "no route", {}, {}};
      }
      requests_.push_back(rec);
    }

    if (reply.delay.count() > 0) {
      boost::asio::steady_timer timer(ioc_, reply.delay);
      co_await timer.async_wait(kTuple);
    }
    if (reply.raw) {
      co_await boost::asio::async_write(stream, boost::asio::buffer(*reply.raw), kTuple);
      co_return;
    }
    http::response<http::string_body> res;
    res.version(11);
    res.result(reply.status);
    for (const auto& [name, value] : reply.headers) res.insert(name, value);
    res.set(http::field::connection, "close");
    res.body() = std::move(reply.body);
    res.prepare_payload();
    co_await http::async_write(stream, res, kTuple);
  }

  // Holding `mutex_`: why `rec` fails the controller checks of its path, or "".
  std::string check(const RecordedRequest& rec) const {
    const ControllerChecks* checks = nullptr;
    for (const auto& [prefix, c] : checks_) {
      if (rec.target.starts_with(prefix)) checks = &c;
    }
    if (checks == nullptr) return {};
    const auto auth = rec.header("Authorization");
    if (!auth) return "no Authorization";
    if (checks->bearer_token && *auth != "Bearer " + *checks->bearer_token) return "wrong Bearer token";
    if (checks->hmac_key) {
      if (auto why = check_hmac(*auth, rec.body, *checks->hmac_key); !why.empty()) return why;
    }
    if (checks->node_pk && rec.header("velarix-pk") != checks->node_pk) return "wrong velarix-pk";
    // Connection, Authorization, then Accept or Content-Type, then velarix-pk.
    std::vector<std::string> order;
    for (const auto& name : rec.header_names()) {
      if (name == "connection" || name == "authorization" || name == "accept" || name == "content-type" ||
          name == "velarix-pk") {
        order.push_back(name);
      }
    }
    const std::string third = rec.header("Accept") ? "accept" : "content-type";
    std::vector<std::string> expected{"connection", "authorization", third};
    if (checks->node_pk) expected.push_back("velarix-pk");
    if (order != expected) return "header order";
    return {};
  }

  static std::string check_hmac(const std::string& auth, const std::string& body, const std::string& key) {
    const std::string scheme = "HMAC-Auth ";
    if (!auth.starts_with(scheme)) return "not HMAC-Auth";
    const auto colon = auth.find(':');
    if (colon == std::string::npos) return "HMAC-Auth without colon";
    const std::string ts = auth.substr(scheme.size(), colon - scheme.size());
    const std::string mac_hex = auth.substr(colon + 1);
    long long seconds = 0;
    try {
      seconds = std::stoll(ts);
    } catch (...) {
      return "bad timestamp";
    }
    const long long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    if (seconds < now - 300 || seconds > now + 300) return "stale timestamp";
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    std::string message = ts + std::string(reinterpret_cast<const char*>(digest), sizeof digest);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), mac, &mac_len);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string expected;
    for (unsigned i = 0; i < mac_len; ++i) {
      expected += kHex[mac[i] >> 4];
      expected += kHex[mac[i] & 15];
    }
    return mac_hex == expected ? std::string() : "wrong HMAC";
  }

  // Declared before the io_context: connections still open when it is
  // destroyed hold TLS streams made from this context.
  std::unique_ptr<boost::asio::ssl::context> tls_;
  boost::asio::io_context ioc_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Handler> routes_;
  std::map<std::string, ControllerChecks> checks_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

}  // namespace velarix::test
