#pragma once
// Pieces of the text forms that people read: padded table cells and quoted
// debug strings. The tables themselves are the `to_string` of each list.

#include <cstddef>
#include <string>
#include <string_view>

namespace velarix::network {

// Appends `cell` left-aligned, padded with spaces to `width`; a longer cell is
// written whole.
void append_cell(std::string& out, std::string_view cell, std::size_t width);

// `text` in double quotes, with quotes, backslashes and control characters
// escaped, as debug output shows strings.
std::string debug_quoted(std::string_view text);

}  // namespace velarix::network
