// Logging for the host: events go to standard error under the subsystem
// "velarix-agent" and the category "default". Like the platform's log, the
// stand-in shows INFO and above unless asked for more: VELARIX_LOG_LEVEL names
// the lowest level shown (trace, debug, info, warn, error or off). The logger's
// own level is that level, so a hidden event is never formatted. A line logged
// inside spans arrives with them before its message (util/span.h).

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "ffi/ffi.h"
#include "util/log.h"
#include "agent/env_settings.h"
#include "velarix_agent.h"

extern "C" int32_t velarix_agent_init_logging(void) {
  return velarix::ffi::guarded([]() -> int32_t {
    const std::string named = velarix::agent::env::kLogLevel.read();
    const auto parsed = named.empty() ? std::optional(spdlog::level::info) : velarix::log::parse_level(named);
    const auto level = parsed.value_or(spdlog::level::info);
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto logger = std::make_shared<spdlog::logger>("velarix-agent", std::move(sink));
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%fZ %^%-5l%$ velarix-agent[default] %v", spdlog::pattern_time_type::utc);
    logger->set_level(level);
    logger->flush_on(spdlog::level::trace);
    if (!velarix::log::install(std::move(logger))) return VELARIX_AGENT_ERR_FAILURE;
    if (!parsed) {
      velarix::log::warn(
          "VELARIX_LOG_LEVEL is none of trace, debug, info, warn, error, off; showing info and above");
    }
    return VELARIX_AGENT_OK;
  });
}
