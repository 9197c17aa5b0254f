// TOML documents as event streams.

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "network/config/reader.h"
#include "network/config/toml_guard.h"

namespace velarix::network::detail {
namespace {

// The key under which a date or time stands inside the map that represents
// it: no record has such a key, so where a record is expected a date reads as
// a record without any of its keys.
constexpr std::string_view kDateTimeKey = "$__toml_private_datetime";

template <class T>
std::string to_text(const T& v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

class TomlWalker {
 public:
  explicit TomlWalker(std::vector<Event>& out) : out_(out) {}

  void walk(const toml::node& root) {
    visit(root);
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.next == f.children.size()) {
        Event& e = push(f.is_table ? EventType::ObjectEnd : EventType::ArrayEnd, *f.node);
        (void)e;
        stack_.pop_back();
        continue;
      }
      auto [key, child] = f.children[f.next++];
      if (f.is_table) push(EventType::Key, *child).text = std::string(key);
      visit(*child);  // may grow the stack: `f` is not used after this
    }
  }

 private:
  struct Frame {
    const toml::node* node;
    bool is_table;
    std::vector<std::pair<std::string_view, const toml::node*>> children;
    std::size_t next = 0;
  };

  Event& push(EventType type, const toml::node& at) {
    Event& e = out_.emplace_back();
    e.type = type;
    const auto& begin = at.source().begin;
    e.line = begin.line;
    e.column = begin.column;
    return e;
  }

  void visit(const toml::node& n) {
    switch (n.type()) {
      case toml::node_type::table: {
        push(EventType::ObjectBegin, n);
        Frame f{&n, true, {}, 0};
        for (auto&& [k, v] : *n.as_table()) f.children.emplace_back(k.str(), &v);
        // Keys are handed over in ascending byte order.
        std::sort(f.children.begin(), f.children.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        stack_.push_back(std::move(f));
        break;
      }
      case toml::node_type::array: {
        push(EventType::ArrayBegin, n);
        Frame f{&n, false, {}, 0};
        for (const auto& v : *n.as_array()) f.children.emplace_back(std::string_view{}, &v);
        stack_.push_back(std::move(f));
        break;
      }
      case toml::node_type::string:
        push(EventType::String, n).text = n.as_string()->get();
        break;
      case toml::node_type::integer:
        push(EventType::Integer, n).integer = n.as_integer()->get();
        break;
      case toml::node_type::floating_point:
        push(EventType::Float, n).floating = n.as_floating_point()->get();
        break;
      case toml::node_type::boolean:
        push(EventType::Bool, n).boolean = n.as_boolean()->get();
        break;
      case toml::node_type::date:
        date_time(n, to_text(n.as_date()->get()));
        break;
      case toml::node_type::time:
        date_time(n, to_text(n.as_time()->get()));
        break;
      case toml::node_type::date_time:
        date_time(n, to_text(n.as_date_time()->get()));
        break;
      case toml::node_type::none:
        push(EventType::Null, n);
        break;
    }
  }

  void date_time(const toml::node& n, std::string text) {
    push(EventType::ObjectBegin, n);
    push(EventType::Key, n).text = std::string(kDateTimeKey);
    push(EventType::String, n).text = std::move(text);
    push(EventType::ObjectEnd, n);
  }

  std::vector<Event>& out_;
  std::vector<Frame> stack_;
};

ReadError syntax_error(std::string_view text, std::string_view description, const toml::source_region& where) {
  ReadError err;
  err.description = std::string(description);
  if (where.begin.line != 0) {
    err.position = ReadError::Position{where.begin.line, where.begin.column};
    err.source_line = quoted_source_line(text, where.begin.line, where.begin.column);
  }
  return err;
}

}  // namespace

std::expected<EventStream, ReadError> toml_events(std::string_view text) {
  EventStream s;
  s.form = Form::Toml;
  s.text = text;
if (auto fault = toml_guard::check(text)) {
    toml::source_region where;
    where.begin.line = static_cast<toml::source_index>(fault->line);
    where.begin.column = static_cast<toml::source_index>(fault->column);
    return std::unexpected(syntax_error(text, fault->message, where));
  }
#if TOML_EXCEPTIONS
  try {
    toml::table root = toml::parse(text);
    TomlWalker(s.events).walk(root);
  } catch (const toml::parse_error& e) {
    return std::unexpected(syntax_error(text, e.description(), e.source()));
  } catch (const std::exception& e) {
    ReadError err;
    err.description = e.what();
    return std::unexpected(std::move(err));
  }
#else
  toml::parse_result result = toml::parse(text);
  if (!result) return std::unexpected(syntax_error(text, result.error().description(), result.error().source()));
  TomlWalker(s.events).walk(result.table());
#endif
  return s;
}

}  // namespace velarix::network::detail
