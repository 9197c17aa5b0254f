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

// The TOML library builds and frees nested tables recursively, so a key with
// tens of thousands of dotted parts exhausts the stack. Before parsing, the
// text is scanned for the depth its keys, table headers and nested values
// reach; strings and comments are skipped. The count errs on the side of
// depth (a float in a value counts as one more level), which no real
// document comes near.
constexpr std::size_t kMaxNesting = 256;

std::optional<std::size_t> too_deep_at(std::string_view t) {
  std::size_t i = 0;
  const std::size_t n = t.size();
  std::size_t header = 0;         // parts of the current [table] header
  std::vector<std::size_t> open;  // depth at each open value bracket
  std::size_t dots = 0;           // parts of the key being read
  bool line_start = true;
  auto base = [&] { return open.empty() ? header : open.back(); };
  auto skip_string = [&](char q) {
    bool triple = i + 2 < n && t[i + 1] == q && t[i + 2] == q;
    i += triple ? 3 : 1;
    while (i < n) {
      if (q == '"' && t[i] == '\\') {
        i += 2;
        continue;
      }
      if (t[i] == q && (!triple || (i + 2 < n && t[i + 1] == q && t[i + 2] == q))) {
        i += triple ? 3 : 1;
        return;
      }
      if (!triple && t[i] == '\n') return;
      ++i;
    }
  };
  while (i < n) {
    char c = t[i];
    if (c == '"' || c == '\'') {
      skip_string(c);
      line_start = false;
      continue;
    }
    if (c == '#') {
      while (i < n && t[i] != '\n') ++i;
      continue;
    }
    if (c == '\n') {
      if (open.empty()) dots = 0;
      line_start = true;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '[' && line_start && open.empty()) {
      // A table header: its dotted parts set the depth of what follows.
      std::size_t parts = 1;
      ++i;
      while (i < n && t[i] != ']' && t[i] != '\n') {
        if (t[i] == '"' || t[i] == '\'') {
          skip_string(t[i]);
          continue;
        }
        if (t[i] == '.' && ++parts > kMaxNesting) return i;
        ++i;
      }
      header = parts;
      dots = 0;
      line_start = false;
      continue;
    }
    line_start = false;
    switch (c) {
      case '[':
      case '{':
        open.push_back(base() + dots + 1);
        if (open.back() > kMaxNesting) return i;
        dots = 0;
        break;
      case ']':
      case '}':
        if (!open.empty()) open.pop_back();
        dots = 0;
        break;
      case ',':
        dots = 0;
        break;
      case '.':
        if (base() + ++dots > kMaxNesting) return i;
        break;
      default:
        break;
    }
    ++i;
  }
  return std::nullopt;
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
  if (auto at = too_deep_at(text)) {
    std::string_view before = text.substr(0, *at);
    std::size_t line_start = before.rfind('\n');
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    toml::source_region where;
    where.begin.line = static_cast<toml::source_index>(1 + std::count(before.begin(), before.end(), '\n'));
    where.begin.column = static_cast<toml::source_index>(*at - line_start + 1);
    return std::unexpected(syntax_error(text, "keys and values nest deeper than 256 levels", where));
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
