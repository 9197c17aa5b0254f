#include "agent/url.h"

#include <idn2.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/utf8.h"

namespace velarix::agent {
namespace {

using Fault = std::unexpected<std::string>;

constexpr int kEof = -1;

// --- character classes and percent-encoding ---------------------------------

bool is_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_hex(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(int c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(s[i]) != prefix[i]) return false;
  }
  return true;
}

bool equals_ci(std::string_view s, std::string_view lower_text) {
  return s.size() == lower_text.size() && starts_with_ci(s, lower_text);
}

// The percent-encode sets, nested as they are defined: each adds to the one before.
enum class Set { C0, Fragment, Query, SpecialQuery, Path, Userinfo };

bool in_set(unsigned char b, Set set) {
  // Bytes of non-ASCII characters are in every set, so encoding byte by byte
  // encodes a character's UTF-8 form whole.
  if (b < 0x20 || b > 0x7E) return true;
  switch (set) {
    case Set::C0:
      return false;
    case Set::Fragment:
      return b == ' ' || b == '"' || b == '<' || b == '>' || b == '`';
    case Set::Query:
      return b == ' ' || b == '"' || b == '#' || b == '<' || b == '>';
    case Set::SpecialQuery:
      return in_set(b, Set::Query) || b == '\'';
    case Set::Path:
      return in_set(b, Set::Query) || b == '?' || b == '`' || b == '{' || b == '}';
    case Set::Userinfo:
      return in_set(b, Set::Path) || b == '/' || b == ':' || b == ';' || b == '=' || b == '@' ||
             (b >= '[' && b <= '^') || b == '|';
  }
  return true;
}

void encode(std::string& out, unsigned char b, Set set) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (!in_set(b, set)) {
    out += static_cast<char>(b);
    return;
  }
  out += '%';
  out += kHex[b >> 4];
  out += kHex[b & 0x0F];
}

std::string encode_all(std::string_view s, Set set) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) encode(out, static_cast<unsigned char>(c), set);
  return out;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// --- schemes ------------------------------------------------------------------

struct Special {
  std::string_view scheme;
  int default_port;  // -1: none
};

constexpr std::array<Special, 6> kSpecial{{
    {"ftp", 21}, {"file", -1}, {"http", 80}, {"https", 443}, {"ws", 80}, {"wss", 443}}};

const Special* special(std::string_view scheme) {
  for (const Special& s : kSpecial) {
    if (s.scheme == scheme) return &s;
  }
  return nullptr;
}

int default_port(std::string_view scheme) {
  const Special* s = special(scheme);
  return s != nullptr ? s->default_port : -1;
}

// --- path segments ------------------------------------------------------------

bool single_dot(std::string_view s) { return s == "." || equals_ci(s, "%2e"); }

bool double_dot(std::string_view s) {
  return s == ".." || equals_ci(s, ".%2e") || equals_ci(s, "%2e.") || equals_ci(s, "%2e%2e");
}

bool drive_letter(std::string_view s) { return s.size() == 2 && is_alpha(s[0]) && (s[1] == ':' || s[1] == '|'); }
bool normalized_drive_letter(std::string_view s) { return drive_letter(s) && s[1] == ':'; }

bool starts_with_drive_letter(std::string_view s) {
  if (s.size() < 2 || !drive_letter(s.substr(0, 2))) return false;
  if (s.size() == 2) return true;
  const char c = s[2];
  return c == '/' || c == '\\' || c == '?' || c == '#';
}

// --- hosts ----------------------------------------------------------------------

bool forbidden_host(unsigned char c) {
  switch (c) {
    case 0x00: case '\t': case '\n': case '\r': case ' ': case '#': case '/': case ':': case '<': case '>':
    case '?': case '@': case '[': case '\\': case ']': case '^': case '|':
      return true;
    default:
      return false;
  }
}

bool forbidden_domain(unsigned char c) { return forbidden_host(c) || c <= 0x1F || c == '%' || c == 0x7F; }

std::expected<std::string, std::string> parse_ipv6(std::string_view in) {
  const Fault bad(std::string("invalid IPv6 address"));
  std::array<std::uint16_t, 8> address{};
  std::size_t piece = 0;
  std::optional<std::size_t> compress;
  std::size_t p = 0;
  const std::size_t n = in.size();
  auto c = [&](std::size_t at) -> int { return at < n ? static_cast<unsigned char>(in[at]) : kEof; };

  if (c(p) == ':') {
    if (c(p + 1) != ':') return bad;
    p += 2;
    compress = ++piece;
  }
  while (c(p) != kEof) {
    if (piece == 8) return bad;
    if (c(p) == ':') {
      if (compress) return bad;
      ++p;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && is_hex(c(p))) {
      value = value * 16 + static_cast<unsigned>(hex_value(c(p)));
      ++p;
      ++length;
    }
    if (c(p) == '.') {
      // An IPv4 address in the last two pieces.
      if (length == 0) return bad;
      p -= length;
      if (piece > 6) return bad;
      int seen = 0;
      while (c(p) != kEof) {
        int v4 = -1;
        if (seen > 0) {
          if (c(p) == '.' && seen < 4) {
            ++p;
          } else {
            return bad;
          }
        }
        if (!is_digit(c(p))) return bad;
        while (is_digit(c(p))) {
          const int number = c(p) - '0';
          if (v4 == -1) {
            v4 = number;
          } else if (v4 == 0) {
            return bad;
          } else {
            v4 = v4 * 10 + number;
          }
          if (v4 > 255) return bad;
          ++p;
        }
        address[piece] = static_cast<std::uint16_t>(address[piece] * 0x100 + v4);
        ++seen;
        if (seen == 2 || seen == 4) ++piece;
      }
      if (seen != 4) return bad;
      break;
    }
    if (c(p) == ':') {
      ++p;
      if (c(p) == kEof) return bad;
    } else if (c(p) != kEof) {
      return bad;
    }
    address[piece] = static_cast<std::uint16_t>(value);
    ++piece;
  }
  if (compress) {
    std::size_t swaps = piece - *compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(address[piece], address[*compress + swaps - 1]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return bad;
  }

  // The first longest run of two or more zero pieces is written as "::".
  std::optional<std::size_t> run_at;
  std::size_t run_len = 1;
  for (std::size_t i = 0; i < 8;) {
    if (address[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && address[j] == 0) ++j;
    if (j - i > run_len) {
      run_at = i;
      run_len = j - i;
    }
    i = j;
  }
  std::string out = "[";
  for (std::size_t i = 0; i < 8; ++i) {
    if (run_at && i == *run_at) {
      out += i == 0 ? "::" : ":";
      i += run_len - 1;
      continue;
    }
    char buf[8];
    const int len = std::snprintf(buf, sizeof buf, "%x", address[i]);
    out.append(buf, static_cast<std::size_t>(len));
    if (i != 7) out += ':';
  }
  out += ']';
  return out;
}

// One part of an IPv4 address: decimal, 0x-hex or 0-octal. The flag tells a
// form other than plain decimal. Values saturate above 2^32.
std::optional<std::pair<std::uint64_t, bool>> ipv4_number(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool other_form = false;
  unsigned radix = 10;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    other_form = true;
    s.remove_prefix(2);
    radix = 16;
  } else if (s.size() >= 2 && s[0] == '0') {
    other_form = true;
    s.remove_prefix(1);
    radix = 8;
  }
  if (s.empty()) return std::pair<std::uint64_t, bool>{0, true};
  std::uint64_t value = 0;
  for (char ch : s) {
    const int c = static_cast<unsigned char>(ch);
    unsigned digit;
    if (radix == 16 && is_hex(c)) {
      digit = static_cast<unsigned>(hex_value(c));
    } else if (is_digit(c) && static_cast<unsigned>(c - '0') < radix) {
      digit = static_cast<unsigned>(c - '0');
    } else {
      return std::nullopt;
    }
    value = std::min<std::uint64_t>(value * radix + digit, std::uint64_t{1} << 33);
  }
  return std::pair<std::uint64_t, bool>{value, other_form};
}

bool ends_in_number(std::string_view s) {
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const std::size_t dot = s.find('.', from);
    parts.push_back(s.substr(from, dot == std::string_view::npos ? std::string_view::npos : dot - from));
    if (dot == std::string_view::npos) break;
    from = dot + 1;
  }
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  const std::string_view last = parts.back();
  if (!last.empty() && std::all_of(last.begin(), last.end(), [](char c) { return is_digit(c); })) return true;
  return ipv4_number(last).has_value();
}

std::expected<std::string, std::string> parse_ipv4(std::string_view s) {
  const Fault bad(std::string("invalid IPv4 address"));
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const std::size_t dot = s.find('.', from);
    parts.push_back(s.substr(from, dot == std::string_view::npos ? std::string_view::npos : dot - from));
    if (dot == std::string_view::npos) break;
    from = dot + 1;
  }
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return bad;
  std::vector<std::uint64_t> numbers;
  for (std::string_view part : parts) {
    auto n = ipv4_number(part);
    if (!n) return bad;
    numbers.push_back(n->first);
  }
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) {
    if (numbers[i] > 255) return bad;
  }
  if (numbers.back() >= (std::uint64_t{1} << (8 * (5 - numbers.size())))) return bad;
  std::uint64_t address = numbers.back();
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) address += numbers[i] << (8 * (3 - i));
  return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// One label of a domain in its ASCII form. Plain ASCII labels are only lower
// cased (host names with underscores or edge hyphens stay usable); others go
// through UTS #46 processing, which also checks a label already in its
// "xn--" form.
std::expected<std::string, std::string> label_to_ascii(std::string_view label) {
  const bool ascii = std::all_of(label.begin(), label.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && !starts_with_ci(label, "xn--")) {
    std::string out(label);
    for (char& c : out) c = lower(c);
    return out;
  }
  const std::string z(label);
  char* out = nullptr;
  const int rc = idn2_lookup_u8(reinterpret_cast<const std::uint8_t*>(z.c_str()),
                                reinterpret_cast<std::uint8_t**>(&out), IDN2_NONTRANSITIONAL);
  std::unique_ptr<char, decltype(&idn2_free)> owned(out, &idn2_free);
  if (rc != IDN2_OK || out == nullptr) return Fault(std::string("invalid international domain name"));
  return std::string(out);
}

// The four full stops that separate labels before mapping.
std::size_t label_separator(std::string_view s, std::size_t at, std::size_t& length) {
  for (std::size_t i = at; i < s.size(); ++i) {
    if (s[i] == '.') {
      length = 1;
      return i;
    }
    const std::string_view rest = s.substr(i);
    // U+3002, U+FF0E, U+FF61
    if (rest.starts_with("\xE3\x80\x82") || rest.starts_with("\xEF\xBC\x8E") || rest.starts_with("\xEF\xBD\xA1")) {
      length = 3;
      return i;
    }
  }
  length = 0;
  return std::string_view::npos;
}

std::expected<std::string, std::string> domain_to_ascii(std::string_view domain) {
  std::string out;
  for (std::size_t from = 0;;) {
    std::size_t length = 0;
    const std::size_t sep = label_separator(domain, from, length);
    auto label = label_to_ascii(domain.substr(from, sep == std::string_view::npos ? std::string_view::npos : sep - from));
    if (!label) return label;
    out += *label;
    if (sep == std::string_view::npos) break;
    out += '.';
    from = sep + length;
  }
  if (out.empty()) return Fault(std::string("invalid international domain name"));
  return out;
}

// The serialised host of `input`; `special` tells a special scheme's host
// (a domain or an IPv4 address) from an opaque one.
std::expected<std::string, std::string> parse_host(std::string_view input, bool special) {
  if (input.starts_with('[')) {
    if (!input.ends_with(']') || input.size() < 2) return Fault(std::string("invalid IPv6 address"));
    return parse_ipv6(input.substr(1, input.size() - 2));
  }
  if (!special) {
    for (char c : input) {
      if (forbidden_host(static_cast<unsigned char>(c))) return Fault(std::string("invalid domain character"));
    }
    return encode_all(input, Set::C0);
  }
  const std::string domain = percent_decode(input);
  // Bytes that do not decode as UTF-8 become U+FFFD, which no host may hold.
  if (!util::utf8::is_valid(domain)) return Fault(std::string("invalid international domain name"));
  auto ascii = domain_to_ascii(domain);
  if (!ascii) return ascii;
  for (char c : *ascii) {
    if (forbidden_domain(static_cast<unsigned char>(c))) return Fault(std::string("invalid domain character"));
  }
  if (ends_in_number(*ascii)) return parse_ipv4(*ascii);
  return ascii;
}

}  // namespace

// --- the URL record and its parser -------------------------------------------

// A URL record in pieces, as the parser builds it.
struct UrlBuilder {
  std::string scheme;
  std::string username;
  std::string password;
  std::optional<std::string> host;  // serialised
  std::optional<std::uint16_t> port;
  bool opaque = false;
  std::string opaque_path;
  std::vector<std::string> path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  bool special() const { return agent::special(scheme) != nullptr; }

  static UrlBuilder from(const Url& u) {
    UrlBuilder b;
    b.scheme = std::string(u.scheme());
    b.username = std::string(u.username());
    b.password = std::string(u.password());
    if (u.has_host_) b.host = std::string(u.host());
    b.port = u.port_;
    b.opaque = u.opaque_path_;
    if (b.opaque) {
      b.opaque_path = std::string(u.path());
    } else {
      std::string_view p = u.path();
      while (!p.empty()) {
        p.remove_prefix(1);  // the "/"
        const std::size_t next = p.find('/');
        b.path.emplace_back(p.substr(0, next));
        if (next == std::string_view::npos) break;
        p.remove_prefix(next);
      }
    }
    if (auto q = u.query()) b.query = std::string(*q);
    if (auto f = u.fragment()) b.fragment = std::string(*f);
    return b;
  }

  void shorten_path() {
    if (scheme == "file" && path.size() == 1 && normalized_drive_letter(path[0])) return;
    if (!path.empty()) path.pop_back();
  }

  Url serialise() const {
    Url u;
    std::string& t = u.text_;
    t = scheme;
    u.scheme_end_ = t.size();
    t += ':';
    u.username_start_ = u.username_end_ = u.password_start_ = u.password_end_ = t.size();
    u.has_host_ = host.has_value();
    if (host) {
      t += "//";
      if (!username.empty() || !password.empty()) {
        u.username_start_ = t.size();
        t += username;
        u.username_end_ = t.size();
        if (!password.empty()) {
          t += ':';
          u.password_start_ = t.size();
          t += password;
          u.password_end_ = t.size();
        } else {
          u.password_start_ = u.password_end_ = t.size();
        }
        t += '@';
      }
      u.host_start_ = t.size();
      t += *host;
      u.host_end_ = t.size();
      if (port) t += ":" + std::to_string(*port);
    } else {
      u.host_start_ = u.host_end_ = t.size();
    }
    u.port_ = port;
    u.opaque_path_ = opaque;
    if (opaque) {
      u.path_start_ = t.size();
      t += opaque_path;
    } else {
      // Without a host, a path whose first segment is empty would read back
      // as an authority: "/." keeps it a path.
      if (!host && path.size() > 1 && path[0].empty()) t += "/.";
      u.path_start_ = t.size();
      for (const auto& segment : path) {
        t += '/';
        t += segment;
      }
    }
    u.path_end_ = t.size();
    if (query) {
      t += '?';
      u.has_query_ = true;
      u.query_start_ = t.size();
      t += *query;
    }
    if (fragment) {
      t += '#';
      u.has_fragment_ = true;
      u.fragment_start_ = t.size();
      t += *fragment;
    }
    return u;
  }
};

namespace {

enum class State {
  SchemeStart,
  Scheme,
  NoScheme,
  SpecialRelativeOrAuthority,
  PathOrAuthority,
  Relative,
  RelativeSlash,
  SpecialAuthoritySlashes,
  SpecialAuthorityIgnoreSlashes,
  Authority,
  Host,
  Port,
  File,
  FileSlash,
  FileHost,
  PathStart,
  Path,
  OpaquePath,
  Query,
  Fragment,
};

// The basic URL parser, without state overrides and with UTF-8 as the
// query encoding. It walks bytes: every non-ASCII byte is percent-encoded
// or kept whole in a host, so bytes and code points give the same result.
std::expected<Url, std::string> basic_parse(std::string_view raw, const UrlBuilder* base) {
  if (!util::utf8::is_valid(raw)) return Fault(std::string("invalid UTF-8"));
  // Leading and trailing C0 controls and spaces go, and tabs and newlines anywhere.
  while (!raw.empty() && static_cast<unsigned char>(raw.front()) <= 0x20) raw.remove_prefix(1);
  while (!raw.empty() && static_cast<unsigned char>(raw.back()) <= 0x20) raw.remove_suffix(1);
  std::string input;
  input.reserve(raw.size());
  for (char c : raw) {
    if (c != '\t' && c != '\n' && c != '\r') input += c;
  }

  UrlBuilder url;
  State state = State::SchemeStart;
  std::string buffer;
  bool at_sign_seen = false;
  bool inside_brackets = false;
  bool password_token_seen = false;
  const auto n = static_cast<std::ptrdiff_t>(input.size());
  std::ptrdiff_t p = 0;
  auto at = [&](std::ptrdiff_t i) -> int {
    return i >= 0 && i < n ? static_cast<unsigned char>(input[static_cast<std::size_t>(i)]) : kEof;
  };
  // What follows the current character.
  auto remaining = [&]() -> std::string_view {
    return p + 1 < n ? std::string_view(input).substr(static_cast<std::size_t>(p + 1)) : std::string_view{};
  };
  auto from_here = [&]() -> std::string_view {
    return p < n ? std::string_view(input).substr(static_cast<std::size_t>(p)) : std::string_view{};
  };

  for (;;) {
    const int c = at(p);
    switch (state) {
      case State::SchemeStart:
        if (is_alpha(c)) {
          buffer += lower(static_cast<char>(c));
          state = State::Scheme;
        } else {
          state = State::NoScheme;
          --p;
        }
        break;

      case State::Scheme:
        if (is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.') {
          buffer += lower(static_cast<char>(c));
        } else if (c == ':') {
          url.scheme = std::move(buffer);
          buffer.clear();
          if (url.scheme == "file") {
            state = State::File;
          } else if (url.special() && base != nullptr && base->scheme == url.scheme) {
            state = State::SpecialRelativeOrAuthority;
          } else if (url.special()) {
            state = State::SpecialAuthoritySlashes;
          } else if (remaining().starts_with('/')) {
            state = State::PathOrAuthority;
            ++p;
          } else {
            url.opaque = true;
            state = State::OpaquePath;
          }
        } else {
          buffer.clear();
          state = State::NoScheme;
          p = -1;
        }
        break;

      case State::NoScheme:
        if (base == nullptr) return Fault(std::string("relative URL without a base"));
        if (base->opaque && c != '#') return Fault(std::string("relative URL with a cannot-be-a-base base"));
        if (base->opaque) {
          url.scheme = base->scheme;
          url.opaque = true;
          url.opaque_path = base->opaque_path;
          url.query = base->query;
          url.fragment = std::string();
          state = State::Fragment;
        } else if (base->scheme != "file") {
          state = State::Relative;
          --p;
        } else {
          state = State::File;
          --p;
        }
        break;

      case State::SpecialRelativeOrAuthority:
        if (c == '/' && remaining().starts_with('/')) {
          state = State::SpecialAuthorityIgnoreSlashes;
          ++p;
        } else {
          state = State::Relative;
          --p;
        }
        break;

      case State::PathOrAuthority:
        if (c == '/') {
          state = State::Authority;
        } else {
          state = State::Path;
          --p;
        }
        break;

      case State::Relative:
        url.scheme = base->scheme;
        if (c == '/') {
          state = State::RelativeSlash;
        } else if (url.special() && c == '\\') {
          state = State::RelativeSlash;
        } else {
          url.username = base->username;
          url.password = base->password;
          url.host = base->host;
          url.port = base->port;
          url.path = base->path;
          url.query = base->query;
          if (c == '?') {
            url.query = std::string();
            state = State::Query;
          } else if (c == '#') {
            url.fragment = std::string();
            state = State::Fragment;
          } else if (c != kEof) {
            url.query.reset();
            url.shorten_path();
            state = State::Path;
            --p;
          }
        }
        break;

      case State::RelativeSlash:
        if (url.special() && (c == '/' || c == '\\')) {
          state = State::SpecialAuthorityIgnoreSlashes;
        } else if (c == '/') {
          state = State::Authority;
        } else {
          url.username = base->username;
          url.password = base->password;
          url.host = base->host;
          url.port = base->port;
          state = State::Path;
          --p;
        }
        break;

      case State::SpecialAuthoritySlashes:
        if (c == '/' && remaining().starts_with('/')) {
          state = State::SpecialAuthorityIgnoreSlashes;
          ++p;
        } else {
          state = State::SpecialAuthorityIgnoreSlashes;
          --p;
        }
        break;

      case State::SpecialAuthorityIgnoreSlashes:
        if (c != '/' && c != '\\') {
          state = State::Authority;
          --p;
        }
        break;

      case State::Authority:
        if (c == '@') {
          if (at_sign_seen) buffer.insert(0, "%40");
          at_sign_seen = true;
          for (char ch : buffer) {
            if (ch == ':' && !password_token_seen) {
              password_token_seen = true;
              continue;
            }
            encode(password_token_seen ? url.password : url.username, static_cast<unsigned char>(ch), Set::Userinfo);
          }
          buffer.clear();
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || (url.special() && c == '\\')) {
          if (at_sign_seen && buffer.empty()) return Fault(std::string("empty host"));
          p -= static_cast<std::ptrdiff_t>(buffer.size()) + 1;
          buffer.clear();
          state = State::Host;
        } else {
          buffer += static_cast<char>(c);
        }
        break;

      case State::Host:
        if (c == ':' && !inside_brackets) {
          if (buffer.empty()) return Fault(std::string("empty host"));
          auto host = parse_host(buffer, url.special());
          if (!host) return std::unexpected(host.error());
          url.host = std::move(*host);
          buffer.clear();
          state = State::Port;
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || (url.special() && c == '\\')) {
          --p;
          if (url.special() && buffer.empty()) return Fault(std::string("empty host"));
          auto host = parse_host(buffer, url.special());
          if (!host) return std::unexpected(host.error());
          url.host = std::move(*host);
          buffer.clear();
          state = State::PathStart;
        } else {
          if (c == '[') inside_brackets = true;
          if (c == ']') inside_brackets = false;
          buffer += static_cast<char>(c);
        }
        break;

      case State::Port:
        if (is_digit(c)) {
          buffer += static_cast<char>(c);
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || (url.special() && c == '\\')) {
          if (!buffer.empty()) {
            std::uint32_t port = 0;
            for (char d : buffer) {
              port = port * 10 + static_cast<std::uint32_t>(d - '0');
              if (port > 65535) return Fault(std::string("invalid port number"));
            }
            if (static_cast<int>(port) == default_port(url.scheme)) {
              url.port.reset();
            } else {
              url.port = static_cast<std::uint16_t>(port);
            }
            buffer.clear();
          }
          state = State::PathStart;
          --p;
        } else {
          return Fault(std::string("invalid port number"));
        }
        break;

      case State::File:
        url.scheme = "file";
        url.host = std::string();
        if (c == '/' || c == '\\') {
          state = State::FileSlash;
        } else if (base != nullptr && base->scheme == "file") {
          url.host = base->host;
          url.path = base->path;
          url.query = base->query;
          if (c == '?') {
            url.query = std::string();
            state = State::Query;
          } else if (c == '#') {
            url.fragment = std::string();
            state = State::Fragment;
          } else if (c != kEof) {
            url.query.reset();
            if (!starts_with_drive_letter(from_here())) {
              url.shorten_path();
            } else {
              url.path.clear();
            }
            state = State::Path;
            --p;
          }
        } else {
          state = State::Path;
          --p;
        }
        break;

      case State::FileSlash:
        if (c == '/' || c == '\\') {
          state = State::FileHost;
        } else {
          if (base != nullptr && base->scheme == "file") {
            url.host = base->host;
            if (!starts_with_drive_letter(from_here()) && !base->path.empty() &&
                normalized_drive_letter(base->path[0])) {
              url.path.push_back(base->path[0]);
            }
          }
          state = State::Path;
          --p;
        }
        break;

      case State::FileHost:
        if (c == kEof || c == '/' || c == '\\' || c == '?' || c == '#') {
          --p;
          if (drive_letter(buffer)) {
            // The buffer is the path's first segment, not a host.
            state = State::Path;
          } else if (buffer.empty()) {
            url.host = std::string();
            state = State::PathStart;
          } else {
            auto host = parse_host(buffer, true);
            if (!host) return std::unexpected(host.error());
            if (*host == "localhost") host->clear();
            url.host = std::move(*host);
            buffer.clear();
            state = State::PathStart;
          }
        } else {
          buffer += static_cast<char>(c);
        }
        break;

      case State::PathStart:
        if (url.special()) {
          state = State::Path;
          if (c != '/' && c != '\\') --p;
        } else if (c == '?') {
          url.query = std::string();
          state = State::Query;
        } else if (c == '#') {
          url.fragment = std::string();
          state = State::Fragment;
        } else if (c != kEof) {
          state = State::Path;
          if (c != '/') --p;
        }
        break;

      case State::Path: {
        const bool slash = c == '/' || (url.special() && c == '\\');
        if (c == kEof || slash || c == '?' || c == '#') {
          if (double_dot(buffer)) {
            url.shorten_path();
            if (!slash) url.path.emplace_back();
          } else if (single_dot(buffer) && !slash) {
            url.path.emplace_back();
          } else if (!single_dot(buffer)) {
            if (url.scheme == "file" && url.path.empty() && drive_letter(buffer)) buffer[1] = ':';
            url.path.push_back(buffer);
          }
          buffer.clear();
          if (c == '?') {
            url.query = std::string();
            state = State::Query;
          }
          if (c == '#') {
            url.fragment = std::string();
            state = State::Fragment;
          }
        } else {
          encode(buffer, static_cast<unsigned char>(c), Set::Path);
        }
        break;
      }

      case State::OpaquePath:
        if (c == '?') {
          url.query = std::string();
          state = State::Query;
        } else if (c == '#') {
          url.fragment = std::string();
          state = State::Fragment;
        } else if (c != kEof) {
          encode(url.opaque_path, static_cast<unsigned char>(c), Set::C0);
        }
        break;

      case State::Query:
        if (c == '#' || c == kEof) {
          const Set set = url.special() ? Set::SpecialQuery : Set::Query;
          for (char ch : buffer) encode(*url.query, static_cast<unsigned char>(ch), set);
          buffer.clear();
          if (c == '#') {
            url.fragment = std::string();
            state = State::Fragment;
          }
        } else {
          buffer += static_cast<char>(c);
        }
        break;

      case State::Fragment:
        if (c != kEof) encode(*url.fragment, static_cast<unsigned char>(c), Set::Fragment);
        break;
    }
    if (p >= n) break;
    ++p;
  }
  return url.serialise();
}

}  // namespace

bool Url::is_special() const noexcept { return special(scheme()) != nullptr; }

std::optional<std::uint16_t> Url::port_or_known_default() const noexcept {
  if (port_) return port_;
  const int d = default_port(scheme());
  return d < 0 ? std::nullopt : std::optional<std::uint16_t>(static_cast<std::uint16_t>(d));
}

std::optional<std::string_view> Url::query() const noexcept {
  if (!has_query_) return std::nullopt;
  return view(query_start_, has_fragment_ ? fragment_start_ - 1 : text_.size());
}

std::optional<std::string_view> Url::fragment() const noexcept {
  if (!has_fragment_) return std::nullopt;
  return view(fragment_start_, text_.size());
}

std::expected<Url, std::string> Url::parse(std::string_view text) { return basic_parse(text, nullptr); }

std::expected<Url, std::string> Url::join(std::string_view text) const {
  const UrlBuilder base = UrlBuilder::from(*this);
  return basic_parse(text, &base);
}

std::expected<std::string, std::string> local_file_path(const Url& url) {
  if (url.scheme() != "file") return std::unexpected("not a file URL");
  if (!url.host().empty()) {
    return std::unexpected("file URL with host '" + std::string(url.host()) +
                           "': only local files (no host, or localhost) can be read");
  }
  std::string path = percent_decode(url.path());
  if (path.find('\0') != std::string::npos) return std::unexpected(std::string("file URL path holds a NUL byte"));
  return path;
}

}  // namespace velarix::agent
