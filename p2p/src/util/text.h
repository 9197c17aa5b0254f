#pragma once
// Small helpers shared by several components.

#include <algorithm>
#include <string>
#include <string_view>

namespace velarix::util {

// ASCII letters lowered; every other byte (UTF-8 included) kept as it is.
inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return out;
}

// Visitor from lambdas, for std::visit over error variants.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace velarix::util
