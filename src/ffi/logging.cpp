// Logging for the host: every event, TRACE and up, goes to standard error
// under the subsystem "velarix-agent" and the category "default".

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "ffi/ffi.h"
#include "util/log.h"
#include "velarix_agent.h"

extern "C" int32_t velarix_agent_init_logging(void) {
  return velarix::ffi::guarded([]() -> int32_t {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto logger = std::make_shared<spdlog::logger>("velarix-agent", std::move(sink));
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%fZ %^%-5l%$ velarix-agent[default] %v", spdlog::pattern_time_type::utc);
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    return velarix::log::install(std::move(logger)) ? VELARIX_AGENT_OK : VELARIX_AGENT_ERR_FAILURE;
  });
}
