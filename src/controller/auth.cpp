#include "controller/auth.h"

#include <sodium.h>

#include <cstring>

#include "agent/url.h"

namespace velarix::controller {
namespace {

std::string endpoint(std::string_view base, std::string_view path) {
  if (auto parsed = agent::Url::parse(base)) {
    if (auto url = parsed->join(path)) return url->as_str();
  }
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  return std::string(base) + std::string(path);
}

}  // namespace

std::string AuthServerError::message() const {
  switch (kind_) {
    case Kind::NotFound: return "Not found (404)";
    case Kind::Unauthorized: return "Unauthorized (401)";
    case Kind::Forbidden: return "Forbidden (403)";
    case Kind::InternalServerError: return "Internal server error (500)";
    case Kind::BadGateway: return "Bad gateway (502)";
    case Kind::ServiceUnavailable: return "Service unavailable (503)";
    case Kind::GatewayTimeout: return "Gateway timeout (504)";
    case Kind::ServerError: return "Server error (" + std::to_string(status_) + ")";
  }
  return {};
}

std::string token_endpoint(std::string_view base) { return endpoint(base, "/oauth/v2/token"); }
std::string userinfo_endpoint(std::string_view base) { return endpoint(base, "/oidc/v1/userinfo"); }
std::string device_authorization_endpoint(std::string_view base) {
  return endpoint(base, "/oauth/v2/device_authorization");
}

agent::HttpClient create_auth_client() { return agent::HttpClient::create(); }

std::expected<NodeLinkRequest, p2p::CryptoError> build_link_request(NodeLinkChallengePayload payload,
                                                                    const p2p::SecKey& sk,
                                                                    std::optional<std::string> extra) {
  std::string message = payload.text_1 + payload.text_2 + payload.text_3 + payload.text_4 +
                        std::to_string(payload.int_1) + std::to_string(payload.int_2) + payload.text_5;
  if (extra) message += *extra;
  auto signature = p2p::crypto::sign_ed25519(
      sk, std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
  if (!signature) return std::unexpected(signature.error());
  std::string text(sodium_base64_ENCODED_LEN(signature->size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(text.data(), text.size(), signature->data(), signature->size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  text.resize(std::strlen(text.c_str()));
  return NodeLinkRequest{std::move(payload), "Ed25519", std::move(text), std::move(extra)};
}

}  // namespace velarix::controller
