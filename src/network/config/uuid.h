#pragma once
// 128-bit identifiers of networks.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace velarix::network {

class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // Accepts 32 hexadecimal digits (either case), plain or grouped 8-4-4-4-12
  // by hyphens; the grouped form may also stand in braces or behind
  // "urn:uuid:". The error text is the parser's own description of the fault.
  static std::expected<Uuid, std::string> parse(std::string_view text);

  const Bytes& bytes() const noexcept { return bytes_; }
  // 36 lower-case characters, grouped 8-4-4-4-12. Also the debug form.
  std::string to_string() const;

  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;
  friend constexpr bool operator==(const Uuid&, const Uuid&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace velarix::network

template <>
struct std::hash<velarix::network::Uuid> {
  std::size_t operator()(const velarix::network::Uuid& u) const noexcept;
};

template <>
struct fmt::formatter<velarix::network::Uuid> : fmt::formatter<std::string_view> {
  auto format(const velarix::network::Uuid& u, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(u.to_string(), ctx);
  }
};
