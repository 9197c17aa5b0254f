#include "network/config/uuid.h"

#include <fmt/format.h>

#include "util/keyed_hash.h"

namespace velarix::network {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string describe_char(char c) {
  auto b = static_cast<unsigned char>(c);
  if (b >= 0x20 && b < 0x7F) return fmt::format("`{}`", c);
  return fmt::format("byte 0x{:02X}", b);
}

}  // namespace

std::expected<Uuid, std::string> Uuid::parse(std::string_view text) {
  std::string_view body = text;
  std::size_t offset = 0;  // of `body` in `text`, for error positions
  if (body.starts_with("urn:uuid:")) {
    body.remove_prefix(9);
    offset = 9;
  } else if (body.starts_with('{')) {
    if (!body.ends_with('}') || body.size() < 2) {
      return std::unexpected("invalid braces: an opening brace needs a closing brace at the end");
    }
    body = body.substr(1, body.size() - 2);
    offset = 1;
  }
  bool hyphenated = body.size() == 36;
  if (!hyphenated && (body.size() != 32 || offset != 0)) {
    return std::unexpected(fmt::format(
        "invalid length: expected 32 hexadecimal digits, or 36 characters grouped 8-4-4-4-12, found {}",
        body.size()));
  }
  Bytes bytes{};
  std::size_t digit = 0;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    bool hyphen_here = hyphenated && (i == 8 || i == 13 || i == 18 || i == 23);
    if (hyphen_here) {
      if (c != '-') {
        return std::unexpected(fmt::format("invalid group layout: expected `-` at {}, found {}", offset + i + 1,
                                           describe_char(c)));
      }
      continue;
    }
    int v = hex_value(c);
    if (v < 0) {
      return std::unexpected(fmt::format("invalid character: expected a hexadecimal digit at {}, found {}",
                                         offset + i + 1, describe_char(c)));
    }
    bytes[digit / 2] = static_cast<std::uint8_t>(bytes[digit / 2] | (digit % 2 == 0 ? v << 4 : v));
    ++digit;
  }
  return Uuid(bytes);
}

std::string Uuid::to_string() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes_[i] >> 4];
    out += kHex[bytes_[i] & 0x0F];
  }
  return out;
}

}  // namespace velarix::network

std::size_t std::hash<velarix::network::Uuid>::operator()(const velarix::network::Uuid& u) const noexcept {
  return static_cast<std::size_t>(velarix::p2p::util::keyed_hash(u.bytes().data(), u.bytes().size()));
}
