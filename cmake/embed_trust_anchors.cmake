# Writes the build machine's CA bundle into a source file, so that the library
# carries its own trust anchors where the device offers none in OpenSSL's layout.
#   -DIN=<PEM bundle> -DOUT=<generated .cpp>
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" hex_len)
if(hex_len EQUAL 0)
  message(FATAL_ERROR "The CA bundle ${IN} is empty")
endif()
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 24 row)
string(REGEX REPLACE "(${row})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT}.tmp
"// Generated from ${IN}; do not edit.
#include <cstddef>

namespace velarix::agent::detail {

extern const unsigned char kTrustAnchorsPem[];
extern const std::size_t kTrustAnchorsPemSize;

const unsigned char kTrustAnchorsPem[] = {
${bytes}
};
const std::size_t kTrustAnchorsPemSize = ${size};

}  // namespace velarix::agent::detail
")
file(RENAME ${OUT}.tmp ${OUT})
