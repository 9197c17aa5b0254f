#pragma once
// URLs parsed and serialised by the WHATWG URL rules, as browsers and the
// network configuration's sources write them: special schemes (http, https,
// ws, wss, ftp, file) with a host and a hierarchical path, and other schemes
// with an opaque host or an opaque path (controller://<id>, mailto:x).
//
// The serialisation is the normal form: two texts naming the same resource
// (scheme and host case, default port, IPv4 number forms, dot segments,
// percent-encoding of what must be encoded, international host names in
// their ASCII form) serialise alike, so the text is a key.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "util/keyed_hash.h"

namespace velarix::agent {

class Url {
 public:
  // Parses an absolute URL; the error is a short description of the fault.
  static std::expected<Url, std::string> parse(std::string_view text);
  // Parses `text` against this URL as its base (a link or a redirect target).
  std::expected<Url, std::string> join(std::string_view text) const;

  // The serialisation.
  const std::string& as_str() const noexcept { return text_; }

  // Lower case, without the colon.
  std::string_view scheme() const noexcept { return view(0, scheme_end_); }
  // True for http, https, ws, wss, ftp and file.
  bool is_special() const noexcept;
  // Percent-encoded as serialised; empty when absent.
  std::string_view username() const noexcept { return view(username_start_, username_end_); }
  std::string_view password() const noexcept { return view(password_start_, password_end_); }
  // The serialised host (an IPv6 address in brackets); empty when there is
  // none, and for file URLs without a host.
  std::string_view host() const noexcept { return view(host_start_, host_end_); }
  bool has_host() const noexcept { return has_host_; }
  // The port when it is written and is not the scheme's default.
  std::optional<std::uint16_t> port() const noexcept { return port_; }
  // The port, or the scheme's default where it has one.
  std::optional<std::uint16_t> port_or_known_default() const noexcept;
  // The path as serialised: "/a/b" for hierarchical paths, the text for opaque ones.
  std::string_view path() const noexcept { return view(path_start_, path_end_); }
  bool has_opaque_path() const noexcept { return opaque_path_; }
  // Without the "?" and "#".
  std::optional<std::string_view> query() const noexcept;
  std::optional<std::string_view> fragment() const noexcept;

  friend bool operator==(const Url& a, const Url& b) noexcept { return a.text_ == b.text_; }
  friend std::strong_ordering operator<=>(const Url& a, const Url& b) noexcept { return a.text_ <=> b.text_; }

 private:
  friend struct UrlBuilder;
  std::string_view view(std::size_t from, std::size_t to) const noexcept {
    return std::string_view(text_).substr(from, to - from);
  }

  std::string text_;
  std::size_t scheme_end_ = 0;
  std::size_t username_start_ = 0, username_end_ = 0;
  std::size_t password_start_ = 0, password_end_ = 0;
  std::size_t host_start_ = 0, host_end_ = 0;
  std::size_t path_start_ = 0, path_end_ = 0;
  std::size_t query_start_ = 0;     // after the "?"; meaningful when has_query_
  std::size_t fragment_start_ = 0;  // after the "#"; meaningful when has_fragment_
  std::optional<std::uint16_t> port_;
  bool has_host_ = false;
  bool opaque_path_ = false;
  bool has_query_ = false;
  bool has_fragment_ = false;
};

// The local file a file URL names: its path, percent-decoded; the query and
// fragment are not part of it. Refused, with the reason: another scheme, a
// host (the parser already turned "localhost" into none), and a path that
// decodes to a NUL byte.
std::expected<std::string, std::string> local_file_path(const Url& url);

}  // namespace velarix::agent

template <>
struct std::hash<velarix::agent::Url> {
  std::size_t operator()(const velarix::agent::Url& u) const noexcept {
    return velarix::p2p::util::KeyedHash{}(u.as_str());
  }
};
