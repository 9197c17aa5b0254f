#pragma once
// Helpers shared by the C functions: texts from the host, and a guard that
// keeps every failure on this side of the boundary.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "agent/network_change.h"

#include "util/log.h"
#include "util/utf8.h"
#include "velarix_agent.h"

namespace velarix::ffi {

// The host's NUL-terminated text, when it is valid UTF-8.
inline std::optional<std::string> to_string(const char* s) {
  std::string text(s);
  if (!util::utf8::is_valid(text)) return std::nullopt;
  return text;
}

// A copy of the status report for the host, from malloc (NULL when memory runs
// out); a text holding a NUL byte becomes "Status generation failed".
char* status_c_string(std::string_view text) noexcept;

// Runs `f`; anything thrown (memory exhaustion included) becomes ERR_FAILURE.
template <class F>
int32_t guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::exception& e) {
    log::error("Unexpected failure at the C interface: {}", e.what());
  } catch (...) {
    log::error("Unexpected failure at the C interface");
  }
  return VELARIX_AGENT_ERR_FAILURE;
}

// The agent's network-change callback that hands each change to the host's C
// function as a CNetworkChange whose texts live for the call.
std::function<void(agent::NetworkChange)> c_network_change_callback(void (*callback)(const CNetworkChange*));

}  // namespace velarix::ffi
