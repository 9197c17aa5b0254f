#pragma once
// A depth guard for TOML texts, run before the TOML library sees them.
//
// The TOML library builds and frees nested tables recursively, so a key with a
// few thousand dotted parts exhausts a small thread stack (512 KiB is common
// for secondary threads on a phone). Every reader of TOML from a file or a
// peer checks the text with this guard first.

#include <cstddef>
#include <optional>
#include <string_view>

namespace velarix::network {

// Deeper than any real document comes; shallow enough for a 512 KiB stack.
inline constexpr std::size_t kMaxTomlNesting = 256;

inline constexpr std::string_view kTomlTooDeep = "keys and values nest deeper than 256 levels";

// A place in a text: line and column, both from 1; the column counts bytes.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};

// Where `text` first nests deeper than kMaxTomlNesting through dotted keys,
// table headers or nested values, or nothing when it stays within it. Strings
// and comments are skipped. The count errs on the side of depth (a float in a
// value counts as one more level), which no real document comes near. Runs in
// constant stack and linear time.
std::optional<TextPosition> toml_too_deep(std::string_view text);

}  // namespace velarix::network
