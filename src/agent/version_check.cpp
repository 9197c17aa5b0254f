#include "agent/version_check.h"

#include <charconv>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velarix::agent::version_check {
namespace {

struct Version {
  std::uint64_t major = 0, minor = 0, patch = 0;
  std::vector<std::string_view> pre;    // empty: a release
  std::vector<std::string_view> build;  // empty: no metadata
};

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool identifier_chars(std::string_view s) {
  for (char c : s) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::uint64_t> number(std::string_view s) {
  if (s.empty() || !all_digits(s) || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  std::uint64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::vector<std::string_view> split_dots(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto dot = s.find('.');
    out.push_back(s.substr(0, dot));
    if (dot == std::string_view::npos) break;
    s.remove_prefix(dot + 1);
  }
  return out;
}

std::optional<Version> parse(std::string_view text) {
  Version v;
  std::string_view build, pre;
  if (const auto plus = text.find('+'); plus != std::string_view::npos) {
    build = text.substr(plus + 1);
    text = text.substr(0, plus);
    if (build.empty()) return std::nullopt;
    v.build = split_dots(build);
    for (auto id : v.build) {
      if (id.empty() || !identifier_chars(id)) return std::nullopt;
    }
  }
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    pre = text.substr(dash + 1);
    text = text.substr(0, dash);
    if (pre.empty()) return std::nullopt;
    v.pre = split_dots(pre);
    for (auto id : v.pre) {
      if (id.empty() || !identifier_chars(id)) return std::nullopt;
      if (all_digits(id) && id.size() > 1 && id[0] == '0') return std::nullopt;
    }
  }
  auto core = split_dots(text);
  if (core.size() != 3) return std::nullopt;
  auto major = number(core[0]), minor = number(core[1]), patch = number(core[2]);
  if (!major || !minor || !patch) return std::nullopt;
  v.major = *major;
  v.minor = *minor;
  v.patch = *patch;
  return v;
}

// Digit runs compare by value; equal values with more leading zeros order later.
std::strong_ordering compare_numeric(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    while (!s.empty() && s[0] == '0') s.remove_prefix(1);
    return s;
  };
  const auto sa = strip(a), sb = strip(b);
  if (auto c = sa.size() <=> sb.size(); c != 0) return c;
  if (auto c = sa.compare(sb) <=> 0; c != 0) return c;
  return a.size() <=> b.size();
}

// Identifier by identifier: numeric ones by value and before alphanumeric
// ones, alphanumeric ones by bytes; a list that is a prefix of the other is less.
std::strong_ordering compare_identifiers(const std::vector<std::string_view>& a,
                                         const std::vector<std::string_view>& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const bool na = all_digits(a[i]), nb = all_digits(b[i]);
    std::strong_ordering c = std::strong_ordering::equal;
    if (na && nb) {
      c = compare_numeric(a[i], b[i]);
    } else if (na != nb) {
      c = na ? std::strong_ordering::less : std::strong_ordering::greater;
    } else {
      c = a[i].compare(b[i]) <=> 0;
    }
    if (c != 0) return c;
  }
  return a.size() <=> b.size();
}

std::strong_ordering compare_pre(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
  if (a.empty() || b.empty()) return b.size() <=> a.size();  // a release orders after its pre-releases
  return compare_identifiers(a, b);
}

}  // namespace

bool is_newer_version(std::string_view version, std::string_view current) {
  const auto a = parse(version);
  const auto b = parse(current);
  if (!a || !b) return version > current;
  if (auto c = a->major <=> b->major; c != 0) return c > 0;
  if (auto c = a->minor <=> b->minor; c != 0) return c > 0;
  if (auto c = a->patch <=> b->patch; c != 0) return c > 0;
  if (auto c = compare_pre(a->pre, b->pre); c != 0) return c > 0;
  return compare_identifiers(a->build, b->build) > 0;
}

}  // namespace velarix::agent::version_check
