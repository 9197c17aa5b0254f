#include "controller/client.h"

#include <sodium.h>

#include <chrono>
#include <vector>

#include <boost/url/parse.hpp>
#include <fmt/format.h>

#include "agent/status_format.h"
#include "crypto/crypto.h"
#include "util/hex.h"
#include "util/log.h"

namespace velarix::controller {

namespace asio = boost::asio;
using agent::BodyPolicy;
using agent::HttpError;
using agent::HttpField;
using agent::HttpRequest;
using agent::HttpTarget;

namespace {

Error request_build(std::string text) { return Error::with_text(Error::Kind::RequestBuild, std::move(text)); }

std::expected<nlohmann::json, std::string> parse_json(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

}  // namespace

std::expected<network::MultiNetworkConfig, std::string> ResponseDecoder<network::MultiNetworkConfig>::toml(
    std::string_view text) {
  auto v = network::MultiNetworkConfig::from_toml(text);
  if (!v) return std::unexpected(v.error().message());
  return std::move(*v);
}

std::expected<network::MultiNetworkConfig, std::string> ResponseDecoder<network::MultiNetworkConfig>::json(
    std::string_view text) {
  auto v = network::MultiNetworkConfig::from_json(text);
  if (!v) return std::unexpected(v.error().message());
  return std::move(*v);
}

std::expected<network::MultiNetworkConfig, std::string> ResponseDecoder<network::MultiNetworkConfig>::json_value(
    const nlohmann::json& value) {
  auto v = network::MultiNetworkConfig::from_json_value(value);
  if (!v) return std::unexpected(v.error().message());
  return std::move(*v);
}

std::expected<std::string, std::string> ResponseDecoder<std::string>::toml(std::string_view) {
  return std::unexpected(std::string("invalid type: map, expected a string"));
}

std::expected<std::string, std::string> ResponseDecoder<std::string>::json(std::string_view text) {
  auto v = parse_json(text);
  if (!v) return std::unexpected(v.error());
  return json_value(*v);
}

std::expected<std::string, std::string> ResponseDecoder<std::string>::json_value(const nlohmann::json& value) {
  if (!value.is_string()) return std::unexpected("invalid type: " + std::string(value.type_name()) + ", expected a string");
  return value.get<std::string>();
}

std::expected<std::string, Error> ControllerClient::build_hmac_auth_header(std::string_view shared_secret,
                                                                           std::int64_t timestamp,
                                                                           std::span<const std::uint8_t> body) {
  if (auto init = p2p::crypto::init(); !init) return std::unexpected(request_build(init.error().message()));
  std::vector<std::uint8_t> key(shared_secret.size() * 3 / 4 + 1);
  std::size_t key_len = 0;
  const char* end = nullptr;
  if (sodium_base642bin(key.data(), key.size(), shared_secret.data(), shared_secret.size(), nullptr, &key_len, &end,
                        sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
      end != shared_secret.data() + shared_secret.size()) {
    return std::unexpected(request_build(
        "Failed to build authorization header: the shared secret is not URL-safe Base64 without padding"));
  }
  key.resize(key_len);
  auto digest = p2p::crypto::sha256(body);
  if (!digest) return std::unexpected(request_build("Failed to build authorization header: " + digest.error().message()));
  const std::string ts = std::to_string(timestamp);
  std::vector<std::uint8_t> message(ts.begin(), ts.end());
  message.insert(message.end(), digest->begin(), digest->end());
  const auto mac = p2p::crypto::hmac_sha256(key, message);
  sodium_memzero(key.data(), key.size());
  return "HMAC-Auth " + ts + ":" + p2p::util::hex::bytes_to_hex(mac);
}

agent::HttpClient ControllerClient::create_client() { return agent::HttpClient::create(); }

asio::awaitable<std::expected<std::string, Error>> ControllerClient::request(std::string method, std::string path,
                                                                             std::optional<std::string> accept,
                                                                             std::string body) const {
  const std::string uri = base_url + path;
  auto parsed = boost::urls::parse_uri(uri);
  if (!parsed) co_return std::unexpected(Error::with_text(Error::Kind::UriParse, parsed.error().message()));
  log::trace("Controller API request: {} {}", method, agent::masked(uri));

  std::string authorization;
  if (auth.kind == ControllerAuth::Kind::Hmac) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    auto header = build_hmac_auth_header(
        auth.value, now, std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    if (!header) co_return std::unexpected(std::move(header.error()));
    authorization = std::move(*header);
  } else {
    authorization = "Bearer " + auth.value;
  }

  const auto client = create_client();
  auto target = HttpTarget::from_url(uri);
  if (!target) co_return std::unexpected(Error::with_text(Error::Kind::RequestFailed, target.error().message));
  HttpRequest req{.method = std::move(method), .target = std::move(*target), .fields = {}, .body = std::move(body)};
  req.fields.push_back(HttpField{"Connection", "close"});
  req.fields.push_back(HttpField{"Authorization", std::move(authorization)});
  if (req.method == "GET" && accept) {
    req.fields.push_back(HttpField{"Accept", *accept});
  } else {
    req.fields.push_back(HttpField{"Content-Type", "application/json"});
  }
  if (node_pk) req.fields.push_back(HttpField{"velarix-pk", node_pk->to_string()});
  if (auto ok = req.check(); !ok) co_return std::unexpected(request_build("Failed to build request: " + ok.error()));

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto response = co_await client.send(req, BodyPolicy::Always, deadline);
  if (!response) {
    const HttpError& e = response.error();
    std::string text = e.kind == HttpError::Kind::Timeout
                           ? fmt::format("request timed out after {} ms", timeout.count())
                           : e.message;
    if (e.body_phase) {
      co_return std::unexpected(
          Error::with_text(Error::Kind::ResponseBody, "Failed to collect response body: " + text));
    }
    co_return std::unexpected(Error::with_text(Error::Kind::RequestFailed, std::move(text)));
  }
  std::string text = std::move(*response->body);
  if (auto bad = agent::utf8_error(text)) co_return std::unexpected(Error::with_text(Error::Kind::ResponseUtf8, *bad));
  log::trace("Controller API response status: {}", agent::status_text(response->status));
  log::trace("Controller API response body: {}", agent::masked(text));
  if (response->status < 200 || response->status > 299) {
    co_return std::unexpected(Error::from_status(static_cast<std::uint16_t>(response->status), std::move(text)));
  }
  co_return text;
}

asio::awaitable<std::expected<void, Error>> ControllerClient::put(std::string path,
                                                                  const nlohmann::ordered_json& body) const {
  std::string json;
  try {
    json = body.dump();
  } catch (const nlohmann::json::exception& e) {
    co_return std::unexpected(request_build(std::string("Failed to serialize request body: ") + e.what()));
  }
  auto answer = co_await request("PUT", std::move(path), std::nullopt, std::move(json));
  if (!answer) co_return std::unexpected(std::move(answer.error()));
  co_return std::expected<void, Error>{};
}

asio::awaitable<std::expected<network::MultiNetworkConfig, Error>> ControllerClient::get_networks_config_toml() const {
  if (!node_pk) co_return std::unexpected(request_build("get_networks_config_toml requires node public key to be set"));
  co_return co_await get<network::MultiNetworkConfig>("/nodes/me/networks/config.toml", "application/toml");
}

asio::awaitable<std::expected<void, Error>> ControllerClient::upload_metrics(
    const UpdateNodeMetricsRequest& request) const {
  if (auth.kind != ControllerAuth::Kind::Hmac) co_return std::unexpected(request_build("upload_metrics requires HMAC authentication"));
  co_return co_await put("/nodes/me/metrics", request.to_json());
}

}  // namespace velarix::controller
