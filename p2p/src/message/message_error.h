#pragma once
// Why a message could not be parsed or built.

#include <cstdint>
#include <string>

namespace velarix::p2p {

struct MessageError {
  enum class Kind : std::uint8_t {
    TooShort,            // actual: length, expected: the least length of this form
    Oversized,           // actual: length, expected: the largest length of any message
    LengthMismatch,      // actual: length, expected: the length the fields call for
    MagicInvalid,        // a long header that does not start with the magic bytes
    VersionUnsupported,  // actual: the version byte
    FlagsInvalid,        // actual: the flags byte
    TypeMismatch,        // actual: the type byte, expected: the type the parser reads
    Armed,               // an armed message where no session key is held
    Unarmed,             // an unarmed message where a session key is held
    AuthFailed,          // the authentication tag did not verify: tampered or wrong key
    EncryptionFailed,
    EndpointInvalid,     // actual: the address family byte of an endpoint
    TooManyEndpoints,    // actual: count, expected: the most allowed
    BufferTooSmall,      // actual: the buffer's size, expected: the size needed
    ShortIdInvalid,      // actual: the short id (0 and the magic value are never used)
  };
  Kind kind;
  std::uint64_t actual = 0;
  std::uint64_t expected = 0;

  std::string message() const;
  friend bool operator==(const MessageError&, const MessageError&) = default;
};

}  // namespace velarix::p2p
