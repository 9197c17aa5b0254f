#include "agent/url.h"

#include <algorithm>
#include <array>
#include <boost/url/parse.hpp>

#include "util/text.h"
#include <cctype>
#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

namespace velarix::agent {
namespace {

struct Special {
  std::string_view scheme;
  std::string_view default_port;
};

// Schemes whose URLs have a host and a hierarchical path.
constexpr std::array<Special, 6> kSpecial{{
    {"http", "80"}, {"https", "443"}, {"ws", "80"}, {"wss", "443"}, {"ftp", "21"}, {"file", ""}}};

const Special* special(std::string_view scheme) {
  auto it = std::find_if(kSpecial.begin(), kSpecial.end(), [&](const Special& s) { return s.scheme == scheme; });
  return it == kSpecial.end() ? nullptr : &*it;
}

bool has_scheme(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text) {
    if (c == ':') return true;
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

// The port of an authority, when there is one, is at most five digits and at most 65535.
bool valid_port(std::string_view authority) {
  const auto at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::size_t colon;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return false;
    colon = close + 1;
    if (colon == authority.size()) return true;
    if (authority[colon] != ':') return false;
  } else {
    colon = authority.find(':');
    if (colon == std::string_view::npos) return true;
  }
  const std::string_view port = authority.substr(colon + 1);
  if (port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

}  // namespace

std::expected<Url, std::string> Url::parse(std::string_view text) {
  if (!has_scheme(text)) return std::unexpected(std::string("relative URL without a base"));
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::unexpected("invalid URL: " + parsed.error().message());
  boost::urls::url u(*parsed);
  u.set_scheme(util::ascii_lower(u.scheme()));
  // An authority is followed by an empty or absolute path; anything else was a bad port.
  if (u.has_authority() && !u.encoded_path().empty() && !u.encoded_path().starts_with('/')) {
    return std::unexpected(std::string("invalid port number"));
  }
  if (!valid_port(u.encoded_authority())) return std::unexpected(std::string("invalid port number"));
  if (const Special* sp = special(u.scheme())) {
    if (sp->scheme == "file") {
      if (!u.has_authority()) u.set_encoded_host("");
      if (util::ascii_lower(u.encoded_host()) == "localhost") u.set_encoded_host("");
    } else if (!u.has_authority() || u.encoded_host().empty()) {
      return std::unexpected(std::string("empty host"));
    }
    u.set_encoded_host(util::ascii_lower(u.encoded_host()));
    if (u.has_port() && (u.port().empty() || u.port() == sp->default_port)) u.remove_port();
    if (u.encoded_path().empty()) u.set_encoded_path("/");
    u.normalize_path();
  }
  Url out;
  out.text_ = std::string(u.buffer());
  return out;
}

std::string_view Url::scheme() const { return std::string_view(text_).substr(0, text_.find(':')); }

std::string_view Url::host() const {
  auto v = boost::urls::parse_uri(text_);
  if (!v) return {};
  // Points into text_, which outlives the view.
  auto h = v->encoded_host();
  return std::string_view(h.data(), h.size());
}

std::string_view Url::path() const {
  auto v = boost::urls::parse_uri(text_);
  if (!v) return {};
  auto p = v->encoded_path();
  return std::string_view(p.data(), p.size());
}

}  // namespace velarix::agent
