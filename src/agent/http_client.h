#pragma once
// The agent's HTTP/1.1 client for "http" and "https" URLs: one request per
// connection, TLS that always verifies the server's chain and host name, and
// bounds on everything the server sends and on how long it may take.
//
// Trust anchors: the CA bundle compiled into the library, the system store,
// and OpenSSL's SSL_CERT_FILE / SSL_CERT_DIR when set (the way to add a
// private CA).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>

namespace velarix::agent {

// The largest response body the agent accepts; a larger one fails the request.
inline constexpr std::size_t kMaxResponseBody = 4 * 1024 * 1024;
// The largest response head (status line and header fields).
inline constexpr std::size_t kMaxResponseHead = 32 * 1024;

struct HttpError {
  enum class Kind : std::uint8_t {
    InvalidUrl,      // not an absolute http or https URL the client can use
    InvalidRequest,  // a header field the client refuses to send
    Connect,         // name resolution or TCP connection
    Tls,             // handshake or certificate verification
    Protocol,        // sending the request or reading the response head
    Timeout,         // the deadline passed
    BodyTooLarge,    // the body exceeds kMaxResponseBody
    Body,            // reading the body failed
  };
  Kind kind;
  std::string message;
  bool body_phase = false;  // the head had arrived when it failed
};

struct HttpField {
  std::string name;
  std::string value;
  friend bool operator==(const HttpField&, const HttpField&) = default;
};

// The URL split into what one request needs.
struct HttpTarget {
  bool tls = false;
  std::string host;         // as in the URL, IPv6 without brackets
  std::string port;         // explicit or the scheme's default
  std::string host_header;  // host[:port] as the URL writes it
  std::string target;       // origin form: path and query

  // From an absolute URL text; http and https only.
  static std::expected<HttpTarget, HttpError> from_url(std::string_view url);
};

struct HttpRequest {
  std::string method;
  HttpTarget target;
  std::vector<HttpField> fields;  // sent in this order, after "Host"
  std::string body;               // sent with Content-Length when not empty

  // Field names must be tokens and values must not hold control characters
  // (other than tab): a value must never end the field early.
  std::expected<void, std::string> check() const;
};

// Whether the response body is read.
enum class BodyPolicy : std::uint8_t { Always, OnSuccess /* 2xx only */ };

struct HttpResponse {
  unsigned status = 0;
  std::vector<HttpField> fields;
  std::optional<std::string> body;  // absent when not read

  // The first field of that name (ASCII case-insensitive), raw bytes.
  std::optional<std::string_view> field(std::string_view name) const;
};

// "404 Not Found": the code and its canonical reason phrase.
std::string status_text(unsigned status);

// Where `bytes` stops being UTF-8, described; nothing when all of it is.
std::optional<std::string> utf8_error(std::string_view bytes);

class HttpClient {
 public:
  // A client that verifies against the trust anchors (shared with earlier
  // clients unless SSL_CERT_FILE or SSL_CERT_DIR changed since).
  static HttpClient create();

  HttpClient() = default;  // a client that cannot do TLS: create() makes usable ones

  // Sends one request on a new connection ("Connection: close" is the
  // caller's field) and reads the response by `policy`, all before `deadline`.
  boost::asio::awaitable<std::expected<HttpResponse, HttpError>> send(
      const HttpRequest& request, BodyPolicy policy, std::chrono::steady_clock::time_point deadline) const;

 private:
  std::shared_ptr<boost::asio::ssl::context> tls_;
};

}  // namespace velarix::agent
