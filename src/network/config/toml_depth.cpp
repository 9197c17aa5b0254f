#include "network/config/toml_depth.h"

#include <algorithm>
#include <vector>

namespace velarix::network {
namespace {

// The byte offset at which `t` first goes too deep.
std::optional<std::size_t> too_deep_offset(std::string_view t) {
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
        if (t[i] == '.' && ++parts > kMaxTomlNesting) return i;
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
        if (open.back() > kMaxTomlNesting) return i;
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
        if (base() + ++dots > kMaxTomlNesting) return i;
        break;
      default:
        break;
    }
    ++i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<TextPosition> toml_too_deep(std::string_view text) {
  const auto at = too_deep_offset(text);
  if (!at) return std::nullopt;
  const std::string_view before = text.substr(0, *at);
  std::size_t line_start = before.rfind('\n');
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  return TextPosition{static_cast<std::size_t>(1 + std::count(before.begin(), before.end(), '\n')),
                      *at - line_start + 1};
}

}  // namespace velarix::network
