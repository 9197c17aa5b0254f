#include "agent/config_secrets.h"

#include <algorithm>

namespace velarix::agent {
namespace {

bool is_bare_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_secret_key(std::string_view key) { return key == "sk" || key == "shared_secret"; }

// The end of the string that opens at `at` (a quote), and its content.
std::size_t string_end(std::string_view text, std::size_t at, std::string* content) {
  const char quote = text[at];
  const bool basic = quote == '"';
  const bool multi = text.substr(at, 3) == std::string_view(basic ? "\"\"\"" : "'''");
  std::size_t i = at + (multi ? 3 : 1);
  while (i < text.size()) {
    const char c = text[i];
    if (basic && c == '\\') {
      i += 2;
      continue;
    }
    if (!multi && c == '\n') return i;  // unterminated: the line ends it
    if (c == quote && (!multi || text.substr(i, 3) == text.substr(at, 3))) {
      const std::size_t end = i + (multi ? 3 : 1);
      if (content) *content = std::string(text.substr(at + 1, i - at - 1));
      return end;
    }
    ++i;
  }
  return text.size();
}

// The end of the value that starts at `at`: a string, a bracketed array or
// inline table (strings inside skipped), or anything else up to a delimiter.
std::size_t value_end(std::string_view text, std::size_t at) {
  if (at >= text.size()) return at;
  const char c = text[at];
  if (c == '"' || c == '\'') return string_end(text, at, nullptr);
  if (c == '[' || c == '{') {
    int depth = 0;
    for (std::size_t i = at; i < text.size();) {
      const char d = text[i];
      if (d == '"' || d == '\'') {
        i = string_end(text, i, nullptr);
        continue;
      }
      if (d == '[' || d == '{') ++depth;
      if ((d == ']' || d == '}') && --depth == 0) return i + 1;
      ++i;
    }
    return text.size();
  }
  std::size_t i = at;
  while (i < text.size() && text[i] != '\n' && text[i] != ',' && text[i] != '}' && text[i] != ']' && text[i] != '#') {
    ++i;
  }
  while (i > at && (text[i - 1] == ' ' || text[i - 1] == '\t' || text[i - 1] == '\r')) --i;
  return i;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> secret_value_spans(std::string_view text) {
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  std::string key;  // the last key part before an '='
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '"' || c == '\'') {
      std::string content;
      i = string_end(text, i, &content);
      key = std::move(content);
    } else if (is_bare_key_char(c)) {
      const std::size_t start = i;
      while (i < text.size() && is_bare_key_char(text[i])) ++i;
      key = std::string(text.substr(start, i - start));
    } else if (c == '=') {
      std::size_t at = i + 1;
      while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
      const bool opens = at < text.size() && (text[at] == '[' || text[at] == '{');
      if (is_secret_key(key)) {
        const std::size_t end = value_end(text, at);
        if (end > at) spans.emplace_back(at, end);
        i = end;
      } else if (opens) {
        i = at + 1;  // keys inside an inline table or array are read on
      } else {
        i = value_end(text, at);
      }
      key.clear();
    } else {
      if (c == '\n' || c == '[' || c == ']' || c == '{' || c == '}' || c == ',') key.clear();
      ++i;
    }
  }
  return spans;
}

std::string mask_secret_values(std::string_view text, std::size_t from, std::size_t to, std::size_t& column) {
  std::string out;
  std::size_t done = from;
  std::size_t moved_column = column;
  for (const auto& [first, second] : secret_value_spans(text)) {
    const std::size_t a = std::max(first, from);
    const std::size_t b = std::min(second, to);
    if (a >= b) continue;
    out.append(text.substr(done, a - done));
    const std::size_t at = a - from;
    if (column >= at && column < b - from) {
      moved_column = out.size();
    } else if (column >= b - from) {
      moved_column -= (b - a);
      moved_column += 4;
    }
    out += "****";
    done = b;
  }
  out.append(text.substr(done, to - done));
  column = moved_column;
  return out;
}

bool is_secret_key_path(std::string_view path) {
  const auto dot = path.rfind('.');
  return is_secret_key(dot == std::string_view::npos ? path : path.substr(dot + 1));
}

}  // namespace velarix::agent
