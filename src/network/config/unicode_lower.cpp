#include "network/config/unicode_lower.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace velarix::network {
namespace {

#include "network/config/unicode_lower_tables.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kCapitalIWithDot = 0x0130;

bool in_ranges(const CpRange* begin, const CpRange* end, char32_t cp) {
  auto it = std::upper_bound(begin, end, cp, [](char32_t c, const CpRange& r) { return c < r.first; });
  return it != begin && cp <= (it - 1)->last;
}

bool case_ignorable(char32_t cp) {
  return in_ranges(std::begin(kCaseIgnorable), std::end(kCaseIgnorable), cp);
}
bool cased(char32_t cp) {
  return in_ranges(std::begin(kCasedNotIgnorable), std::end(kCasedNotIgnorable), cp);
}

char32_t simple_lower(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  auto it = std::lower_bound(std::begin(kLowerPairs), std::end(kLowerPairs), cp,
                             [](const LowerPair& p, char32_t c) { return p.from < c; });
  return (it != std::end(kLowerPairs) && it->from == cp) ? it->to : cp;
}

// One decoded unit: a code point, or a single byte that is no valid UTF-8.
struct Unit {
  std::optional<char32_t> cp;
  std::string_view bytes;
};

std::vector<Unit> decode(std::string_view s) {
  std::vector<Unit> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      len = 1, cp = b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) len = 1;
    out.push_back(Unit{ok ? std::optional<char32_t>(cp) : std::nullopt, s.substr(i, len)});
    i += len;
  }
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Skipping case-ignorable code points, is the next one cased? Invalid bytes
// count as neither ignorable nor cased.
template <class It>
bool ignorable_then_cased(It it, It end) {
  for (; it != end; ++it) {
    if (!it->cp) return false;
    if (!case_ignorable(*it->cp)) return cased(*it->cp);
  }
  return false;
}

}  // namespace

std::string unicode_to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool all_ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (all_ascii) {
    for (char c : text) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
  }
  auto units = decode(text);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit& u = units[i];
    if (!u.cp) {
      out += u.bytes;
      continue;
    }
    char32_t cp = *u.cp;
    if (cp == kCapitalIWithDot) {
      append_utf8(out, 'i');
      append_utf8(out, 0x0307);
    } else if (cp == kCapitalSigma) {
      bool final = ignorable_then_cased(units.rbegin() + static_cast<std::ptrdiff_t>(units.size() - i), units.rend()) &&
                   !ignorable_then_cased(units.begin() + static_cast<std::ptrdiff_t>(i + 1), units.end());
      append_utf8(out, final ? kFinalSigma : kSmallSigma);
    } else {
      append_utf8(out, simple_lower(cp));
    }
  }
  return out;
}

}  // namespace velarix::network
