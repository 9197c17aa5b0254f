#pragma once
// The 4-byte id that replaces the long header on application messages between
// two nodes that reach each other directly.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace velarix::p2p {

class ShortId {
 public:
  static constexpr std::size_t kSize = 4;
  // The first four bytes of every long header; never a short id, so that a
  // receiver can tell the two header forms apart by their first four bytes.
  static constexpr std::uint32_t kMagicValue = 0x1E3F5001;

  constexpr ShortId() = default;
  constexpr explicit ShortId(std::uint32_t value) : value_(value) {}
  // Reads four bytes, big-endian.
  static constexpr ShortId from_bytes(std::span<const std::uint8_t, kSize> bytes) noexcept {
    return ShortId((std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                   (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]});
  }
  // A random id that is valid (never 0, never the magic value).
  static ShortId random() noexcept;
  // Where `random` draws from instead of the system's CSPRNG (null: the CSPRNG again); returns
  // the previous one. Tests use it to force collisions.
  using Source = std::uint32_t (*)();
  static Source set_source(Source source) noexcept;

  constexpr std::uint32_t value() const noexcept { return value_; }
  constexpr std::array<std::uint8_t, kSize> to_bytes() const noexcept {
    return {static_cast<std::uint8_t>(value_ >> 24), static_cast<std::uint8_t>(value_ >> 16),
            static_cast<std::uint8_t>(value_ >> 8), static_cast<std::uint8_t>(value_)};
  }
  // 0 stands for "none assigned".
  constexpr bool is_none() const noexcept { return value_ == 0; }
  // Usable on the wire: neither 0 nor the magic value.
  constexpr bool is_valid() const noexcept { return value_ != 0 && value_ != kMagicValue; }

  // Text form: eight lower-case hexadecimal digits of the four bytes.
  std::string to_string() const;

  friend constexpr auto operator<=>(const ShortId&, const ShortId&) = default;

 private:
  std::uint32_t value_ = 0;
};

}  // namespace velarix::p2p

template <>
struct std::hash<velarix::p2p::ShortId> {
  std::size_t operator()(const velarix::p2p::ShortId& id) const noexcept {
    return std::hash<std::uint32_t>{}(id.value());
  }
};
