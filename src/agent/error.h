#pragma once
// The agent's error: one alternative per failure source, each with a fixed
// message prefix and a fixed code at the C interface.

#include <cstdint>
#include <string>

namespace velarix::agent {

enum class ErrorKind : std::uint8_t {
  HttpClient,
  InvalidUri,
  Hyper,
  Utf8,
  Io,
  TomlDe,
  Http,
  UrlParse,
  NetworkError,
  IdentityError,
  NodeError,
  TomlSer,
  ConfigParse,
  NetworkAlreadyExists,
  NetworkNotFound,
  ControllerManagedNetwork,
  UnsupportedTunPlatform,
};

inline constexpr int kErrorKindCount = 17;

struct Error {
  ErrorKind kind;
  // The wrapped error's text, or the carried string.
  std::string inner;

  // The fixed prefix followed by `inner` (the last alternative has no inner text).
  std::string message() const;
  // The code the C interface reports for this error.
  std::int32_t c_code() const noexcept;
};

// The C code of each alternative, indexed by its tag.
std::int32_t c_code(ErrorKind kind) noexcept;

}  // namespace velarix::agent
