// The host's logger: which levels it shows, and that a hidden level costs nothing. A process
// installs one logger, so each case runs in a child process of its own.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/alloc_counter.h"
#include "util/log.h"
#include "velarix_agent.h"

namespace {

// An argument that counts how often it is formatted.
struct Counted {
  int* count;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  auto format(const Counted& c, format_context& ctx) const {
    ++*c.count;
    return fmt::formatter<std::string_view>::format("counted", ctx);
  }
};

namespace {

namespace log = velarix::log;
using spdlog::level::level_enum;

// In the child: installs the host's logger with VELARIX_LOG_LEVEL set to `level` (null:
// unset), logs one line at each level and prints how many lines were formatted and what the
// hidden ones allocated.
[[noreturn]] void log_every_level(const char* level) {
  if (level != nullptr) {
    ::setenv("VELARIX_LOG_LEVEL", level, 1);
  } else {
    ::unsetenv("VELARIX_LOG_LEVEL");
  }
  if (velarix_agent_init_logging() != 0) std::_Exit(3);
  int formatted = 0;
  std::size_t hidden_allocations = 0;
  for (const level_enum l :
       {level_enum::trace, level_enum::debug, level_enum::info, level_enum::warn, level_enum::err}) {
    const bool shown = log::enabled(l);
    velarix::test::AllocCounter allocations;
    switch (l) {
      case level_enum::trace: log::trace("trace line {}", Counted{&formatted}); break;
      case level_enum::debug: log::debug("debug line {}", Counted{&formatted}); break;
      case level_enum::info: log::info("info line {}", Counted{&formatted}); break;
      case level_enum::warn: log::warn("warn line {}", Counted{&formatted}); break;
      default: log::error("error line {}", Counted{&formatted}); break;
    }
    if (!shown) hidden_allocations += allocations.count();
  }
  std::fprintf(stderr, "formatted=%d hidden_allocations=%zu\n", formatted, hidden_allocations);
  std::fflush(stderr);
  std::_Exit(0);
}

TEST(HostLoggingDeathTest, ShowsInfoAndAboveUnlessAskedAndHiddenLevelsCostNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* env;  // null: unset
    int shown;        // levels shown, from error down
    const char* lowest_line;
  };
  const char* const bad = "VELARIX_LOG_LEVEL is none of trace, debug, info, warn, error, off; showing info and above";
  for (const Case& c : {Case{nullptr, 3, "info line counted"}, Case{"", 3, "info line counted"},
                        Case{"trace", 5, "trace line counted"}, Case{"debug", 4, "debug line counted"},
                        Case{"info", 3, "info line counted"}, Case{"warn", 2, "warn line counted"},
                        Case{"error", 1, "error line counted"}, Case{"off", 0, ""},
                        Case{"verbose", 3, bad}, Case{"INFO", 3, bad}, Case{" info", 3, bad}}) {
    SCOPED_TRACE(c.env ? "VELARIX_LOG_LEVEL=\"" + std::string(c.env) + "\"" : std::string("unset"));
    const std::string summary = "formatted=" + std::to_string(c.shown) + " hidden_allocations=0";
    EXPECT_EXIT(log_every_level(c.env), ::testing::ExitedWithCode(0), std::string(c.lowest_line) + ".*" + summary);
  }
}

TEST(HostLogging, LevelNames) {
  const std::pair<const char*, std::optional<level_enum>> cases[] = {
      {"trace", level_enum::trace}, {"debug", level_enum::debug}, {"info", level_enum::info},
      {"warn", level_enum::warn},   {"error", level_enum::err},   {"off", level_enum::off},
      {"warning", std::nullopt},    {"err", std::nullopt},        {"Info", std::nullopt},
      {"info ", std::nullopt},      {"", std::nullopt},           {"critical", std::nullopt},
  };
  for (const auto& [text, level] : cases) EXPECT_EQ(log::parse_level(text), level) << '"' << text << '"';
}

}  // namespace
