#pragma once
// UTF-8 validation and Unicode white space, for texts that arrive from the host,
// the environment and files.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velarix::util::utf8 {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool is_valid(std::string_view text) noexcept;

// True for code points with the Unicode White_Space property.
bool is_white_space(char32_t cp) noexcept;

// Splits valid UTF-8 text at runs of Unicode white space; ends yield no item.
std::vector<std::string_view> split_white_space(std::string_view text);

// Removes Unicode white space from both ends of valid UTF-8 text.
std::string_view trim(std::string_view text);

}  // namespace velarix::util::utf8
