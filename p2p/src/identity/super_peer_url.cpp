#include "identity/super_peer_url.h"

#include <charconv>

namespace velarix::p2p {
namespace {

constexpr std::string_view kScheme = "udp://";

SuperPeerUrlError fail(SuperPeerUrlError::Kind kind, std::string detail) { return {kind, std::move(detail)}; }

template <class T>
bool parse_decimal(std::string_view s, T& out) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc{} && p == s.data() + s.size();
}

bool valid_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

}  // namespace

std::string SuperPeerUrlError::message() const {
  std::string what;
  switch (kind) {
    case Kind::InvalidScheme:
      what = "expected the scheme udp://";
      break;
    case Kind::MissingHost:
      what = "missing or invalid host";
      break;
    case Kind::InvalidPort:
      what = "missing or invalid port";
      break;
    case Kind::MissingPublicKey:
      what = "missing publicKey";
      break;
    case Kind::InvalidPublicKey:
      what = "invalid publicKey";
      break;
    case Kind::MissingNetworkId:
      what = "missing networkId";
      break;
    case Kind::InvalidNetworkId:
      what = "invalid networkId";
      break;
    case Kind::UnknownParameter:
      what = "unknown parameter";
      break;
  }
  return "invalid super peer URL: " + what + (detail.empty() ? "" : ": " + detail);
}

std::expected<SuperPeerUrl, SuperPeerUrlError> SuperPeerUrl::parse(std::string_view text) {
  using K = SuperPeerUrlError::Kind;
  if (!text.starts_with(kScheme)) return std::unexpected(fail(K::InvalidScheme, std::string(text)));
  std::string_view rest = text.substr(kScheme.size());
  const auto q = rest.find('?');
  std::string_view authority = rest.substr(0, q);
  std::string_view query = q == std::string_view::npos ? std::string_view{} : rest.substr(q + 1);

  SuperPeerUrl url;
  std::string_view port_text;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return std::unexpected(fail(K::MissingHost, std::string(authority)));
    const std::string_view v6 = authority.substr(1, close - 1);
    for (char c : v6) {
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') return std::unexpected(fail(K::MissingHost, std::string(authority)));
    }
    url.host_ = std::string(v6);
    if (authority.size() <= close + 1 || authority[close + 1] != ':') {
      return std::unexpected(fail(K::InvalidPort, std::string(authority)));
    }
    port_text = authority.substr(close + 2);
  } else {
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos) return std::unexpected(fail(K::InvalidPort, std::string(authority)));
    const std::string_view host = authority.substr(0, colon);
    if (host.empty()) return std::unexpected(fail(K::MissingHost, std::string(authority)));
    for (char c : host) {
      if (!valid_host_char(c)) return std::unexpected(fail(K::MissingHost, std::string(host)));
    }
    url.host_ = std::string(host);
    port_text = authority.substr(colon + 1);
  }
  std::uint16_t port = 0;
  if (!parse_decimal(port_text, port) || port == 0) return std::unexpected(fail(K::InvalidPort, std::string(port_text)));
  url.port_ = port;
  url.addr_ = (url.host_.find(':') != std::string::npos ? "[" + url.host_ + "]" : url.host_) + ":" + std::to_string(port);

  bool have_pk = false;
  bool have_net = false;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view param = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const auto eq = param.find('=');
    const std::string_view name = param.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : param.substr(eq + 1);
    if (name == "publicKey" && !have_pk) {
      auto pk = PubKey::from_text(value);
      if (!pk) return std::unexpected(fail(K::InvalidPublicKey, std::string(value)));
      url.pk_ = *pk;
      have_pk = true;
    } else if (name == "networkId" && !have_net) {
      if (!parse_decimal(value, url.network_id_)) return std::unexpected(fail(K::InvalidNetworkId, std::string(value)));
      have_net = true;
    } else {
      return std::unexpected(fail(K::UnknownParameter, std::string(name)));
    }
  }
  if (!have_pk) return std::unexpected(fail(K::MissingPublicKey, {}));
  if (!have_net) return std::unexpected(fail(K::MissingNetworkId, {}));
  return url;
}

std::string SuperPeerUrl::to_string() const {
  return std::string(kScheme) + addr_ + "?publicKey=" + pk_.to_string() + "&networkId=" + std::to_string(network_id_);
}

const std::vector<SuperPeerUrl>& super_peers_default() {
  static const std::vector<SuperPeerUrl> list = [] {
    // The operator's public super peers; parsed once from their text forms. Each
    // key must be a valid Ed25519 point: an armed node converts it to X25519.
    constexpr std::string_view texts[] = {
        "udp://sp-fra-1.velarix.net:22527?publicKey="
        "a78f91be577330042e47a1a0bf5eb032a09376e35b50a29b760b82ae8ed0739f&networkId=1",
        "udp://sp-nyc-1.velarix.net:22527?publicKey="
        "473c071ac4c82c6294308f2ad734a518f505e71abd0895f4fa9180c64f526c23&networkId=1",
    };
    std::vector<SuperPeerUrl> out;
    for (auto t : texts) out.push_back(*SuperPeerUrl::parse(t));
    return out;
  }();
  return list;
}

}  // namespace velarix::p2p
