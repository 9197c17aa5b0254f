// velarix_host: drives the agent library through its C interface only, as a
// host application does: logging, runtime, configuration, TUN device, start,
// network-change callback, shut-down and free. On Linux it also plays the
// platform's part: it creates the TUN interface and applies the addresses and
// routes of every network change to it.
//
//   velarix_host --config PATH [--tun NAME | --tun-fd N] [--seconds N] [--network URL]...
//                [--remove-network URL]... [--enable-network URL]... [--disable-network URL]...
//                [--list-networks] [--status] [--log-level LEVEL | --no-log] [--init-only]
//
// Runs until SIGINT/SIGTERM, or for --seconds when given. SIGUSR1 asks for the
// status report.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <toml++/toml.h>

#include "host/interface_config.h"
#include "host/netlink.h"
#include "host/tun.h"
#include "velarix_agent.h"

namespace {

using velarix::host::InterfaceConfig;

constexpr const char* kUsage =
    "usage: velarix_host --config PATH [--tun NAME | --tun-fd N] [--seconds N] [--network URL]...\n"
    "  --config PATH   agent configuration file, created with a new identity when missing\n"
    "  --tun NAME      create the TUN interface NAME, give it the agent's MTU, bring it up and\n"
    "                  apply the agent's addresses and routes to it (needs CAP_NET_ADMIN)\n"
    "  --tun-fd N      an open TUN (or packet) descriptor handed to the agent as it is\n"
    "  --seconds N     stop after N seconds (default: run until SIGINT or SIGTERM)\n"
    "  --network URL   add this network to the configuration file before starting\n"
    "  --remove-network URL, --enable-network URL, --disable-network URL\n"
    "                  remove, enable or disable a network of the configuration file before\n"
    "                  starting (an agent running on the file takes the edit up by itself)\n"
    "  --list-networks print the file's networks (after the edits above) and exit\n"
    "  --status        print the status report once the first network change is applied\n"
    "  --log-level L   show log lines of level L and above on standard error: trace, debug,\n"
    "                  info, warn, error or off (default info; VELARIX_LOG_LEVEL when not given)\n"
    "  --no-log        leave the library's logger uninstalled (no log lines, as for measurements)\n"
    "  --init-only     only load or create the configuration file and make the edits\n"
    "Edits are made in the order given; the first one refused ends the program.\n"
    "SIGUSR1 prints the status report.\n";

// What a result code of the C interface means, by the header's names.
struct ResultCode {
  int32_t code;
  const char* name;
  const char* text;
};

#define VELARIX_HOST_CODE(name, text) {VELARIX_AGENT_##name, "VELARIX_AGENT_" #name, text}
constexpr ResultCode kResultCodes[] = {
    VELARIX_HOST_CODE(ERR_UTF8, "not valid UTF-8"),
    VELARIX_HOST_CODE(ERR_FAILURE, "failed"),
    VELARIX_HOST_CODE(ERR_INVALID_URL, "invalid URL"),
    VELARIX_HOST_CODE(ERR_NETWORK_NOT_FOUND, "network not found"),
    VELARIX_HOST_CODE(ERR_NETWORK_EXISTS, "network exists"),
    VELARIX_HOST_CODE(ERR_ALREADY_ENABLED, "already enabled"),
    VELARIX_HOST_CODE(ERR_ALREADY_DISABLED, "already disabled"),
    VELARIX_HOST_CODE(ERROR_HTTP_CLIENT, "HTTP client error"),
    VELARIX_HOST_CODE(ERROR_INVALID_URI, "HTTP URI error"),
    VELARIX_HOST_CODE(ERROR_HYPER, "HTTP protocol error"),
    VELARIX_HOST_CODE(ERROR_UTF8, "text that is not UTF-8"),
    VELARIX_HOST_CODE(ERROR_IO, "I/O error: the file cannot be read or written"),
    VELARIX_HOST_CODE(ERROR_TOML_DE, "TOML error: not a valid configuration file"),
    VELARIX_HOST_CODE(ERROR_HTTP, "HTTP error"),
    VELARIX_HOST_CODE(ERROR_URL_PARSE, "URL parsing error"),
    VELARIX_HOST_CODE(ERROR_NETWORK_ERROR, "invalid network configuration"),
    VELARIX_HOST_CODE(ERROR_IDENTITY_ERROR, "identity error"),
    VELARIX_HOST_CODE(ERROR_NODE_ERROR, "node error: no super peers, or sockets that cannot be bound"),
    VELARIX_HOST_CODE(ERROR_TOML_SER, "TOML serialization error"),
    VELARIX_HOST_CODE(ERROR_CONFIG_PARSE, "configuration parse error: a setting does not parse"),
    VELARIX_HOST_CODE(ERROR_NETWORK_ALREADY_EXISTS, "network already exists"),
    VELARIX_HOST_CODE(ERROR_NETWORK_NOT_FOUND, "network not found"),
    VELARIX_HOST_CODE(ERROR_UNSUPPORTED_TUN_PLATFORM, "unsupported TUN creation platform"),
    VELARIX_HOST_CODE(ERROR_CONTROLLER_MANAGED_NETWORK, "controller-managed network"),
};
#undef VELARIX_HOST_CODE

// "invalid URL (VELARIX_AGENT_ERR_INVALID_URL, -3)"; `failure` stands for the
// text of ERR_FAILURE where the caller knows what failed.
std::string describe(int32_t code, const char* failure = nullptr) {
  for (const auto& c : kResultCodes) {
    if (c.code != code) continue;
    const char* text = code == VELARIX_AGENT_ERR_FAILURE && failure != nullptr ? failure : c.text;
    return std::string(text) + " (" + c.name + ", " + std::to_string(code) + ")";
  }
  return "error " + std::to_string(code);
}

int usage(const std::string& why) {
  std::fprintf(stderr, "velarix_host: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "velarix_host: %s\n", message.c_str());
  return 1;
}

// The editors of the configuration file's network list.
struct Edit {
  const char* flag;
  int32_t (*apply)(const char* path, const char* network_url);
};
constexpr Edit kEdits[] = {
    {"--network", velarix_agent_config_network_add},
    {"--remove-network", velarix_agent_config_network_remove},
    {"--enable-network", velarix_agent_config_network_enable},
    {"--disable-network", velarix_agent_config_network_disable},
};

struct Args {
  std::string config;
  std::string tun_name;
  int tun_fd = -1;
  long seconds = -1;
  std::vector<std::pair<const Edit*, std::string>> edits;  // in the order given
  bool list_networks = false;
  bool status = false;
  bool log = true;
  std::string log_level;  // empty: VELARIX_LOG_LEVEL, else info
  bool init_only = false;
};

// The names the library's logger takes in VELARIX_LOG_LEVEL.
bool is_log_level(const std::string& name) {
  for (const char* level : {"trace", "debug", "info", "warn", "error", "off"}) {
    if (name == level) return true;
  }
  return false;
}

std::optional<long> parse_long(const char* text, long max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max) return std::nullopt;
  return v;
}

// The arguments, or why they cannot be used.
std::expected<Args, std::string> parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--init-only") {
      a.init_only = true;
      continue;
    }
    if (arg == "--status") {
      a.status = true;
      continue;
    }
    if (arg == "--no-log") {
      a.log = false;
      continue;
    }
    if (arg == "--list-networks") {
      a.list_networks = true;
      continue;
    }
    const Edit* edit = nullptr;
    for (const auto& e : kEdits) {
      if (arg == e.flag) edit = &e;
    }
    if (!edit && arg != "--config" && arg != "--tun" && arg != "--tun-fd" && arg != "--seconds" &&
        arg != "--log-level") {
      return std::unexpected("unknown flag " + arg);
    }
    if (i + 1 >= argc) return std::unexpected(arg + " needs a value");
    const char* value = argv[++i];
    const std::string quoted = std::string("'") + value + "'";
    if (edit) {
      a.edits.emplace_back(edit, value);
    } else if (arg == "--config") {
      a.config = value;
    } else if (arg == "--tun") {
      a.tun_name = value;
    } else if (arg == "--tun-fd") {
      auto v = parse_long(value, 1 << 20);
      if (!v) return std::unexpected("--tun-fd: " + quoted + " is not a descriptor number");
      a.tun_fd = static_cast<int>(*v);
    } else if (arg == "--seconds") {
      auto v = parse_long(value, INT32_MAX);
      if (!v) return std::unexpected("--seconds: " + quoted + " is not a whole number of seconds");
      a.seconds = *v;
    } else if (arg == "--log-level") {
      if (!is_log_level(value)) {
        return std::unexpected("--log-level: " + quoted + " is none of trace, debug, info, warn, error, off");
      }
      a.log_level = value;
    }
  }
  if (a.config.empty()) return std::unexpected(std::string("--config PATH is required"));
  if (!a.tun_name.empty() && a.tun_fd >= 0) return std::unexpected(std::string("--tun and --tun-fd exclude each other"));
  return a;
}

// Why the agent would not take descriptor `fd`: the host can tell a closed
// descriptor apart; anything else is not a packet descriptor.
std::string unusable_descriptor(int fd, int32_t code) {
  if (::fcntl(fd, F_GETFD) < 0) return std::string("not an open descriptor (") + std::strerror(errno) + ")";
  return describe(code, "neither a TUN device nor a datagram or sequenced-packet socket, or owned by another device");
}

// A text for the terminal: the control characters a file may carry become '?'.
std::string printable(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

// Prints the networks of the configuration file, one a line, sorted by URL:
// "enabled URL" or "disabled URL", then the name in quotes when it has one.
std::optional<std::string> list_networks(const std::string& path) {
  NetworkInfo* networks = nullptr;
  int32_t count = 0;
  if (int32_t rc = velarix_agent_config_networks(path.c_str(), &networks, &count); rc != 0) {
    return describe(rc, "the configuration file cannot be read");
  }
  std::vector<std::string> lines;
  for (int32_t i = 0; i < count; ++i) {
    std::string line = velarix_agent_network_disabled(networks, i) == 1 ? "disabled " : "enabled ";
    const char* url = velarix_agent_network_url(networks, i);
    line += printable(url ? url : "");
    if (const char* name = velarix_agent_network_name(networks, i)) line += " \"" + printable(name) + "\"";
    lines.push_back(std::move(line));
  }
  velarix_agent_config_networks_free(networks, count);
  std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return a.substr(a.find(' ')) < b.substr(b.find(' '));
  });
  for (const auto& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  return std::nullopt;
}

// The directory that holds the configuration file must exist: a new file is
// created in it, never the directory itself.
std::optional<std::string> missing_config_dir(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::nullopt;
  return dir;
}

bool env_flag(const char* name, bool fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr) return fallback;
  if (std::strcmp(v, "true") == 0) return true;
  if (std::strcmp(v, "false") == 0) return false;
  return fallback;
}

// The MTU the agent runs with: the configuration's `mtu`, else the one that
// leaves room for armed (1073) or unarmed (1121) message overhead. The C
// interface does not tell it, so the host reads it where the agent does.
std::uint32_t agent_mtu(const std::string& config_path) {
  try {
    const toml::table root = toml::parse_file(config_path);
    if (auto mtu = root["mtu"].value<std::int64_t>(); mtu && *mtu >= 0 && *mtu <= 65535)
      return static_cast<std::uint32_t>(*mtu);
  } catch (const toml::parse_error&) {
    // The library has just read this file; a change since then falls back below.
  }
  return env_flag("VELARIX_ARM_MESSAGES", true) ? 1073 : 1121;
}

// Shared between the main thread, the signal thread and the callback.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  bool status_requested = false;
  bool settled = false;  // the first network change was applied
};

Events g_events;
InterfaceConfig* g_interface = nullptr;  // set before the agent starts, cleared after shut-down
std::string g_interface_name;
std::string g_dns_server;  // only touched by the callback, one call at a time

void on_network_change(const CNetworkChange* change) {
  const char* ips = velarix_agent_network_change_ips(change);
  const char* routes = velarix_agent_network_change_routes(change);
  const char* dns = velarix_agent_network_change_dns_server(change);
  std::printf("network change: ips=[%s] routes=[%s] dns_server=[%s]\n", ips, routes, dns);
  if (g_interface != nullptr) {
    for (const auto& e : g_interface->apply(ips, routes))
      std::fprintf(stderr, "velarix_host: interface %s: %s\n", g_interface_name.c_str(), e.c_str());
  }
  if (g_dns_server != dns) {
    g_dns_server = dns;
    if (g_dns_server.empty()) {
      std::printf("DNS server: none\n");
    } else {
      std::printf("DNS server: %s\n", g_dns_server.c_str());
    }
  }
  std::fflush(stdout);
  {
    std::lock_guard lock(g_events.mutex);
    g_events.settled = true;
  }
  g_events.changed.notify_all();
}

// The place for the agent's status report: SIGUSR1 and --status end here.
// The marker lines let scripts cut the report out of the output.
void print_status_report(const RuntimePtr* runtime, const AgentPtr* agent) {
  char* report = velarix_agent_status(runtime, agent);
  std::printf("--- status report ---\n");
  std::printf("%s\n", report ? report : "(no status report)");
  std::printf("--- end of status report ---\n");
  std::fflush(stdout);
  velarix_agent_status_free(report);
}

// Waits for SIGINT, SIGTERM and SIGUSR1, which every thread keeps blocked, and
// turns them into events for the main thread.
void signal_loop(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::lock_guard lock(g_events.mutex);
    if (sig == SIGUSR1) {
      g_events.status_requested = true;
      g_events.changed.notify_all();
      continue;
    }
    g_events.stop = true;
    g_events.changed.notify_all();
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const auto parsed = parse_args(argc, argv);
  if (!parsed) return usage(parsed.error());
  const Args& args = *parsed;

  // Blocked before any thread starts, so that the runtime's threads inherit
  // the mask and only the signal thread sees these signals.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (auto dir = missing_config_dir(args.config)) return fail("configuration directory '" + *dir + "' does not exist");

  // The interface first: a missing permission or device shows at once, before
  // a new identity is searched for.
  std::optional<velarix::host::TunInterface> tun_if;
  std::unique_ptr<InterfaceConfig> interface;
  if (!args.tun_name.empty() && !args.init_only) {
    auto created = velarix::host::create_tun(args.tun_name);
    if (!created) return fail(created.error().message);
    tun_if = *created;
  }

  if (args.log) {
    // The library reads its level where a host that cannot pass flags sets it; no thread runs yet.
    if (!args.log_level.empty()) ::setenv("VELARIX_LOG_LEVEL", args.log_level.c_str(), 1);
    velarix_agent_init_logging();
  }
  std::printf("velarix agent %s\n", velarix_agent_version());

  RuntimePtr* runtime = nullptr;
  if (int rc = velarix_agent_runtime(&runtime); rc != 0) return fail("runtime: " + describe(rc));
  AgentConfigPtr* cfg = nullptr;
  if (int rc = velarix_agent_config_load_or_generate(args.config.c_str(), &cfg); rc != 0) {
    velarix_agent_runtime_free(runtime);
    return fail("configuration " + args.config + ": " + describe(rc));
  }
  for (const auto& [edit, url] : args.edits) {
    if (const int rc = edit->apply(args.config.c_str(), url.c_str()); rc != 0) {
      velarix_agent_config_free(cfg);
      velarix_agent_runtime_free(runtime);
      return fail(std::string(edit->flag) + " " + url + ": " +
                  describe(rc, "the configuration file cannot be read or written"));
    }
  }
  // The handle is a snapshot of the file: read it again so that the agent
  // starts with the networks just edited.
  if (!args.edits.empty()) {
    velarix_agent_config_free(cfg);
    cfg = nullptr;
    if (int rc = velarix_agent_config_load_or_generate(args.config.c_str(), &cfg); rc != 0) {
      velarix_agent_runtime_free(runtime);
      return fail("configuration " + args.config + ": " + describe(rc));
    }
  }
  uint8_t pk[32];
  velarix_agent_config_id_pk(cfg, pk);
  std::printf("public key: ");
  for (uint8_t b : pk) std::printf("%02x", b);
  std::printf("\n");
  std::fflush(stdout);
  if (args.init_only || args.list_networks) {
    velarix_agent_config_free(cfg);
    velarix_agent_runtime_free(runtime);
    if (args.list_networks) {
      if (auto failed = list_networks(args.config)) return fail("networks of " + args.config + ": " + *failed);
    }
    return 0;
  }

  auto stop_early = [&](const std::string& message) {
    velarix_agent_config_free(cfg);
    velarix_agent_runtime_free(runtime);
    if (tun_if) ::close(tun_if->fd);
    return fail(message);
  };

  int tun_fd = args.tun_fd;
  if (tun_if) {
    const std::uint32_t mtu = agent_mtu(args.config);
    auto netlink = velarix::host::Netlink::open();
    if (!netlink) return stop_early("netlink: " + netlink.error().message());
    if (auto r = netlink->set_mtu(tun_if->ifindex, mtu); !r)
      return stop_early("interface " + tun_if->name + ": MTU " + std::to_string(mtu) + ": " + r.error().message());
    if (auto r = netlink->set_up(tun_if->ifindex); !r)
      return stop_early("interface " + tun_if->name + ": up: " + r.error().message());
    std::printf("interface %s: mtu %u, up\n", tun_if->name.c_str(), mtu);
    interface = std::make_unique<InterfaceConfig>(std::move(*netlink), tun_if->ifindex);
    g_interface = interface.get();
    g_interface_name = tun_if->name;
    tun_fd = tun_if->fd;
  }

  TunDevicePtr* tun = nullptr;
  if (tun_fd >= 0) {
    if (const int rc = velarix_agent_tun_device_create(runtime, tun_fd, &tun); rc != 0) {
      // A refused descriptor stays ours: stop_early closes the interface's.
      g_interface = nullptr;
      return stop_early("TUN descriptor " + std::to_string(tun_fd) + " cannot be used: " +
                        unusable_descriptor(tun_fd, rc));
    }
  }
  AgentPtr* agent = nullptr;
  const int rc = velarix_agent_start(runtime, cfg, args.config.c_str(), tun, on_network_change, nullptr, &agent);
  velarix_agent_config_free(cfg);
  velarix_agent_tun_device_free(tun);
  if (rc != 0) {
    g_interface = nullptr;
    velarix_agent_runtime_free(runtime);
    return fail("start: " + describe(rc));
  }
  std::printf("agent started\n");
  std::fflush(stdout);

  std::thread signal_thread(signal_loop, signals);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(args.seconds < 0 ? 0 : args.seconds);
  bool status_pending = args.status;
  {
    std::unique_lock lock(g_events.mutex);
    for (;;) {
      auto ready = [&] { return g_events.stop || g_events.status_requested || (status_pending && g_events.settled); };
      if (args.seconds < 0) {
        g_events.changed.wait(lock, ready);
      } else if (!g_events.changed.wait_until(lock, deadline, ready)) {
        break;
      }
      if (g_events.stop) break;
      g_events.status_requested = false;
      status_pending = false;
      lock.unlock();
      print_status_report(runtime, agent);
      lock.lock();
    }
    if (!g_events.stop) pthread_kill(signal_thread.native_handle(), SIGTERM);
  }
  signal_thread.join();

  velarix_agent_shutdown(runtime, agent);
  // No network change arrives after shut-down; the interface goes back to
  // what it was before the agent ran, then the device closes with the agent.
  if (interface) {
    for (const auto& e : interface->clear())
      std::fprintf(stderr, "velarix_host: interface %s: %s\n", g_interface_name.c_str(), e.c_str());
  }
  velarix_agent_free(agent);
  velarix_agent_runtime_free(runtime);
  g_interface = nullptr;
  std::printf("agent stopped\n");
  return 0;
}
