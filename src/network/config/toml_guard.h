#pragma once
// A check of TOML text before it reaches the TOML library; every TOML reader of
// the project calls it first and refuses the text when it reports a fault.
//
// The TOML library (toml++ 3.3.0) tests code points for whitespace with a table
// that has gaps: for U+00A1..U+0499, U+2C5E..U+2FFF, U+3001..U+3057 and
// U+FB26..U+FEFE the test runs into an unreachable branch, which is undefined
// behaviour; and some non-ASCII line separators where a value or key is
// expected break assumptions its parser makes. It tests every code point it
// meets outside strings and comments, and in a multi-line basic string the one
// after a backslash and those of the lines a line-ending backslash joins, up to
// the first that is not whitespace.
//
// TOML allows non-ASCII text only in strings and comments, so the check refuses
// every non-ASCII code point outside them (a leading byte-order mark aside) and
// right after a backslash; on joined lines it refuses the gaps only. Only there,
// as the first character after a line-ending backslash, can it refuse text that
// TOML would accept.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velarix::network::toml_guard {

struct Fault {
  std::size_t line = 1;    // from 1
  std::size_t column = 1;  // from 1, in code points
  std::string message;
};

// A fault when `text` holds what the library must not read: the characters
// above, or nesting deeper than the depth guard allows (toml_depth.h). Text that is not
// UTF-8 is checked up to its first bad byte and then left to the library, which
// refuses it there before it looks at anything after it.
std::optional<Fault> check(std::string_view text);

}  // namespace velarix::network::toml_guard
