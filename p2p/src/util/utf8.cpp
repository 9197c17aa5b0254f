#include "util/utf8.h"

namespace velarix::util::utf8 {
namespace {

// Decodes one code point of valid UTF-8 at `i`, advancing `i`.
char32_t decode(std::string_view s, std::size_t& i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  char32_t cp = b0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (int k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

}  // namespace

bool is_valid(std::string_view s) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    int len;
    char32_t min;
    char32_t cp;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, min = 0x80, cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, min = 0x800, cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
      return false;
    }
    if (n - i < static_cast<std::size_t>(len)) return false;
    for (int k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool is_white_space(char32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

std::vector<std::string_view> split_white_space(std::string_view s) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  std::size_t start = std::string_view::npos;
  while (i < s.size()) {
    const std::size_t at = i;
    const char32_t cp = decode(s, i);
    if (is_white_space(cp)) {
      if (start != std::string_view::npos) {
        items.push_back(s.substr(start, at - start));
        start = std::string_view::npos;
      }
    } else if (start == std::string_view::npos) {
      start = at;
    }
  }
  if (start != std::string_view::npos) items.push_back(s.substr(start));
  return items;
}

std::string_view trim(std::string_view s) {
  std::size_t i = 0;
  std::size_t first = s.size();
  std::size_t last = 0;
  while (i < s.size()) {
    const std::size_t at = i;
    if (!is_white_space(decode(s, i))) {
      if (first == s.size()) first = at;
      last = i;
    }
  }
  return first == s.size() ? std::string_view{} : s.substr(first, last - first);
}

}  // namespace velarix::util::utf8
