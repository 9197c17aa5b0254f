// Retrieving a network configuration's text: over http or https, following
// redirects, with the node's key and the URL's credentials; or from the local
// file a file URL names.

#include <sodium.h>

#include <fmt/format.h>

#include "agent/inner.h"
#include "agent/status_format.h"
#include "util/log.h"

namespace velarix::agent {
namespace {

constexpr std::size_t kMaxRedirects = 5;

// A Location value is followed only when it is plain text.
bool is_text(std::string_view value) {
  for (char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (b != '\t' && (b < 0x20 || b > 0x7E)) return false;
  }
  return true;
}

std::string basic_credentials(std::string_view user, std::string_view password) {
  const std::string plain = std::string(user) + ":" + std::string(password);
  std::string out(sodium_base64_ENCODED_LEN(plain.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

}  // namespace

std::expected<std::string, Error> AgentInner::read_file_url(const std::string& url) {
  // The parsed URL's path, not the text after "file://": percent-encoding
  // decoded, "localhost" dropped, no query or fragment in the name.
  auto parsed = Url::parse(url);
  if (!parsed) return std::unexpected(Error{ErrorKind::UrlParse, parsed.error()});
  auto path = local_file_path(*parsed);
  if (!path) return std::unexpected(Error{ErrorKind::Io, path.error()});
  log::trace("Reading file: {}", *path);
  return read_text_file(*path, kMaxResponseBody);
}

boost::asio::awaitable<std::expected<std::string, Error>> AgentInner::fetch_with_redirects(
    const std::string& url, std::chrono::steady_clock::time_point deadline) const {
  std::size_t redirects = 0;
  std::string current = url;
  for (;;) {
    if (redirects > kMaxRedirects - 1) {
      co_return std::unexpected(
          Error{ErrorKind::ConfigParse, fmt::format("Too many redirects (max {}): {}", kMaxRedirects, url)});
    }
    auto parsed = Url::parse(current);
    if (!parsed) co_return std::unexpected(Error{ErrorKind::UrlParse, parsed.error()});
    log::trace("Parsed URL: {}", masked(parsed->as_str()));

    // Anything but http and https (file:// above all) is refused here, before any I/O.
    auto target = HttpTarget::from_url(parsed->as_str());
    if (!target) co_return std::unexpected(Error{ErrorKind::HttpClient, target.error().message});
    HttpRequest request{.method = "GET", .target = std::move(*target), .fields = {}, .body = {}};
    request.fields.push_back(HttpField{"Connection", "close"});
    request.fields.push_back(HttpField{"velarix-pk", own_pk.to_string()});
    // The credentials as the URL holds them: percent-encoded, never decoded.
    if (const auto user = parsed->username(), password = parsed->password(); !user.empty() && !password.empty()) {
      log::trace("Adding basic auth header: {}", "****");
      request.fields.push_back(HttpField{"Authorization", "Basic " + basic_credentials(user, password)});
    }
    log::trace("Building request");
    if (auto ok = request.check(); !ok) co_return std::unexpected(Error{ErrorKind::Http, ok.error()});

    log::trace("Sending request");
    auto response = co_await http_client.send(request, BodyPolicy::OnSuccess, deadline);
    if (!response) {
      const auto& e = response.error();
      co_return std::unexpected(Error{e.body_phase ? ErrorKind::Hyper : ErrorKind::HttpClient, e.message});
    }
    log::trace("Received response");

    const unsigned status = response->status;
    if (status >= 300 && status <= 399) {
      if (auto location = response->field("Location"); location && is_text(*location)) {
        ++redirects;
        log::trace("Following redirect {}: {} -> {}", redirects, masked(current), masked(*location));
        std::string next;
        if (location->starts_with("http://") || location->starts_with("https://")) {
          next = std::string(*location);
        } else {
          auto resolved = parsed->join(*location);
          if (!resolved) co_return std::unexpected(Error{ErrorKind::UrlParse, resolved.error()});
          next = resolved->as_str();
        }
        current = std::move(next);
        continue;
      }
    }
    if (status < 200 || status > 299) {
      co_return std::unexpected(
          Error{ErrorKind::ConfigParse, fmt::format("HTTP request failed with status '{}'", status_text(status))});
    }
    log::trace("Received body");
    std::string body = response->body ? std::move(*response->body) : std::string();
    if (auto bad = utf8_error(body)) co_return std::unexpected(Error{ErrorKind::Utf8, *bad});
    co_return body;
  }
}

}  // namespace velarix::agent
