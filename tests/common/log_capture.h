#pragma once
// Captures every log line of the process (TRACE and up) for tests that check
// what was logged. The capturing logger is installed once per process.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "util/log.h"

namespace velarix::test {

class LogCapture {
 public:
  // The process-wide capture; installs it on first use (false from `installed()`
  // when another logger was installed first).
  static LogCapture& get() {
    static LogCapture capture;
    return capture;
  }
  bool installed() const { return installed_; }

  void clear() {
    std::lock_guard lock(sink_->mutex_);
    sink_->lines.clear();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(sink_->mutex_);
    return sink_->lines;
  }
  // Lines that contain `text`.
  std::size_t count(const std::string& text) const {
    auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }

 private:
  struct Sink final : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::string> lines;
    using spdlog::sinks::base_sink<std::mutex>::mutex_;

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines.push_back(std::string(spdlog::level::to_string_view(msg.level).data()) + " " +
                      std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
  };

  LogCapture() : sink_(std::make_shared<Sink>()) {
    auto logger = std::make_shared<spdlog::logger>("velarix-test", sink_);
    logger->set_level(spdlog::level::trace);
    installed_ = log::install(std::move(logger));
  }

  std::shared_ptr<Sink> sink_;
  bool installed_ = false;
};

}  // namespace velarix::test
