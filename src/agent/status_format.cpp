#include "agent/status_format.h"

#include <ctime>

#include <fmt/format.h>

namespace velarix::agent {

namespace {

// The last year the report writes; later instants print as invalid.
constexpr long kMaxYear = 262143;

void append_unit(std::string& out, std::uint64_t value, std::string_view unit, bool plural) {
  if (value == 0) return;
  if (!out.empty()) out.push_back(' ');
  out += std::to_string(value);
  out += unit;
  if (plural && value > 1) out.push_back('s');
}

// Year as RFC 3339 writes it: four digits, or signed with at least five beyond 0..9999.
std::string year_text(long year) {
  if (year >= 0 && year <= 9999) return fmt::format("{:04}", year);
  return fmt::format("{:+05}", year);
}

}  // namespace

std::string format_duration(std::uint64_t seconds, std::uint32_t nanos) {
  if (seconds == 0 && nanos == 0) return "0s";
  constexpr std::uint64_t kYear = 31'557'600;  // 365.25 days
  constexpr std::uint64_t kMonth = 2'630'016;  // 30.44 days
  const std::uint64_t years = seconds / kYear;
  const std::uint64_t year_rest = seconds % kYear;
  const std::uint64_t months = year_rest / kMonth;
  const std::uint64_t month_rest = year_rest % kMonth;
  const std::uint64_t days = month_rest / 86'400;
  const std::uint64_t day_secs = month_rest % 86'400;
  std::string out;
  append_unit(out, years, "year", true);
  append_unit(out, months, "month", true);
  append_unit(out, days, "day", true);
  append_unit(out, day_secs / 3600, "h", false);
  append_unit(out, day_secs % 3600 / 60, "m", false);
  append_unit(out, day_secs % 60, "s", false);
  append_unit(out, nanos / 1'000'000, "ms", false);
  append_unit(out, nanos / 1000 % 1000, "us", false);
  append_unit(out, nanos % 1000, "ns", false);
  return out;
}

std::string format_duration(std::chrono::nanoseconds d) {
  const auto count = d.count();
  // The magnitude of the most negative value still fits an unsigned number.
  const std::uint64_t ns =
      count < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
  return format_duration(ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u));
}

std::string format_timestamp(std::uint64_t us) {
  if (us == 0) return "Never";
  const std::time_t secs = static_cast<std::time_t>(us / 1'000'000u);
  const auto micros = static_cast<std::uint32_t>(us % 1'000'000u);
  std::tm utc{};
  std::tm local{};
  if (::gmtime_r(&secs, &utc) == nullptr || ::localtime_r(&secs, &local) == nullptr ||
      utc.tm_year + 1900L > kMaxYear || local.tm_year + 1900L > kMaxYear) {
    return "Invalid timestamp (" + std::to_string(us) + ")";
  }
  std::string out = fmt::format("{}-{:02}-{:02}T{:02}:{:02}:{:02}", year_text(local.tm_year + 1900L),
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (micros != 0) {
    if (micros % 1000 == 0) {
      out += fmt::format(".{:03}", micros / 1000);
    } else {
      out += fmt::format(".{:06}", micros);
    }
  }
  // Offsets are written to the minute; the rare historical offset with seconds rounds.
  long offset = local.tm_gmtoff;
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  const long minutes = (offset + 30) / 60;
  out += fmt::format("{}{:02}:{:02}", sign, minutes / 60, minutes % 60);
  return out;
}

std::uint64_t now_ns() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::string time_ago_in_words(std::uint64_t us) { return time_ago_in_words(us, now_ns()); }

std::string time_ago_in_words(std::uint64_t us, std::uint64_t now) {
  // Microsecond times reach past what nanoseconds in 64 bits can hold.
  const unsigned __int128 then = static_cast<unsigned __int128>(us) * 1000u;
  const unsigned __int128 diff = then > now ? then - now : now - then;
  const auto seconds = static_cast<std::uint64_t>(diff / 1'000'000'000u);
  const auto nanos = static_cast<std::uint32_t>(diff % 1'000'000'000u);
  return format_duration(seconds, nanos);
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s` and its code
// point; 0 when the first byte does not start one.
std::size_t decode(std::string_view s, char32_t& cp) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  std::size_t len;
  char32_t min;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Characters that move the cursor, end a line or reorder what follows on screen.
bool needs_escape(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || cp == 0x061C ||
         cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

std::string escape(std::string_view text, bool quoted) {
  std::string out;
  out.reserve(std::min(text.size(), kMaxFieldBytes) + (quoted ? 2 : 0));
  if (quoted) out.push_back('"');
  const std::size_t limit = out.size() + kMaxFieldBytes;
  std::size_t i = 0;
  std::string piece;
  while (i < text.size()) {
    char32_t cp = 0;
    std::size_t len = decode(text.substr(i), cp);
    piece.clear();
    if (len == 0) {
      piece = fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
      len = 1;
    } else if (cp == '\\' || (quoted && cp == '"')) {
      piece = {'\\', static_cast<char>(cp)};
    } else if (cp == '\n') {
      piece = "\\n";
    } else if (cp == '\r') {
      piece = "\\r";
    } else if (cp == '\t') {
      piece = "\\t";
    } else if (cp == 0) {
      piece = "\\0";
    } else if (needs_escape(cp)) {
      piece = fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
    } else {
      piece = text.substr(i, len);
    }
    if (out.size() + piece.size() > limit) {
      out += fmt::format("...(+{} bytes)", text.size() - i);
      break;
    }
    out += piece;
    i += len;
  }
  if (quoted) out.push_back('"');
  return out;
}

}  // namespace

std::string one_line(std::string_view text) { return escape(text, false); }
std::string quoted_line(std::string_view text) { return escape(text, true); }

void append_lines(std::string& out, std::string_view text, std::string_view prefix) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (end < text.size() && line.ends_with('\r')) line.remove_suffix(1);
    out += prefix;
    out += line;
    out.push_back('\n');
    start = end + 1;
  }
}

std::string mask_url_credentials(std::string_view text) {
  const auto is_scheme_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
  };
  const auto ends_authority = [](char c) {
    return c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
           static_cast<unsigned char>(c) <= 0x20;
  };
  std::string out;
  std::size_t done = 0;  // text before this is in `out`
  std::size_t pos = 0;
  while ((pos = text.find("://", pos)) != std::string_view::npos) {
    const bool has_scheme = pos > 0 && is_scheme_char(text[pos - 1]);
    const std::size_t start = pos + 3;
    std::size_t end = start;
    while (end < text.size() && !ends_authority(text[end])) ++end;
    pos = end;
    if (!has_scheme) continue;
    const std::size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) continue;
    const std::string_view userinfo = text.substr(start, at);
    if (userinfo.find_first_not_of(':') == std::string_view::npos) continue;
    out.append(text.substr(done, start - done));
    out += "****:****";
    done = start + at;
  }
  out.append(text.substr(done));
  return out;
}

}  // namespace velarix::agent
