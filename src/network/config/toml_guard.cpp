#include "network/config/toml_guard.h"

#include "network/config/toml_depth.h"

#include <fmt/format.h>

namespace velarix::network::toml_guard {

namespace {

// Where the library's whitespace test has no answer.
bool in_gap(char32_t c) noexcept {
  return (c >= 0xA1 && c <= 0x499) || (c >= 0x2C5E && c <= 0x2FFF) || (c >= 0x3001 && c <= 0x3057) ||
         (c >= 0xFB26 && c <= 0xFEFE);
}

// What the library skips as space on joined lines (outside the gaps).
bool horizontal_space(char32_t c) noexcept {
  return c == ' ' || c == '\t' || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200B) ||
         c == 0x202F || c == 0x205F || c == 0x2060 || c == 0x3000 || c == 0xFEFF;
}
bool vertical_space(char32_t c) noexcept { return c >= '\n' && c <= '\r'; }

// Decodes the code point at `text[i]` strictly (no overlong forms, surrogates
// or values past U+10FFFF); its length, or 0 for a bad sequence.
std::size_t decode(std::string_view text, std::size_t i, char32_t& out) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const std::size_t left = text.size() - i;
  const unsigned char b0 = b(0);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < len) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  char32_t c = b0 & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if (k > 1 && (b(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b(k) & 0x3F);
  }
  out = c;
  return len;
}

std::size_t quote_run(std::string_view text, std::size_t i, char q) noexcept {
  std::size_t n = 0;
  while (i + n < text.size() && text[i + n] == q) ++n;
  return n;
}

enum class In { Outside, Comment, Basic, Literal, MultiBasic, MultiLiteral };

}  // namespace

static std::optional<Fault> check_characters(std::string_view text) {
  bool ascii = true;
  for (char ch : text) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
  if (ascii) return std::nullopt;

  In in = In::Outside;
  bool escaped = false;   // the previous code point was a backslash (basic strings)
  bool joining = false;   // after a line-ending backslash, until the first non-space
  std::size_t line = 1;
  std::size_t column = 0;
  auto fault = [&](char32_t c, std::string_view where) {
    return Fault{line, column, fmt::format("unsupported character U+{:04X} {}", static_cast<std::uint32_t>(c), where)};
  };

  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    const std::size_t len = decode(text, i, c);
    if (len == 0) return std::nullopt;
    ++column;
    std::size_t step = len;

    switch (in) {
      case In::Outside:
        if (c >= 0x80 && !(i == 0 && c == 0xFEFF)) return fault(c, "outside a string or comment");
        if (c == '#') {
          in = In::Comment;
        } else if (c == '"' || c == '\'') {
          const bool multi = quote_run(text, i, static_cast<char>(c)) >= 3;
          if (multi) {
            step = 3;
            column += 2;
          }
          in = c == '"' ? (multi ? In::MultiBasic : In::Basic) : (multi ? In::MultiLiteral : In::Literal);
          escaped = joining = false;
        }
        break;
      case In::Comment:
        if (c == '\n') in = In::Outside;
        break;
      case In::Basic:
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '"' || c == '\n') {
          in = In::Outside;
        }
        break;
      case In::Literal:
        if (c == '\'' || c == '\n') in = In::Outside;
        break;
      case In::MultiBasic:
        if (escaped) {
          escaped = false;
          if (c >= 0x80) return fault(c, "after a backslash in a multi-line string");
          joining = horizontal_space(c) || vertical_space(c);
        } else if (c == '"' || c == '\\') {
          joining = false;
          if (c == '\\') {
            escaped = true;
          } else if (const std::size_t run = quote_run(text, i, '"'); run >= 3) {
            // Up to two more quotes still belong to the string.
            step = std::min<std::size_t>(run, 5);
            column += step - 1;
            in = In::Outside;
          } else {
            step = run;
            column += run - 1;
          }
        } else if (c >= '\n' && c <= '\r') {
          // Line breaks keep a join going.
        } else if (joining) {
          if (in_gap(c)) return fault(c, "after a backslash in a multi-line string");
          joining = horizontal_space(c);
        }
        break;
      case In::MultiLiteral:
        if (c == '\'') {
          const std::size_t run = quote_run(text, i, '\'');
          step = run >= 3 ? std::min<std::size_t>(run, 5) : run;
          column += step - 1;
          if (run >= 3) in = In::Outside;
        }
        break;
    }
    if (c == '\n') {
      ++line;
      column = 0;
    }
    i += step;
  }
  return std::nullopt;
}

std::optional<Fault> check(std::string_view text) {
  if (auto fault = check_characters(text)) return fault;
  if (auto at = toml_too_deep(text)) return Fault{at->line, at->column, std::string(kTomlTooDeep)};
  return std::nullopt;
}

}  // namespace velarix::network::toml_guard
