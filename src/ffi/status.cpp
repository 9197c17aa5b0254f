// The C status call: the report of a running agent as a C string the host owns.

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "agent/status.h"
#include "ffi/ffi.h"
#include "ffi/handles.h"
#include "util/log.h"
#include "util/runtime.h"
#include "velarix_agent.h"

namespace velarix::ffi {

// A copy of `text` in memory from malloc; a text holding a NUL byte cannot
// travel as a C string and is replaced whole. NULL when memory runs out.
char* status_c_string(std::string_view text) noexcept {
  if (text.find('\0') != std::string_view::npos) text = "Status generation failed";
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

namespace {

boost::asio::awaitable<std::string> status_text(std::shared_ptr<agent::AgentInner> inner) {
  std::string report;
  {
    auto status = co_await agent::Status::from_agent(std::move(inner));
    report = status.to_string_with_secrets(false);
    log::trace("Status converted to string without secrets");
  }
  co_return report;
}

}  // namespace

}  // namespace velarix::ffi

extern "C" {

char* velarix_agent_status(const RuntimePtr* runtime, const AgentPtr* agent) {
  if (runtime == nullptr || agent == nullptr) return nullptr;
  try {
    velarix::log::trace("FFI: Starting agent status request");
    auto inner = agent->agent.inner();
    velarix::log::trace("FFI: Converted runtime and agent pointers");
    auto& rt = const_cast<RuntimePtr*>(runtime)->runtime;
    // From one of the runtime's own threads (the network-change callback) the
    // wait could never end: refuse instead of blocking the pool.
    if (rt.running_in_this_thread()) {
      velarix::log::error("FFI: Status requested from a runtime thread; call it from a thread of the host");
      return nullptr;
    }
    auto text = velarix::p2p::util::block_on(rt, velarix::ffi::status_text(std::move(inner)));
    velarix::log::trace("FFI: Status request completed successfully");
    return velarix::ffi::status_c_string(text);
  } catch (const std::exception& e) {
    velarix::log::error("Unexpected failure at the C interface: {}", e.what());
  } catch (...) {
    velarix::log::error("Unexpected failure at the C interface");
  }
  return nullptr;
}

void velarix_agent_status_free(char* status) { std::free(status); }

}  // extern "C"
