#pragma once
// Facts about the device and the agent for the controller's metrics.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "controller/models.h"

namespace velarix::agent {

// Runs a program found through the search path and returns its standard
// output trimmed of white space; nothing when it cannot start, prints text
// that is not UTF-8, prints too much or runs too long. Its exit status is
// not looked at.
std::optional<std::string> run_command(const std::string& program, const std::vector<std::string>& args);

using CommandRunner =
    std::function<std::optional<std::string>(const std::string& program, const std::vector<std::string>& args)>;

// The device's operating system and its version, its interface addresses
// and the agent's version, with the caller's UI version and error lines.
// Blocks while the commands run.
controller::UpdateNodeMetricsRequest build_metrics_request(std::optional<std::string> ui_version,
                                                           std::optional<std::string> error_logs,
                                                           const CommandRunner& run = run_command);

// A Darwin kernel release ("23.1.0") as the system version it ships with
// ("19.1"); any other text unchanged.
std::string os_version_from_kernel_release(const std::string& release);

}  // namespace velarix::agent
