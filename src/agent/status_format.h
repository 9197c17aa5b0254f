#pragma once
// Small text forms of the status report: durations, local timestamps, ages,
// and the one rule by which any text from outside (peers, documents, servers)
// is printed so that it cannot break the report's layout.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace velarix::agent {

// "0s", or every non-zero unit from years down to nanoseconds, largest first,
// joined by blanks: "1year 2months 3days 4h 5m 6s 7ms 8us 9ns". A year is
// 365.25 days and a month 30.44 days.
std::string format_duration(std::uint64_t seconds, std::uint32_t nanos);
// The absolute value of `d` in the form above.
std::string format_duration(std::chrono::nanoseconds d);

// "Never" for 0; otherwise the instant `us` microseconds after the Unix epoch in
// local time as RFC 3339 ("2024-05-01T12:00:00.250+02:00"; a fraction only when
// there is one, an offset and never "Z"). "Invalid timestamp (N)" beyond the
// calendar the report can write (the year 262143).
std::string format_timestamp(std::uint64_t us);

// How far the instant `us` lies from now, either way, as a duration text.
std::string time_ago_in_words(std::uint64_t us);
// The same against `now_ns` (nanoseconds since the Unix epoch).
std::string time_ago_in_words(std::uint64_t us, std::uint64_t now_ns);

// Wall-clock nanoseconds since the Unix epoch.
std::uint64_t now_ns() noexcept;

// The longest a text from outside may fill in the report, escapes included.
inline constexpr std::size_t kMaxFieldBytes = 512;

// `text` made safe for one report line:
// - a backslash is doubled; line feed, carriage return, tab and NUL become
//   \n \r \t \0; every other control character (C0, DEL, C1), the line and
//   paragraph separators and the bidirectional controls become \u{hex};
//   a byte that is not part of valid UTF-8 becomes \xhh;
// - when the result would pass kMaxFieldBytes it is cut at a character
//   boundary and "...(+N bytes)" follows, N the bytes of `text` left out.
// The result is valid UTF-8 without a control character.
std::string one_line(std::string_view text);
// The same between double quotes, a double quote escaped as \".
std::string quoted_line(std::string_view text);

// Appends `text` cut at line feeds (a carriage return before one dropped, no
// empty line for a final line feed), each line behind `prefix` and ending in a
// line feed.
void append_lines(std::string& out, std::string_view text, std::string_view prefix);

// Every "scheme://user:password@" inside `text` with the user information
// replaced by "****:****", so that an error message quoting a URL shows no
// credentials.
std::string mask_url_credentials(std::string_view text);

// A log argument that writes `text` through mask_url_credentials; the masking
// runs only when the line is written. The text must outlive the log call.
struct MaskedCredentials {
  std::string_view text;
};
inline MaskedCredentials masked(std::string_view text) noexcept { return {text}; }

}  // namespace velarix::agent

template <>
struct fmt::formatter<velarix::agent::MaskedCredentials> : fmt::formatter<std::string_view> {
  template <class Context>
  auto format(const velarix::agent::MaskedCredentials& m, Context& ctx) const {
    return fmt::formatter<std::string_view>::format(velarix::agent::mask_url_credentials(m.text), ctx);
  }
};
