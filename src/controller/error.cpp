#include "controller/error.h"

#include <utility>

namespace velarix::controller::error {

Error Error::from_status(std::uint16_t status, std::string body) {
  (void)std::move(body);
  switch (status) {
    case 401: return plain(Kind::Unauthorized);
    case 403: return plain(Kind::Forbidden);
    case 404: return plain(Kind::NotFound);
    case 500: return plain(Kind::InternalServerError);
    case 502: return plain(Kind::BadGateway);
    case 503: return plain(Kind::ServiceUnavailable);
    case 504: return plain(Kind::GatewayTimeout);
    default: return error_status(status);
  }
}

std::string Error::message() const {
  switch (kind_) {
    case Kind::HttpClientBuild: return "Failed to build HTTP client: " + text_;
    case Kind::UriParse: return "Failed to parse URI: " + text_;
    case Kind::RequestBuild: return "Failed to build HTTP request: " + text_;
    case Kind::RequestFailed: return "HTTP request failed: " + text_;
    case Kind::ResponseBody: return "Failed to read response body: " + text_;
    case Kind::ResponseUtf8: return "Failed to parse response body as UTF-8: " + text_;
    case Kind::ResponseParse: return "Failed to parse response body as JSON: " + text_;
    case Kind::AuthenticationFailed: return "Authentication failed: " + text_;
    case Kind::ErrorStatus: return "Server returned error status " + std::to_string(status_);
    case Kind::Unauthorized: return "Unauthorized (401)";
    case Kind::Forbidden: return "Forbidden (403)";
    case Kind::NotFound: return "Not found (404)";
    case Kind::InternalServerError: return "Internal server error (500)";
    case Kind::BadGateway: return "Bad gateway (502)";
    case Kind::ServiceUnavailable: return "Service unavailable (503)";
    case Kind::GatewayTimeout: return "Gateway timeout (504)";
  }
  return {};
}

}  // namespace velarix::controller::error
