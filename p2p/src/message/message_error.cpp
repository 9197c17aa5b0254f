#include "message/message_error.h"

#include <fmt/format.h>

namespace velarix::p2p {

std::string MessageError::message() const {
  switch (kind) {
    case Kind::TooShort: return fmt::format("Message too short: {} bytes, at least {} needed", actual, expected);
    case Kind::Oversized: return fmt::format("Message too long: {} bytes, at most {} allowed", actual, expected);
    case Kind::LengthMismatch: return fmt::format("Message length {} does not match its fields ({} bytes)", actual, expected);
    case Kind::MagicInvalid: return "Message does not start with the magic bytes";
    case Kind::VersionUnsupported: return fmt::format("Unsupported message version {}", actual);
    case Kind::FlagsInvalid: return fmt::format("Invalid message flags 0x{:02x}", actual);
    case Kind::TypeMismatch: return fmt::format("Message type {} where type {} was expected", actual, expected);
    case Kind::Armed: return "Message is armed but no session key is available";
    case Kind::Unarmed: return "Message is unarmed but a session key is required";
    case Kind::AuthFailed: return "Message authentication failed";
    case Kind::EncryptionFailed: return "Message encryption failed";
    case Kind::EndpointInvalid: return fmt::format("Invalid endpoint address family {}", actual);
    case Kind::TooManyEndpoints: return fmt::format("Too many endpoints: {}, at most {} allowed", actual, expected);
    case Kind::BufferTooSmall: return fmt::format("Buffer too small: {} bytes, {} needed", actual, expected);
    case Kind::ShortIdInvalid: return fmt::format("Invalid short id {:08x}", actual);
  }
  return "Unknown message error";
}

}  // namespace velarix::p2p
