#pragma once
// Helpers for the authorisation server (device authorisation, tokens, user
// information) and for linking the node to an account by signing a challenge.
// Part of the library's interface; the agent's own tasks do not call them.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "agent/http_client.h"
#include "crypto/crypto.h"
#include "identity/identity.h"

namespace velarix::controller {

class AuthServerError {
 public:
  enum class Kind : std::uint8_t {
    NotFound,
    Unauthorized,
    Forbidden,
    InternalServerError,
    BadGateway,
    ServiceUnavailable,
    GatewayTimeout,
    ServerError,
  };

  static AuthServerError plain(Kind kind) { return AuthServerError(kind, 0); }
  static AuthServerError server_error(std::uint16_t status) { return AuthServerError(Kind::ServerError, status); }

  Kind kind() const noexcept { return kind_; }
  std::uint16_t status() const noexcept { return status_; }
  // "Not found (404)", ..., "Server error (418)".
  std::string message() const;

 private:
  AuthServerError(Kind kind, std::uint16_t status) : kind_(kind), status_(status) {}
  Kind kind_;
  std::uint16_t status_;
};

// The endpoints under an authorisation base URL; the paths are absolute, so a
// base URL's own path, query and fragment are replaced.
std::string token_endpoint(std::string_view auth_base_url);
std::string userinfo_endpoint(std::string_view auth_base_url);
std::string device_authorization_endpoint(std::string_view auth_base_url);

agent::HttpClient create_auth_client();

// The challenge the node signs to prove it holds its key.
struct NodeLinkChallengePayload {
  std::string text_1;
  std::string text_2;
  std::string text_3;
  std::string text_4;
  std::int64_t int_1 = 0;
  std::int64_t int_2 = 0;
  std::string text_5;
};

struct NodeLinkRequest {
  NodeLinkChallengePayload payload;
  std::string algorithm;  // "Ed25519"
  std::string signature;  // URL-safe Base64 without padding, 86 characters
  std::optional<std::string> extra;
};

// Signs the payload's fields, concatenated (integers in decimal), followed by
// `extra` when given.
std::expected<NodeLinkRequest, p2p::CryptoError> build_link_request(NodeLinkChallengePayload payload,
                                                                    const p2p::SecKey& sk,
                                                                    std::optional<std::string> extra);

}  // namespace velarix::controller
