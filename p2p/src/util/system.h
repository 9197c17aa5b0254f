#pragma once
// Environment settings: "VELARIX_" + key, parsed to the type of the default.
// A missing, non-UTF-8 or unparsable value silently yields the default.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace velarix::p2p::util {

// The raw value of "VELARIX_" + key, when set and valid UTF-8.
std::optional<std::string> get_env_raw(std::string_view key);

// The keys this process has asked for so far (without the prefix), each once,
// in byte order: for the check that every setting a program reads is one it
// documents.
std::vector<std::string> env_keys_read();

// Decimal parsers of the settings: an optional sign ("+" for unsigned, "+" or
// "-" for signed), then one or more ASCII digits, within the type's range.
std::optional<bool> parse_bool(std::string_view text);
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);
std::optional<std::int32_t> parse_i32(std::string_view text);

template <class T>
T get_env(std::string_view key, T default_value) {
  const auto raw = get_env_raw(key);
  if (!raw) return default_value;
  if constexpr (std::is_same_v<T, std::string>) {
    return *raw;
  } else if constexpr (std::is_same_v<T, bool>) {
    return parse_bool(*raw).value_or(default_value);
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return parse_i32(*raw).value_or(default_value);
  } else {
    static_assert(std::is_unsigned_v<T>, "unsupported setting type");
    const auto v = parse_unsigned(*raw, static_cast<std::uint64_t>(static_cast<T>(-1)));
    return v ? static_cast<T>(*v) : default_value;
  }
}

inline std::string get_env(std::string_view key, const char* default_value) {
  return get_env<std::string>(key, std::string(default_value));
}

// The `UDP_PORT` rule: blank text leaves the port unset; otherwise the text as
// read must be an unsigned 16-bit number.
std::optional<std::uint16_t> parse_udp_port(std::string_view text);

// Splits the `UDP_ADDRS` text at Unicode white space and parses each item as an
// IPv4 or IPv6 address; the first bad item fails the whole list.
std::expected<std::vector<boost::asio::ip::address>, std::string> parse_udp_addrs(std::string_view text);

}  // namespace velarix::p2p::util
