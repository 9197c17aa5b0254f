#pragma once
// Reading of configuration documents. Each input form (TOML text, JSON text,
// a parsed JSON value) is first turned into a flat stream of events in the
// order the form hands its keys over; one set of record and field readers
// then reads every form from that stream, so the forms cannot drift apart.
//
// JSON text keeps its keys in document order, repeated keys included, and a
// syntax error becomes the last event of the stream: a fault in a value that
// stands before the syntax error is reported first, as a streaming reader
// would. TOML tables and parsed JSON objects hand their keys over in ascending
// byte order.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "network/config/error.h"
#include "network/config/network_config.h"

namespace velarix::network::detail {

enum class EventType : std::uint8_t {
  ObjectBegin,
  Key,
  ObjectEnd,
  ArrayBegin,
  ArrayEnd,
  Null,
  Bool,
  Integer,
  Unsigned,
  Float,
  String,
  SyntaxError,  // JSON text only; always the last event
};

struct Event {
  EventType type = EventType::Null;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsigned_integer = 0;
  double floating = 0;
  std::string text;  // key, string value, or the syntax error's description
  // Where the event stands: TOML gives line and column of the value, JSON
  // text the byte offset just after the token; 0 and npos when unknown.
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::size_t offset = static_cast<std::size_t>(-1);
};

enum class Form : std::uint8_t { Toml, JsonText, JsonValue };

struct EventStream {
  Form form = Form::JsonValue;
  std::vector<Event> events;
  std::string_view text;  // the input, when there is one (TOML and JSON text)
};

// A TOML document; a syntax error comes back as the ReadError directly.
std::expected<EventStream, ReadError> toml_events(std::string_view text);
// JSON text; a syntax error is kept as the stream's last event.
EventStream json_text_events(std::string_view text);
EventStream json_value_events(const nlohmann::json& value);

// Pulls events, keeps the key path and makes errors with the position the
// input form gives.
class EventReader {
 public:
  explicit EventReader(const EventStream& stream) : stream_(stream) {}

  bool at_end() const noexcept { return pos_ >= stream_.events.size(); }
  // Past the end, a syntax-error event stands in (streams of well-formed
  // input are balanced, so this is reached only by a faulty stream).
  const Event& peek() const noexcept;
  const Event& next() noexcept;

  void push_key(std::string_view key);
  void push_index(std::size_t index);
  void pop() noexcept { path_.pop_back(); }

  // An error at the position of the last consumed event.
  ReadError error(std::string description) const;
  // An error at the position of `e`.
  ReadError error_at(const Event& e, std::string description) const;
  // For the next event, which is not what `expected` names: its syntax error,
  // or "invalid type: <found>, expected <expected>".
  ReadError unexpected(std::string_view expected) const;
  // Skips one whole value, however deep.
  std::expected<void, ReadError> skip_value();
  // After the root value: nothing but an end may follow.
  std::expected<void, ReadError> finish();

 private:
  std::string path_string() const;

  const EventStream& stream_;
  std::size_t pos_ = 0;
  std::size_t last_ = static_cast<std::size_t>(-1);
  std::vector<std::string> path_;
};

// Line `line` (1-based) of `text`, shortened to a window around byte column
// `column` when it is long, cut only at character boundaries.
std::string quoted_source_line(std::string_view text, std::size_t line, std::size_t column);

// A key of a network document by its dotted path ("node.pk" for the key of
// each `node` entry), and whether a record lacking it is refused.
struct DocumentKey {
  std::string path;
  bool required;
};

// Every key the record readers read, in declaration order; the readers take
// their keys from the same tables.
std::vector<DocumentKey> network_document_keys();

// The record readers, one per record, for every form.
std::expected<NetworkConfig, ReadError> read_network_config(EventReader& r);
std::expected<MultiNetworkConfig, ReadError> read_multi_network_config(EventReader& r);
std::expected<NetworkNode, ReadError> read_network_node(EventReader& r);
std::expected<NetworkRoute, ReadError> read_network_route(EventReader& r);
std::expected<NetworkPolicy, ReadError> read_network_policy(EventReader& r);

// The field readers: a list read whole, then turned into a collection.
std::expected<NodeMap, ReadError> deserialize_nodes(EventReader& r);
std::expected<RouteMap, ReadError> deserialize_routes(EventReader& r);
std::expected<PolicySet, ReadError> deserialize_policies(EventReader& r);
std::expected<GroupSet, ReadError> deserialize_groups(EventReader& r);

}  // namespace velarix::network::detail
