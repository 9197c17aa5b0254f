#include "agent/http_client.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <fmt/format.h>

#include "agent/url.h"
#include "util/resolver.h"
#include "util/text.h"

namespace velarix::agent {

namespace detail {
extern const unsigned char kTrustAnchorsPem[];
extern const std::size_t kTrustAnchorsPemSize;
}  // namespace detail

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// Interim (1xx) responses skipped before the final one; a server sends one or two.
constexpr std::size_t kMaxInterimResponses = 8;

// The compiled-in anchors, parsed once; every client's store takes references.
class EmbeddedAnchors {
 public:
  EmbeddedAnchors() {
    BIO* bio = BIO_new_mem_buf(detail::kTrustAnchorsPem, static_cast<int>(detail::kTrustAnchorsPemSize));
    if (bio != nullptr) {
      while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs_.push_back(cert);
      BIO_free(bio);
    }
    ERR_clear_error();  // the end of the bundle reads as an error
  }
  ~EmbeddedAnchors() {
    for (X509* cert : certs_) X509_free(cert);
  }
  EmbeddedAnchors(const EmbeddedAnchors&) = delete;
  EmbeddedAnchors& operator=(const EmbeddedAnchors&) = delete;

  const std::vector<X509*>& certs() const noexcept { return certs_; }

 private:
  std::vector<X509*> certs_;
};

const std::vector<X509*>& embedded_anchors() {
  static const EmbeddedAnchors anchors;
  return anchors.certs();
}

bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

HttpError error(HttpError::Kind kind, std::string message, bool body_phase = false) {
  return HttpError{kind, std::move(message), body_phase};
}

bool timed_out(const boost::system::error_code& ec, Clock::time_point deadline) {
  return ec == beast::error::timeout || Clock::now() >= deadline;
}

HttpError timeout_error(bool body_phase = false) {
  return error(HttpError::Kind::Timeout, "request timed out", body_phase);
}

// Resolution within the deadline; a name that is not answered by then costs only this request.
asio::awaitable<std::expected<tcp::resolver::results_type, HttpError>> resolve(const std::string& host,
                                                                               const std::string& port,
                                                                               Clock::time_point deadline) {
  const auto port_number = static_cast<std::uint16_t>(std::stoul(port));
  auto found = co_await p2p::util::resolve_host(host, deadline);
  if (!found && found.error() == asio::error::timed_out) co_return std::unexpected(timeout_error());
  if (!found) {
    co_return std::unexpected(
        error(HttpError::Kind::Connect, fmt::format("failed to resolve {}: {}", host, found.error().message())));
  }
  if (found->empty()) {
    co_return std::unexpected(error(HttpError::Kind::Connect, fmt::format("no address found for {}", host)));
  }
  std::vector<tcp::endpoint> endpoints;
  endpoints.reserve(found->size());
  for (const auto& ip : *found) endpoints.emplace_back(ip, port_number);
  co_return tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(), host, port);
}

template <class Stream>
asio::awaitable<std::expected<HttpResponse, HttpError>> exchange(Stream& stream, const HttpRequest& request,
                                                                 BodyPolicy policy, Clock::time_point deadline) {
  http::request<http::string_body> req;
  req.version(11);
  req.method_string(request.method);
  req.target(request.target.target);
  req.set(http::field::host, request.target.host_header);
  for (const auto& f : request.fields) req.insert(f.name, f.value);
  if (!request.body.empty()) {
    req.body() = request.body;
    req.content_length(request.body.size());
  }

  auto [write_ec, written] = co_await http::async_write(stream, req, kTuple);
  (void)written;
  if (write_ec) {
    if (timed_out(write_ec, deadline)) co_return std::unexpected(timeout_error());
    co_return std::unexpected(
        error(HttpError::Kind::Protocol, "failed to send the request: " + write_ec.message()));
  }

  beast::flat_buffer buffer(2 * kMaxResponseHead);
  // Interim (1xx) heads come before the final one and are skipped; together
  // with it they stay within the head limit, and only so many may come.
  std::optional<http::response_parser<http::string_body>> head;
  std::size_t head_bytes = 0;
  for (std::size_t interim = 0;; ++interim) {
    head.emplace();
    head->header_limit(static_cast<std::uint32_t>(kMaxResponseHead - head_bytes));
    // No body limit yet: a response whose body is not read may announce any size.
    head->body_limit(boost::none);
    auto [head_ec, head_n] = co_await http::async_read_header(stream, buffer, *head, kTuple);
    if (head_ec) {
      if (timed_out(head_ec, deadline)) co_return std::unexpected(timeout_error());
      if (head_ec == http::error::header_limit || head_ec == http::error::buffer_overflow) {
        co_return std::unexpected(error(HttpError::Kind::Protocol,
                                        fmt::format("response head larger than {} bytes", kMaxResponseHead)));
      }
      co_return std::unexpected(
          error(HttpError::Kind::Protocol, "failed to read the response head: " + head_ec.message()));
    }
    head_bytes += head_n;
    const unsigned status = head->get().result_int();
    if (status < 100 || status > 199) break;
    // Nothing asked to switch protocols: what follows would not be HTTP.
    if (status == 101) {
      co_return std::unexpected(error(HttpError::Kind::Protocol, "unexpected 101 Switching Protocols"));
    }
    if (interim == kMaxInterimResponses) {
      co_return std::unexpected(
          error(HttpError::Kind::Protocol, fmt::format("more than {} interim (1xx) responses", kMaxInterimResponses)));
    }
  }
  auto& parser = *head;

  HttpResponse response;
  response.status = parser.get().result_int();
  for (const auto& f : parser.get()) {
    response.fields.push_back(HttpField{std::string(f.name_string()), std::string(f.value())});
  }
  const bool success = response.status >= 200 && response.status <= 299;
  if (policy == BodyPolicy::Always || success) {
    const auto too_large = [] {
      return error(HttpError::Kind::BodyTooLarge, fmt::format("response body larger than {} bytes", kMaxResponseBody),
                   true);
    };
    if (const auto announced = parser.content_length(); announced && *announced > kMaxResponseBody) {
      co_return std::unexpected(too_large());
    }
    parser.body_limit(kMaxResponseBody);
    if (!parser.is_done()) {
      auto [body_ec, body_n] = co_await http::async_read(stream, buffer, parser, kTuple);
      (void)body_n;
      if (body_ec) {
        if (body_ec == http::error::body_limit) co_return std::unexpected(too_large());
        if (timed_out(body_ec, deadline)) co_return std::unexpected(timeout_error(true));
        co_return std::unexpected(error(HttpError::Kind::Body, body_ec.message(), true));
      }
    }
    response.body = std::move(parser.get().body());
  }
  co_return response;
}

std::string verify_failure(SSL* ssl, const boost::system::error_code& ec) {
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) return std::string("certificate verify failed: ") + X509_verify_cert_error_string(result);
  return ec.message();
}

constexpr std::pair<unsigned, std::string_view> kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {418, "I'm a teapot"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

}  // namespace

std::string status_text(unsigned status) {
  for (const auto& [code, reason] : kReasons) {
    if (code == status) return fmt::format("{} {}", status, reason);
  }
  return fmt::format("{} <unknown status code>", status);
}

std::optional<std::string> utf8_error(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < n) {
    const unsigned char b = at(i);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      const unsigned char c = at(i + k);
      ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    }
    if (!ok) return fmt::format("invalid utf-8 sequence from index {}", i);
    i += len;
  }
  return std::nullopt;
}

std::expected<HttpTarget, HttpError> HttpTarget::from_url(std::string_view text) {
  auto parsed = Url::parse(text);
  if (!parsed) return std::unexpected(error(HttpError::Kind::InvalidUrl, "invalid URL: " + parsed.error()));
  const auto& u = *parsed;
  const std::string scheme(u.scheme());
  HttpTarget t;
  if (scheme == "https") {
    t.tls = true;
  } else if (scheme != "http") {
    return std::unexpected(error(HttpError::Kind::InvalidUrl, fmt::format("unsupported URL scheme '{}'", scheme)));
  }
  const std::string_view host = u.host();
  if (host.empty()) return std::unexpected(error(HttpError::Kind::InvalidUrl, "URL without a host"));
  // An IPv6 host is written in brackets; the resolver wants the bare address.
  t.host = host.starts_with('[') && host.ends_with(']') ? std::string(host.substr(1, host.size() - 2))
                                                         : std::string(host);
  t.port = std::to_string(u.port_or_known_default().value_or(t.tls ? 443 : 80));
  // The URL's serialisation leaves a scheme's default port out, and so does the Host field.
  t.host_header = std::string(host);
  if (u.port()) t.host_header += ":" + std::to_string(*u.port());
  t.target = u.path().empty() ? "/" : std::string(u.path());
  if (auto query = u.query()) {
    t.target += '?';
    t.target += *query;
  }
  return t;
}

std::expected<void, std::string> HttpRequest::check() const {
  for (const auto& f : fields) {
    if (f.name.empty() || !std::all_of(f.name.begin(), f.name.end(), [](char c) {
          return is_token_char(static_cast<unsigned char>(c));
        })) {
      return std::unexpected(fmt::format("invalid HTTP header name '{}'", f.name));
    }
    for (char c : f.value) {
      const auto b = static_cast<unsigned char>(c);
      if ((b < 0x20 && b != '\t') || b == 0x7F) {
        return std::unexpected(fmt::format("invalid HTTP header value for '{}'", f.name));
      }
    }
  }
  return {};
}

std::optional<std::string_view> HttpResponse::field(std::string_view name) const {
  const std::string lower = util::ascii_lower(name);
  for (const auto& f : fields) {
    if (util::ascii_lower(f.name) == lower) return std::string_view(f.value);
  }
  return std::nullopt;
}

namespace {

std::shared_ptr<ssl::context> make_tls_context() {
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX* ctx = tls->native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  for (X509* cert : embedded_anchors()) X509_STORE_add_cert(store, cert);
  // The system store, or what SSL_CERT_FILE / SSL_CERT_DIR name; missing ones are fine.
  boost::system::error_code ec;
  tls->set_default_verify_paths(ec);
  ERR_clear_error();
  tls->set_verify_mode(ssl::verify_peer);
  return tls;
}

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

HttpClient HttpClient::create() {
  // Loading the stores costs a parse of every anchor: share one context while
  // the environment still names the same extra anchors.
  static std::mutex mutex;
  static std::shared_ptr<ssl::context> cached;
  static std::string cached_key;
  const std::string key = env_or_empty("SSL_CERT_FILE") + '\n' + env_or_empty("SSL_CERT_DIR");
  HttpClient client;
  std::lock_guard lock(mutex);
  if (!cached || cached_key != key) {
    cached = make_tls_context();
    cached_key = key;
  }
  client.tls_ = cached;
  return client;
}

asio::awaitable<std::expected<HttpResponse, HttpError>> HttpClient::send(const HttpRequest& request,
                                                                         BodyPolicy policy,
                                                                         Clock::time_point deadline) const {
  if (auto ok = request.check(); !ok) co_return std::unexpected(error(HttpError::Kind::InvalidRequest, ok.error()));
  const HttpTarget& target = request.target;
  if (target.tls && !tls_) co_return std::unexpected(error(HttpError::Kind::Tls, "TLS is not configured"));

  auto endpoints = co_await resolve(target.host, target.port, deadline);
  if (!endpoints) co_return std::unexpected(std::move(endpoints.error()));

  auto executor = co_await asio::this_coro::executor;
  beast::tcp_stream tcp(executor);
  tcp.expires_at(deadline);
  auto [connect_ec, endpoint] = co_await tcp.async_connect(*endpoints, kTuple);
  (void)endpoint;
  if (connect_ec) {
    if (timed_out(connect_ec, deadline)) co_return std::unexpected(timeout_error());
    co_return std::unexpected(error(HttpError::Kind::Connect, fmt::format("failed to connect to {}:{}: {}", target.host,
                                                                          target.port, connect_ec.message())));
  }

  if (!target.tls) {
    auto response = co_await exchange(tcp, request, policy, deadline);
    boost::system::error_code ignored;
    tcp.socket().shutdown(tcp::socket::shutdown_both, ignored);
    co_return response;
  }

  beast::ssl_stream<beast::tcp_stream> stream(std::move(tcp), *tls_);
  SSL* ssl_handle = stream.native_handle();
  boost::system::error_code ip_ec;
  const bool is_ip = (asio::ip::make_address(target.host, ip_ec), !ip_ec);
  if (!is_ip) SSL_set_tlsext_host_name(ssl_handle, target.host.c_str());
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_handle);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const int set = is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, target.host.c_str())
                        : X509_VERIFY_PARAM_set1_host(param, target.host.data(), target.host.size());
  if (set != 1) {
    ERR_clear_error();
    co_return std::unexpected(
        error(HttpError::Kind::Tls, fmt::format("cannot verify the host name '{}'", target.host)));
  }
  stream.set_verify_mode(ssl::verify_peer);

  auto [hs_ec] = co_await stream.async_handshake(ssl::stream_base::client, kTuple);
  if (hs_ec) {
    if (timed_out(hs_ec, deadline)) co_return std::unexpected(timeout_error());
    const std::string reason = verify_failure(ssl_handle, hs_ec);
    ERR_clear_error();
    co_return std::unexpected(
        error(HttpError::Kind::Tls, fmt::format("TLS handshake with {} failed: {}", target.host, reason)));
  }
  auto response = co_await exchange(stream, request, policy, deadline);
  ERR_clear_error();
  co_return response;
}

}  // namespace velarix::agent
