// velarix_host: drives the agent library through its C interface only, as a
// host application does: logging, runtime, configuration, optional TUN
// descriptor, start, network-change callback, shut-down and free.
//
//   velarix_host --config PATH [--tun-fd N] [--seconds N] [--network URL]... [--init-only]
//
// --init-only loads or creates the configuration file and stops there.
// Runs until SIGINT/SIGTERM, or for --seconds when given.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "velarix_agent.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void on_network_change(const CNetworkChange* change) {
  std::printf("network change: ips=[%s] routes=[%s] dns_server=[%s]\n", velarix_agent_network_change_ips(change),
              velarix_agent_network_change_routes(change), velarix_agent_network_change_dns_server(change));
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr,
               "usage: velarix_host --config PATH [--tun-fd N] [--seconds N] [--network URL]...\n"
               "  --config PATH   agent configuration file, created with a new identity when missing\n"
               "  --tun-fd N      an open TUN (or packet) descriptor handed to the agent\n"
               "  --seconds N     stop after N seconds (default: run until interrupted)\n"
               "  --network URL   add this network to the configuration file before starting\n"
               "  --init-only     only load or create the configuration file\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  int tun_fd = -1;
  long seconds = -1;
  std::vector<std::string> networks;
  bool init_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--init-only") {
      init_only = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--config") {
      config = value;
    } else if (arg == "--tun-fd") {
      tun_fd = std::atoi(value);
    } else if (arg == "--seconds") {
      seconds = std::atol(value);
    } else if (arg == "--network") {
      networks.emplace_back(value);
    } else {
      return usage();
    }
  }
  if (config.empty()) return usage();

  velarix_agent_init_logging();
  std::printf("velarix agent %s\n", velarix_agent_version());

  RuntimePtr* runtime = nullptr;
  if (int rc = velarix_agent_runtime(&runtime); rc != 0) {
    std::fprintf(stderr, "runtime: %d\n", rc);
    return 1;
  }
  AgentConfigPtr* cfg = nullptr;
  if (int rc = velarix_agent_config_load_or_generate(config.c_str(), &cfg); rc != 0) {
    std::fprintf(stderr, "configuration: %d\n", rc);
    velarix_agent_runtime_free(runtime);
    return 1;
  }
  for (const auto& url : networks) {
    const int rc = velarix_agent_config_network_add(config.c_str(), url.c_str());
    if (rc != 0 && rc != VELARIX_AGENT_ERR_NETWORK_EXISTS) std::fprintf(stderr, "add network %s: %d\n", url.c_str(), rc);
  }
  uint8_t pk[32];
  velarix_agent_config_id_pk(cfg, pk);
  std::printf("public key: ");
  for (uint8_t b : pk) std::printf("%02x", b);
  std::printf("\n");
  if (init_only) {
    velarix_agent_config_free(cfg);
    velarix_agent_runtime_free(runtime);
    return 0;
  }

  TunDevicePtr* tun = nullptr;
  if (tun_fd >= 0 && velarix_agent_tun_device_create(runtime, tun_fd, &tun) != 0) {
    std::fprintf(stderr, "TUN descriptor %d cannot be used\n", tun_fd);
  }
  AgentPtr* agent = nullptr;
  const int rc = velarix_agent_start(runtime, cfg, config.c_str(), tun, on_network_change, nullptr, &agent);
  velarix_agent_config_free(cfg);
  velarix_agent_tun_device_free(tun);
  if (rc != 0) {
    std::fprintf(stderr, "start: %d\n", rc);
    velarix_agent_runtime_free(runtime);
    return 1;
  }
  std::printf("agent started\n");
  std::fflush(stdout);

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
  while (!g_stop && (seconds < 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  velarix_agent_shutdown(runtime, agent);
  velarix_agent_free(agent);
  velarix_agent_runtime_free(runtime);
  std::printf("agent stopped\n");
  return 0;
}
