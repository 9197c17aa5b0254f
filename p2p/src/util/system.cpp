#include "util/system.h"

#include <cstdlib>
#include <limits>
#include <mutex>
#include <set>

#include "util/utf8.h"

namespace velarix::p2p::util {
namespace {

// A program asks for a fixed few keys; this many are kept at most.
constexpr std::size_t kMaxKeysKept = 256;

struct KeysRead {
  std::mutex mutex;
  std::set<std::string, std::less<>> keys;
};

// Never destroyed: a thread may still read a setting while the program exits.
KeysRead& keys_read() {
  static auto* k = new KeysRead;
  return *k;
}

}  // namespace

std::vector<std::string> env_keys_read() {
  auto& k = keys_read();
  std::lock_guard lock(k.mutex);
  return {k.keys.begin(), k.keys.end()};
}

std::optional<std::string> get_env_raw(std::string_view key) {
  {
    auto& k = keys_read();
    std::lock_guard lock(k.mutex);
    if (k.keys.size() < kMaxKeysKept && !k.keys.contains(key)) k.keys.emplace(key);
  }
  std::string name = "VELARIX_";
  name.append(key);
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!velarix::util::utf8::is_valid(text)) return std::nullopt;
  return text;
}

std::optional<bool> parse_bool(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<std::int32_t> parse_i32(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  const auto v = parse_unsigned(text, limit);
  if (!v) return std::nullopt;
  return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(*v)) : static_cast<std::int32_t>(*v);
}

std::optional<std::uint16_t> parse_udp_port(std::string_view text) {
  if (velarix::util::utf8::trim(text).empty()) return std::nullopt;
  const auto v = parse_unsigned(text, std::numeric_limits<std::uint16_t>::max());
  if (!v) return std::nullopt;
  return static_cast<std::uint16_t>(*v);
}

std::expected<std::vector<boost::asio::ip::address>, std::string> parse_udp_addrs(std::string_view text) {
  std::vector<boost::asio::ip::address> out;
  for (auto item : velarix::util::utf8::split_white_space(text)) {
    boost::system::error_code ec;
    auto addr = boost::asio::ip::make_address(std::string(item), ec);
    // make_address accepts IPv6 scope suffixes ("fe80::1%eth0"); a plain address has none.
    if (ec || item.find('%') != std::string_view::npos) {
      return std::unexpected("invalid IP address syntax: " + std::string(item));
    }
    out.push_back(addr);
  }
  return out;
}

}  // namespace velarix::p2p::util
