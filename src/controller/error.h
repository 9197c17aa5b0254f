#pragma once
// Failures of controller API requests, each with its fixed text.

#include <cstdint>
#include <string>

namespace velarix::controller::error {

class Error {
 public:
  enum class Kind : std::uint8_t {
    HttpClientBuild,
    UriParse,
    RequestBuild,
    RequestFailed,
    ResponseBody,
    ResponseUtf8,
    ResponseParse,
    AuthenticationFailed,
    ErrorStatus,
    Unauthorized,
    Forbidden,
    NotFound,
    InternalServerError,
    BadGateway,
    ServiceUnavailable,
    GatewayTimeout,
  };

  // The kinds that carry a text (HttpClientBuild to AuthenticationFailed).
  static Error with_text(Kind kind, std::string text) { return Error(kind, std::move(text), 0); }
  static Error error_status(std::uint16_t status) { return Error(Kind::ErrorStatus, {}, status); }
  static Error plain(Kind kind) { return Error(kind, {}, 0); }

  // The error for a status outside 2xx; the body never reaches the error.
  static Error from_status(std::uint16_t status, std::string body);

  Kind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }
  std::uint16_t status() const noexcept { return status_; }

  std::string message() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(Kind kind, std::string text, std::uint16_t status) : kind_(kind), text_(std::move(text)), status_(status) {}

  Kind kind_;
  std::string text_;
  std::uint16_t status_;
};

}  // namespace velarix::controller::error

namespace velarix::controller {
using error::Error;
}  // namespace velarix::controller
