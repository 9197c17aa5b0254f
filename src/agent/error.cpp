#include "agent/error.h"

#include <array>
#include <string_view>

namespace velarix::agent {
namespace {

struct Entry {
  std::string_view prefix;
  std::int32_t code;
};

// Tag order; the last two codes are deliberately out of sequence.
constexpr std::array<Entry, kErrorKindCount> kTable{{
    {"HTTP client error: ", -101},
    {"HTTP URI error: ", -102},
    {"hyper error: ", -103},
    {"UTF8 error: ", -104},
    {"I/O error: ", -105},
    {"TOML error: ", -106},
    {"HTTP error: ", -107},
    {"URL parsing error: ", -108},
    {"Network error: ", -109},
    {"Identity error: ", -110},
    {"Node error: ", -111},
    {"TOML serialization error: ", -112},
    {"Configuration parse error: ", -113},
    {"Network already exists: ", -114},
    {"Network not found: ", -115},
    {"Controller-managed networks cannot be added or removed manually: ", -117},
    {"Unsupported TUN creation platform", -116},
}};

}  // namespace

std::int32_t c_code(ErrorKind kind) noexcept { return kTable[static_cast<std::size_t>(kind)].code; }

std::int32_t Error::c_code() const noexcept { return agent::c_code(kind); }

std::string Error::message() const {
  const auto& e = kTable[static_cast<std::size_t>(kind)];
  if (kind == ErrorKind::UnsupportedTunPlatform) return std::string(e.prefix);
  std::string out(e.prefix);
  out += inner;
  return out;
}

}  // namespace velarix::agent
