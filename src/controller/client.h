#pragma once
// The controller API client. Built for one use and dropped; every request
// opens its own connection, authenticates the node (HMAC over a shared secret,
// or a Bearer token) and names the node's key in "velarix-pk".

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "agent/http_client.h"
#include "controller/error.h"
#include "controller/models.h"
#include "identity/identity.h"
#include "network/config/network_config.h"

namespace velarix::controller {

// How long one controller request may take, connection to last body byte.
inline constexpr std::chrono::milliseconds kControllerRequestTimeout{10000};

struct ControllerAuth {
  enum class Kind : std::uint8_t { Bearer, Hmac };
  Kind kind;
  // The token, or the shared secret as written in the configuration file
  // (URL-safe Base64 without padding; decoded for each request).
  std::string value;

  static ControllerAuth bearer(std::string token) { return {Kind::Bearer, std::move(token)}; }
  static ControllerAuth hmac(std::string shared_secret) { return {Kind::Hmac, std::move(shared_secret)}; }
};

// How an answer type is read from the body text: as TOML, as JSON text, or
// from a JSON value. Each gives the value or the reader's error text.
template <class T>
struct ResponseDecoder;

template <>
struct ResponseDecoder<network::MultiNetworkConfig> {
  static std::expected<network::MultiNetworkConfig, std::string> toml(std::string_view text);
  static std::expected<network::MultiNetworkConfig, std::string> json(std::string_view text);
  static std::expected<network::MultiNetworkConfig, std::string> json_value(const nlohmann::json& value);
};

template <>
struct ResponseDecoder<std::string> {
  static std::expected<std::string, std::string> toml(std::string_view text);
  static std::expected<std::string, std::string> json(std::string_view text);
  static std::expected<std::string, std::string> json_value(const nlohmann::json& value);
};

class ControllerClient {
 public:
  ControllerAuth auth;
  std::string base_url;  // paths are appended verbatim
  std::optional<p2p::PubKey> node_pk;
  std::chrono::milliseconds timeout = kControllerRequestTimeout;

  // GET base_url + path; the body read as TOML when `accept` is
  // "application/toml", as a JSON string for any other `accept`, else as JSON.
  template <class T>
  boost::asio::awaitable<std::expected<T, Error>> get(std::string path, std::optional<std::string> accept) const;

  // PUT base_url + path with `body` as compact JSON; the answer's body is read
  // and ignored.
  boost::asio::awaitable<std::expected<void, Error>> put(std::string path, const nlohmann::ordered_json& body) const;

  // This node's network configurations; needs `node_pk`.
  boost::asio::awaitable<std::expected<network::MultiNetworkConfig, Error>> get_networks_config_toml() const;

  // PUT of the metrics; needs HMAC authentication.
  boost::asio::awaitable<std::expected<void, Error>> upload_metrics(const UpdateNodeMetricsRequest& request) const;

  // "HMAC-Auth <timestamp>:<hex HMAC-SHA-256(secret, decimal timestamp ||
  // SHA-256(body))>"; fails when the secret is not URL-safe Base64 without padding.
  static std::expected<std::string, Error> build_hmac_auth_header(std::string_view shared_secret,
                                                                  std::int64_t timestamp,
                                                                  std::span<const std::uint8_t> body);

  // A new HTTP client for one request.
  static agent::HttpClient create_client();

 private:
  // Sends one request and returns the body of a 2xx answer.
  boost::asio::awaitable<std::expected<std::string, Error>> request(std::string method, std::string path,
                                                                    std::optional<std::string> accept,
                                                                    std::string body) const;
};

template <class T>
boost::asio::awaitable<std::expected<T, Error>> ControllerClient::get(std::string path,
                                                                      std::optional<std::string> accept) const {
  auto text = co_await request("GET", std::move(path), accept, {});
  if (!text) co_return std::unexpected(std::move(text.error()));
  if (accept && *accept == "application/toml") {
    auto value = ResponseDecoder<T>::toml(*text);
    if (!value) co_return std::unexpected(Error::with_text(Error::Kind::ResponseParse,
                                                           "Failed to parse TOML response: " + value.error()));
    co_return std::move(*value);
  }
  if (accept) {
    auto value = ResponseDecoder<T>::json_value(nlohmann::json(*text));
    if (!value) co_return std::unexpected(Error::with_text(Error::Kind::ResponseParse,
                                                           "Failed to parse response as String: " + value.error()));
    co_return std::move(*value);
  }
  auto value = ResponseDecoder<T>::json(*text);
  if (!value) co_return std::unexpected(Error::with_text(Error::Kind::ResponseParse,
                                                         "Failed to parse response as JSON: " + value.error()));
  co_return std::move(*value);
}

}  // namespace velarix::controller
