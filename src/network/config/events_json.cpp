// JSON text and parsed JSON values as event streams.

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "network/config/reader.h"

namespace velarix::network::detail {
namespace {

// A character iterator that records how far the parser has read, so that
// every event knows where in the text it stands.
class CountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator() = default;
  CountingIterator(const char* p, const char** mark) : p_(p), mark_(mark) {}

  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    if (mark_) *mark_ = p_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) { return a.p_ == b.p_; }

 private:
  const char* p_ = nullptr;
  const char** mark_ = nullptr;
};

// "[json.exception.parse_error.101] parse error at line 1, column 2: syntax
// error ..." without the exception id and the parser's own position, which
// the reader gives in its own form.
std::string parse_error_text(const std::string& what) {
  std::string_view s = what;
  if (s.starts_with('[')) {
    if (auto close = s.find("] "); close != std::string_view::npos) s.remove_prefix(close + 2);
  }
  if (s.starts_with("parse error")) {
    if (auto colon = s.find(": "); colon != std::string_view::npos) s.remove_prefix(colon + 2);
  }
  return std::string(s);
}

class EventSax {
 public:
  EventSax(std::vector<Event>& out, const char* begin, const char* const* mark)
      : out_(out), begin_(begin), mark_(mark) {}

  bool null() { return add(EventType::Null); }
  bool boolean(bool v) {
    push(EventType::Bool).boolean = v;
    return true;
  }
  bool number_integer(std::int64_t v) {
    push_number(EventType::Integer).integer = v;
    return true;
  }
  bool number_unsigned(std::uint64_t v) {
    push_number(EventType::Unsigned).unsigned_integer = v;
    return true;
  }
  bool number_float(double v, const std::string&) {
    push_number(EventType::Float).floating = v;
    return true;
  }
  bool string(std::string& v) {
    push(EventType::String).text = std::move(v);
    return true;
  }
  bool binary(nlohmann::json::binary_t&) { return add(EventType::Null); }  // never produced by JSON text
  bool start_object(std::size_t) { return add(EventType::ObjectBegin); }
  bool key(std::string& k) {
    push(EventType::Key).text = std::move(k);
    return true;
  }
  bool end_object() { return add(EventType::ObjectEnd); }
  bool start_array(std::size_t) { return add(EventType::ArrayBegin); }
  bool end_array() { return add(EventType::ArrayEnd); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    Event& e = push(EventType::SyntaxError);
    e.text = parse_error_text(ex.what());
    e.offset = position;
    return false;
  }

 private:
  bool add(EventType type) {
    push(type);
    return true;
  }
  Event& push(EventType type) {
    Event& e = out_.emplace_back();
    e.type = type;
    e.offset = static_cast<std::size_t>(*mark_ - begin_);
    return e;
  }

  // The parser learns that a number has ended by reading the character after
  // it; the number's own position is before that character.
  Event& push_number(EventType type) {
    Event& e = push(type);
    if (e.offset > 0) {
      char last = begin_[e.offset - 1];
      bool number_char = (last >= '0' && last <= '9') || last == '.' || last == 'e' || last == 'E' ||
                         last == '+' || last == '-';
      if (!number_char) --e.offset;
    }
    return e;
  }

  std::vector<Event>& out_;
  const char* begin_;
  const char* const* mark_;
};

}  // namespace

EventStream json_text_events(std::string_view text) {
  EventStream s;
  s.form = Form::JsonText;
  s.text = text;
  const char* begin = text.data();
  const char* mark = begin;
  EventSax sax(s.events, begin, &mark);
  CountingIterator first(begin, &mark);
  CountingIterator last(begin + text.size(), nullptr);
  try {
    // Strict: anything but white space after the document is an error.
    nlohmann::json::sax_parse(first, last, &sax, nlohmann::json::input_format_t::json, true);
  } catch (const std::exception& ex) {
    // Only allocation failures can get here; report them as a failed read.
    Event& e = s.events.emplace_back();
    e.type = EventType::SyntaxError;
    e.text = ex.what();
    e.offset = static_cast<std::size_t>(mark - begin);
  }
  return s;
}

EventStream json_value_events(const nlohmann::json& root) {
  EventStream s;
  s.form = Form::JsonValue;
  auto& out = s.events;
  auto push = [&out](EventType t) -> Event& {
    Event& e = out.emplace_back();
    e.type = t;
    return e;
  };

  // Iterative walk: a value may nest deeper than the stack would allow.
  struct Frame {
    const nlohmann::json* value;
    nlohmann::json::const_iterator it;
  };
  std::vector<Frame> stack;
  auto visit = [&](const nlohmann::json& v) {
    using T = nlohmann::json::value_t;
    switch (v.type()) {
      case T::object:
        push(EventType::ObjectBegin);
        stack.push_back({&v, v.cbegin()});
        break;
      case T::array:
        push(EventType::ArrayBegin);
        stack.push_back({&v, v.cbegin()});
        break;
      case T::string:
        push(EventType::String).text = v.get_ref<const std::string&>();
        break;
      case T::boolean:
        push(EventType::Bool).boolean = v.get<bool>();
        break;
      case T::number_integer:
        push(EventType::Integer).integer = v.get<std::int64_t>();
        break;
      case T::number_unsigned:
        push(EventType::Unsigned).unsigned_integer = v.get<std::uint64_t>();
        break;
      case T::number_float:
        push(EventType::Float).floating = v.get<double>();
        break;
      case T::binary:
        push(EventType::ArrayBegin);
        for (auto b : v.get_binary()) push(EventType::Unsigned).unsigned_integer = b;
        push(EventType::ArrayEnd);
        break;
      case T::null:
      case T::discarded:
        push(EventType::Null);
        break;
    }
  };
  visit(root);
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.it == f.value->cend()) {
      push(f.value->is_object() ? EventType::ObjectEnd : EventType::ArrayEnd);
      stack.pop_back();
      continue;
    }
    // Objects keep their keys sorted, so keys come in ascending byte order.
    auto it = f.it++;
    if (f.value->is_object()) push(EventType::Key).text = it.key();
    visit(*it);  // may grow the stack: `f` is not used after this
  }
  return s;
}

}  // namespace velarix::network::detail
