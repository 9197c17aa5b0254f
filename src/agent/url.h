#pragma once
// Absolute URLs in a normal form, so that two texts naming the same resource
// compare equal (scheme and host case, default port, empty path, dot segments).

#include <compare>
#include <expected>
#include <string>
#include <string_view>

namespace velarix::agent {

class Url {
 public:
  // Parses an absolute URL; the error is a short description of the fault.
  static std::expected<Url, std::string> parse(std::string_view text);

  const std::string& as_str() const noexcept { return text_; }
  std::string_view scheme() const;
  std::string_view host() const;
  std::string_view path() const;

  friend auto operator<=>(const Url&, const Url&) = default;
  friend bool operator==(const Url&, const Url&) = default;

 private:
  std::string text_;
};

}  // namespace velarix::agent

template <>
struct std::hash<velarix::agent::Url> {
  std::size_t operator()(const velarix::agent::Url& u) const noexcept { return std::hash<std::string>{}(u.as_str()); }
};
