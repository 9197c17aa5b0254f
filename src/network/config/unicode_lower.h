#pragma once
// Full Unicode lower-case mapping, for comparing hostnames without regard to
// letter case (KELVIN SIGN lower-cases to an ASCII k, capital I with dot above
// to i and a combining dot, a word-final capital sigma to final sigma).

#include <string>
#include <string_view>

namespace velarix::network {

// Lower-cases UTF-8 text. Bytes that are not well-formed UTF-8 are copied
// unchanged, so no input is refused or lost.
std::string unicode_to_lower(std::string_view text);

}  // namespace velarix::network
