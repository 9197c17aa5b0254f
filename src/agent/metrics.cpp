#include "agent/metrics.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>

#include "agent/inner.h"
#include "agent/status_format.h"
#include "controller/client.h"
#include "util/log.h"
#include "util/net.h"
#include "util/text.h"
#include "util/utf8.h"
#include "version_info.h"

extern char** environ;

namespace velarix::agent {

namespace {

constexpr std::size_t kMaxCommandOutput = 64 * 1024;
constexpr auto kCommandTimeout = std::chrono::seconds(5);

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// A signed 32-bit decimal: an optional sign, at least one digit, nothing else.
std::optional<std::int32_t> parse_i32(std::string_view s) {
  const bool plus = !s.empty() && s[0] == '+';
  if (plus) s.remove_prefix(1);
  if (s.empty() || s[0] == '+' || (plus && s[0] == '-')) return std::nullopt;
  std::int32_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string agent_version_text() {
  const auto info = VersionInfo::new_();
  std::string commit = info.git_commit;
  if (info.git_dirty == "true") commit += "-dirty";
  return info.version + " (" + commit + ")";
}

}  // namespace

std::optional<std::string> run_command(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return std::nullopt;
  }

  std::string out;
  bool ok = true;
  const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ok = false;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ok = false;
      break;
    }
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > kMaxCommandOutput) {
      ok = false;
      break;
    }
  }
  ::close(fds[0]);
  if (!ok) ::kill(pid, SIGKILL);
  reap(pid);
  if (!ok || !util::utf8::is_valid(out)) return std::nullopt;
  return std::string(util::utf8::trim(out));
}

std::string os_version_from_kernel_release(const std::string& release) {
  const auto first = release.find('.');
  if (first == std::string::npos) return release;
  const auto second = release.find('.', first + 1);
  if (second == std::string::npos) return release;
  const auto major = parse_i32(std::string_view(release).substr(0, first));
  const auto minor = parse_i32(std::string_view(release).substr(first + 1, second - first - 1));
  if (!major || !minor || *major < 5 || *major > 103) return release;
  return std::to_string(*major - 4) + "." + std::to_string(*minor);
}

controller::UpdateNodeMetricsRequest build_metrics_request(std::optional<std::string> ui_version,
                                                           std::optional<std::string> error_logs,
                                                           const CommandRunner& run) {
  controller::UpdateNodeMetricsRequest req;
  if (auto addrs = p2p::util::net::get_addrs()) {
    for (const auto& [name, addr] : *addrs) {
      if (addr.is_v6()) {
        auto v6 = addr.to_v6();
        v6.scope_id(0);
        req.ips.push_back(v6.to_string());
      } else {
        req.ips.push_back(addr.to_string());
      }
    }
  } else {
    log::trace("Failed to get physical network interface IPs: {}", addrs.error().message());
  }

  bool ipad = false;
  if (auto machine = run("uname", {"-m"}); machine && util::ascii_lower(*machine).starts_with("ipad")) {
    ipad = true;
  } else if (auto model = run("sysctl", {"-n", "hw.model"});
             model && util::ascii_lower(*model).find("ipad") != std::string::npos) {
    ipad = true;
  }
  req.os = std::string(controller::Os(ipad ? controller::Os::Kind::IPadOs : controller::Os::Kind::IOs).display());

  if (auto v = run("sw_vers", {"-productVersion"}); v && !v->empty()) {
    req.os_version = std::move(*v);
  } else if (auto r = run("uname", {"-r"}); r && !r->empty()) {
    req.os_version = os_version_from_kernel_release(*r);
  }

  req.os_arch = "aarch64";
  req.velarix_agent_version = agent_version_text();
  req.velarix_ui_version = std::move(ui_version);
  req.error_logs = std::move(error_logs);
  return req;
}

boost::asio::awaitable<std::expected<void, Error>> AgentInner::send_metrics(std::string shared_secret,
                                                                            std::optional<std::string> ui_version) {
  std::string base_url;
  {
    auto guard = co_await state_lock.read();
    const auto& c = state.config.controller;
    base_url = c ? c->url_or_default() : std::string(kDefaultControllerUrl);
  }
  std::vector<std::string> lines;
  {
    auto guard = co_await state_lock.read();
    for (const auto& [url, net] : state.config.network) {
      if (url.scheme() != "controller") continue;
      switch (net.health.kind()) {
        case network::NetworkHealth::Kind::NotAMemberError:
          lines.push_back("Network " + url.as_str() + ": NotAMemberError");
          break;
        case network::NetworkHealth::Kind::RetrieveConfigError:
          lines.push_back("Network " + url.as_str() + ": RetrieveConfigError - " + net.health.error());
          break;
        case network::NetworkHealth::Kind::Pending:
          lines.push_back("Network " + url.as_str() + ": Pending");
          break;
        default:
          break;
      }
    }
  }
  std::optional<std::string> error_logs;
  for (const auto& line : lines) {
    if (error_logs) {
      *error_logs += '\n';
      *error_logs += line;
    } else {
      error_logs = line;
    }
  }

  auto request = build_metrics_request(std::move(ui_version), std::move(error_logs));
  controller::ControllerClient client{
      .auth = controller::ControllerAuth::hmac(std::move(shared_secret)),
      .base_url = std::move(base_url),
      .node_pk = own_pk,
      .timeout = timings.controller_timeout,
  };
  if (log::enabled(spdlog::level::trace)) log::trace("Sending metrics to controller: {}", masked(request.debug()));
  if (auto sent = co_await client.upload_metrics(request)) {
    log::trace("Metrics uploaded successfully");
  } else {
    log::warn("Metrics upload failed: {}", masked(sent.error().message()));
  }
  co_return std::expected<void, Error>{};
}

}  // namespace velarix::agent
