#include "network/config/reader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "network/config/unicode_lower.h"

namespace velarix::network::detail {
namespace {

const Event kEndOfInput = [] {
  Event e;
  e.type = EventType::SyntaxError;
  e.text = "unexpected end of input";
  return e;
}();

// A string as a quoted, escaped literal, for error texts.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (b < 0x20 || b == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", b);
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string describe(const Event& e) {
  switch (e.type) {
    case EventType::ObjectBegin:
      return "map";
    case EventType::ArrayBegin:
      return "sequence";
    case EventType::Null:
      return "null";
    case EventType::Bool:
      return fmt::format("boolean `{}`", e.boolean);
    case EventType::Integer:
      return fmt::format("integer `{}`", e.integer);
    case EventType::Unsigned:
      return fmt::format("integer `{}`", e.unsigned_integer);
    case EventType::Float: {
      std::string f = fmt::format("{}", e.floating);
      if (f.find_first_of(".eEin") == std::string::npos) f += ".0";
      return fmt::format("floating point `{}`", f);
    }
    case EventType::String:
      return "string " + quoted(e.text);
    case EventType::Key:
      return "map key";
    case EventType::ObjectEnd:
    case EventType::ArrayEnd:
    case EventType::SyntaxError:
      break;
  }
  return "end of value";
}

ReadError::Position position_of_offset(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, offset - line_start + 1};
}

// --- records ------------------------------------------------------------------

struct FieldDesc {
  std::string_view name;
  bool required;
};

// Reads a record given as a table/object or positionally as an array of its
// values in declaration order. `read_field(i)` reads the value of field i.
template <std::size_t N, class ReadField>
std::expected<void, ReadError> read_struct(EventReader& r, std::string_view struct_name,
                                           const std::array<FieldDesc, N>& fields, ReadField&& read_field) {
  auto described_length = [&](std::size_t got) {
    return fmt::format("invalid length {}, expected struct {} with {} element{}", got, struct_name, N,
                       N == 1 ? "" : "s");
  };
  std::array<bool, N> seen{};
  const Event& first = r.peek();
  if (first.type == EventType::ObjectBegin) {
    r.next();
    for (;;) {
      const Event& e = r.peek();
      if (e.type == EventType::ObjectEnd) {
        r.next();
        break;
      }
      if (e.type != EventType::Key) return std::unexpected(r.unexpected("a map key"));
      r.next();
      std::optional<std::size_t> idx;
      for (std::size_t i = 0; i < N; ++i) {
        if (fields[i].name == e.text) idx = i;
      }
      if (!idx) {
        // Keys that are not part of the record are skipped with their value.
        if (auto s = r.skip_value(); !s) return s;
        continue;
      }
      if (seen[*idx]) return std::unexpected(r.error_at(e, fmt::format("duplicate field `{}`", e.text)));
      r.push_key(fields[*idx].name);
      auto res = read_field(*idx);
      r.pop();
      if (!res) return res;
      seen[*idx] = true;
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (fields[i].required && !seen[i]) {
        return std::unexpected(r.error(fmt::format("missing field `{}`", fields[i].name)));
      }
    }
    return {};
  }
  if (first.type == EventType::ArrayBegin) {
    r.next();
    for (std::size_t i = 0; i < N; ++i) {
      const Event& e = r.peek();
      if (e.type == EventType::ArrayEnd) {
        // Values missing at the end take their defaults; a required one cannot.
        if (fields[i].required) return std::unexpected(r.error_at(e, described_length(i)));
        continue;
      }
      r.push_key(fields[i].name);
      auto res = read_field(i);
      r.pop();
      if (!res) return res;
    }
    std::size_t count = N;
    while (r.peek().type != EventType::ArrayEnd) {
      if (r.peek().type == EventType::SyntaxError) return std::unexpected(r.unexpected("end of array"));
      if (auto s = r.skip_value(); !s) return s;
      ++count;
    }
    r.next();
    if (count > N) return std::unexpected(r.error(described_length(count)));
    return {};
  }
  return std::unexpected(r.unexpected(fmt::format("struct {}", struct_name)));
}

std::expected<std::string, ReadError> read_string(EventReader& r, std::string_view expected) {
  const Event& e = r.peek();
  if (e.type != EventType::String) return std::unexpected(r.unexpected(expected));
  r.next();
  return e.text;
}

// Runs `read` unless the value is null, which reads as none.
template <class T, class Read>
std::expected<std::optional<T>, ReadError> read_optional(EventReader& r, Read&& read) {
  if (r.peek().type == EventType::Null) {
    r.next();
    return std::optional<T>{};
  }
  auto v = read(r);
  if (!v) return std::unexpected(std::move(v.error()));
  return std::optional<T>(std::move(*v));
}

template <class T, class Read>
std::expected<std::vector<T>, ReadError> read_list(EventReader& r, Read&& read) {
  if (r.peek().type != EventType::ArrayBegin) return std::unexpected(r.unexpected("a sequence"));
  r.next();
  std::vector<T> out;
  for (std::size_t i = 0;; ++i) {
    if (r.peek().type == EventType::ArrayEnd) {
      r.next();
      return out;
    }
    r.push_index(i);
    auto v = read(r);
    r.pop();
    if (!v) return std::unexpected(std::move(v.error()));
    out.push_back(std::move(*v));
  }
}

// A string value turned into T by `convert`, whose error text becomes the
// reading error.
template <class Convert>
auto read_converted(EventReader& r, std::string_view expected, Convert&& convert)
    -> std::expected<typename std::invoke_result_t<Convert, std::string_view>::value_type, ReadError> {
  const Event& e = r.peek();
  if (e.type != EventType::String) return std::unexpected(r.unexpected(expected));
  r.next();
  auto v = convert(std::string_view(e.text));
  if (!v) return std::unexpected(r.error_at(e, std::string(v.error())));
  return std::move(*v);
}

std::expected<Ipv4Addr, ReadError> read_ipv4_addr(EventReader& r) {
  return read_converted(r, "IPv4 address", [](std::string_view s) { return Ipv4Addr::parse(s); });
}

std::expected<Ipv4Net, ReadError> read_ipv4_net(EventReader& r) {
  return read_converted(r, "IPv4 network", [](std::string_view s) { return Ipv4Net::parse(s); });
}

std::expected<p2p::PubKey, ReadError> read_pubkey(EventReader& r) {
  return read_converted(r, "a public key", [](std::string_view s) -> std::expected<p2p::PubKey, std::string> {
    auto k = p2p::PubKey::from_text(s);
    if (!k) return std::unexpected(k.error().message());
    return *k;
  });
}

std::expected<Uuid, ReadError> read_uuid(EventReader& r) {
  return read_converted(r, "a UUID string", [](std::string_view s) -> std::expected<Uuid, std::string> {
    auto u = Uuid::parse(s);
    if (!u) return std::unexpected("UUID parsing failed: " + u.error());
    return *u;
  });
}

// Stores a read value into `slot`, passing a failure on.
template <class T, class U>
std::expected<void, ReadError> assign(T& slot, std::expected<U, ReadError>&& v) {
  if (!v) return std::unexpected(std::move(v.error()));
  slot = std::move(*v);
  return {};
}

constexpr std::array<FieldDesc, 6> kNetworkConfigFields{{
    {"id", false},
    {"network", true},
    {"name", false},
    {"node", false},
    {"route", false},
    {"policy", false},
}};
constexpr std::array<FieldDesc, 4> kNodeFields{{
    {"pk", true},
    {"ip", true},
    {"hostname", true},
    {"groups", false},
}};
constexpr std::array<FieldDesc, 3> kRouteFields{{
    {"dest", true},
    {"gw", true},
    {"groups", false},
}};
constexpr std::array<FieldDesc, 2> kPolicyFields{{
    {"source_groups", true},
    {"destination_groups", true},
}};
constexpr std::array<FieldDesc, 1> kMultiFields{{
    {"network", true},
}};

}  // namespace

std::vector<DocumentKey> network_document_keys() {
  std::vector<DocumentKey> out;
  auto add = [&out](std::string_view prefix, const auto& fields) {
    for (const auto& f : fields) out.push_back({std::string(prefix) + std::string(f.name), f.required});
  };
  add("", kNetworkConfigFields);
  add("node.", kNodeFields);
  add("route.", kRouteFields);
  add("policy.", kPolicyFields);
  return out;
}

std::string quoted_source_line(std::string_view text, std::size_t line, std::size_t column) {
  constexpr std::size_t kWindow = 160;
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) return {};
    start = nl + 1;
  }
  std::size_t end = text.find('\n', start);
  std::string_view out = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  if (out.ends_with('\r')) out.remove_suffix(1);
  if (out.size() <= kWindow) return std::string(out);
  auto is_continuation = [&out](std::size_t i) {
    return i < out.size() && (static_cast<unsigned char>(out[i]) & 0xC0) == 0x80;
  };
  std::size_t from = column > kWindow / 2 ? column - kWindow / 2 : 0;
  if (from > out.size()) from = out.size();
  while (is_continuation(from)) ++from;
  std::size_t to = std::min(out.size(), from + kWindow);
  while (is_continuation(to)) ++to;
  return std::string(from > 0 ? "..." : "") + std::string(out.substr(from, to - from)) +
         (to < out.size() ? "..." : "");
}

// --- EventReader ------------------------------------------------------------------

const Event& EventReader::peek() const noexcept { return at_end() ? kEndOfInput : stream_.events[pos_]; }

const Event& EventReader::next() noexcept {
  if (at_end()) return kEndOfInput;
  last_ = pos_;
  return stream_.events[pos_++];
}

void EventReader::push_key(std::string_view key) { path_.emplace_back(key); }

void EventReader::push_index(std::size_t index) { path_.push_back(fmt::format("[{}]", index)); }

std::string EventReader::path_string() const {
  std::string out;
  for (const auto& p : path_) {
    if (!out.empty() && !p.starts_with('[')) out += '.';
    out += p;
  }
  return out;
}

ReadError EventReader::error_at(const Event& e, std::string description) const {
  ReadError err;
  err.description = std::move(description);
  switch (stream_.form) {
    case Form::Toml:
      err.key_path = path_string();
      if (e.line != 0) {
        err.position = ReadError::Position{e.line, e.column};
        err.source_line = quoted_source_line(stream_.text, e.line, e.column);
      }
      break;
    case Form::JsonText:
      if (e.offset != static_cast<std::size_t>(-1)) err.position = position_of_offset(stream_.text, e.offset);
      break;
    case Form::JsonValue:
      break;
  }
  return err;
}

ReadError EventReader::error(std::string description) const {
  if (last_ < stream_.events.size()) return error_at(stream_.events[last_], std::move(description));
  return error_at(peek(), std::move(description));
}

ReadError EventReader::unexpected(std::string_view expected) const {
  const Event& e = peek();
  if (e.type == EventType::SyntaxError) {
    ReadError err = error_at(e, e.text);
    err.key_path.clear();
    if (&e == &kEndOfInput && !stream_.events.empty()) {
      const Event& last = stream_.events.back();
      if (stream_.form == Form::JsonText && last.offset != static_cast<std::size_t>(-1)) {
        err.position = position_of_offset(stream_.text, last.offset);
      }
    }
    return err;
  }
  return error_at(e, fmt::format("invalid type: {}, expected {}", describe(e), expected));
}

std::expected<void, ReadError> EventReader::skip_value() {
  std::size_t depth = 0;
  do {
    const Event& e = peek();
    switch (e.type) {
      case EventType::SyntaxError:
        return std::unexpected(unexpected("a value"));
      case EventType::ObjectBegin:
      case EventType::ArrayBegin:
        ++depth;
        break;
      case EventType::ObjectEnd:
      case EventType::ArrayEnd:
        if (depth == 0) return std::unexpected(unexpected("a value"));
        --depth;
        break;
      default:
        break;
    }
    next();
  } while (depth > 0);
  return {};
}

std::expected<void, ReadError> EventReader::finish() {
  if (at_end()) return {};
  if (peek().type == EventType::SyntaxError) return std::unexpected(unexpected("end of input"));
  return std::unexpected(error_at(peek(), "trailing input after the document"));
}

// --- record readers -------------------------------------------------------------------

std::expected<NetworkConfig, ReadError> read_network_config(EventReader& r) {
  NetworkConfig c;
  auto res = read_struct(r, "NetworkConfig", kNetworkConfigFields, [&](std::size_t i) -> std::expected<void, ReadError> {
    switch (i) {
      case 0:
        return assign(c.id, read_optional<Uuid>(r, read_uuid));
      case 1:
        return assign(c.network, read_ipv4_net(r));
      case 2:
        return assign(c.name, read_optional<std::string>(r, [](EventReader& rr) { return read_string(rr, "a string"); }));
      case 3:
        return assign(c.node, deserialize_nodes(r));
      case 4:
        return assign(c.route, deserialize_routes(r));
      default:
        return assign(c.policy, deserialize_policies(r));
    }
  });
  if (!res) return std::unexpected(std::move(res.error()));
  return c;
}

std::expected<MultiNetworkConfig, ReadError> read_multi_network_config(EventReader& r) {
  MultiNetworkConfig m;
  auto res = read_struct(r, "MultiNetworkConfig", kMultiFields, [&](std::size_t) -> std::expected<void, ReadError> {
    return assign(m.network, read_list<NetworkConfig>(r, read_network_config));
  });
  if (!res) return std::unexpected(std::move(res.error()));
  return m;
}

std::expected<NetworkNode, ReadError> read_network_node(EventReader& r) {
  NetworkNode n;
  auto res = read_struct(r, "NetworkNode", kNodeFields, [&](std::size_t i) -> std::expected<void, ReadError> {
    switch (i) {
      case 0:
        return assign(n.pk, read_pubkey(r));
      case 1:
        return assign(n.ip, read_ipv4_addr(r));
      case 2:
        return assign(n.hostname, read_string(r, "a string"));
      default:
        return assign(n.groups, deserialize_groups(r));
    }
  });
  if (!res) return std::unexpected(std::move(res.error()));
  return n;
}

std::expected<NetworkRoute, ReadError> read_network_route(EventReader& r) {
  NetworkRoute rt;
  auto res = read_struct(r, "NetworkRoute", kRouteFields, [&](std::size_t i) -> std::expected<void, ReadError> {
    switch (i) {
      case 0:
        return assign(rt.dest, read_ipv4_net(r));
      case 1:
        return assign(rt.gw, read_pubkey(r));
      default:
        return assign(rt.groups, deserialize_groups(r));
    }
  });
  if (!res) return std::unexpected(std::move(res.error()));
  return rt;
}

std::expected<NetworkPolicy, ReadError> read_network_policy(EventReader& r) {
  NetworkPolicy p;
  auto res = read_struct(r, "NetworkPolicy", kPolicyFields, [&](std::size_t i) -> std::expected<void, ReadError> {
    return assign(i == 0 ? p.source_groups : p.destination_groups, deserialize_groups(r));
  });
  if (!res) return std::unexpected(std::move(res.error()));
  return p;
}

// --- field readers --------------------------------------------------------------------
// Each reads its whole list first: a malformed entry anywhere is reported in
// preference to a repeated one.

std::expected<NodeMap, ReadError> deserialize_nodes(EventReader& r) {
  auto list = read_list<NetworkNode>(r, read_network_node);
  if (!list) return std::unexpected(std::move(list.error()));
  NodeMap nodes;
  std::unordered_set<Ipv4Addr> ips;
  std::unordered_set<std::string, p2p::util::KeyedHash, std::equal_to<>> hostnames;
  nodes.reserve(list->size());
  for (auto& n : *list) {
    if (nodes.contains(n.pk)) return std::unexpected(r.error("duplicate public key: " + n.pk.to_string()));
    if (!ips.insert(n.ip).second) return std::unexpected(r.error("duplicate IP address: " + n.ip.to_string()));
    if (!hostnames.insert(unicode_to_lower(n.hostname)).second) {
      return std::unexpected(r.error("duplicate hostname: " + n.hostname));
    }
    p2p::PubKey pk = n.pk;
    nodes.emplace(pk, std::move(n));
  }
  return nodes;
}

std::expected<RouteMap, ReadError> deserialize_routes(EventReader& r) {
  auto list = read_list<NetworkRoute>(r, read_network_route);
  if (!list) return std::unexpected(std::move(list.error()));
  RouteMap routes;
  routes.reserve(list->size());
  for (auto& rt : *list) {
    Ipv4Net dest = rt.dest;
    if (!routes.emplace(dest, std::move(rt)).second) {
      return std::unexpected(r.error("duplicate route destination: " + dest.to_string()));
    }
  }
  return routes;
}

std::expected<PolicySet, ReadError> deserialize_policies(EventReader& r) {
  auto list = read_list<NetworkPolicy>(r, read_network_policy);
  if (!list) return std::unexpected(std::move(list.error()));
  // An equal policy listed again is dropped; the first one stays.
  PolicySet policies;
  for (auto& p : *list) policies.insert(std::move(p));
  return policies;
}

std::expected<GroupSet, ReadError> deserialize_groups(EventReader& r) {
  auto list = read_list<std::string>(r, [](EventReader& rr) { return read_string(rr, "a string"); });
  if (!list) return std::unexpected(std::move(list.error()));
  GroupSet groups;
  for (auto& g : *list) groups.insert(std::move(g));
  return groups;
}

}  // namespace velarix::network::detail
