#include "util/log.h"

#include <mutex>
#include <utility>

namespace velarix::log {
namespace {

std::shared_ptr<spdlog::logger> make_silent() {
  auto l = std::make_shared<spdlog::logger>("velarix-agent");
  l->set_level(spdlog::level::off);
  return l;
}

// Loggers are kept alive for the life of the process: a reader may hold the
// reference it loaded while another thread installs a new one.
std::shared_ptr<spdlog::logger> g_silent = make_silent();
std::shared_ptr<spdlog::logger> g_installed;
std::atomic<spdlog::logger*> g_current{g_silent.get()};
std::mutex g_install_mutex;

}  // namespace

spdlog::logger& logger() noexcept { return *g_current.load(std::memory_order_acquire); }

bool install(std::shared_ptr<spdlog::logger> l) {
  std::lock_guard lock(g_install_mutex);
  if (g_installed || !l) return false;
  g_installed = std::move(l);
  g_current.store(g_installed.get(), std::memory_order_release);
  return true;
}

std::optional<spdlog::level::level_enum> parse_level(std::string_view text) noexcept {
  using spdlog::level::level_enum;
  static constexpr std::pair<std::string_view, level_enum> kLevels[] = {
      {"trace", level_enum::trace}, {"debug", level_enum::debug}, {"info", level_enum::info},
      {"warn", level_enum::warn},   {"error", level_enum::err},   {"off", level_enum::off},
  };
  for (const auto& [name, level] : kLevels) {
    if (text == name) return level;
  }
  return std::nullopt;
}

}  // namespace velarix::log
