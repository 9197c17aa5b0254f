/* The calls a host application makes to run the velarix agent, in order.
 *   cc -pthread embed.c $(pkg-config --cflags --libs velarix-agent) -o embed
 *   ./embed agent.toml [TUN_FD]
 * The configuration file is made with a new identity when missing; its
 * `super_peers` names the super peers to reach. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "velarix_agent.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int changes;

/* On a thread of the runtime, while the agent holds its state: apply the
 * change (here: print it), tell the main thread, return at once. */
static void on_network_change(const CNetworkChange* c) {
  printf("network change: ips=[%s] routes=[%s] dns_server=[%s]\n", velarix_agent_network_change_ips(c),
         velarix_agent_network_change_routes(c), velarix_agent_network_change_dns_server(c));
  fflush(stdout);
  pthread_mutex_lock(&lock);
  changes++;
  pthread_cond_signal(&changed);
  pthread_mutex_unlock(&lock);
}

static int fail(const char* what, int32_t code) {
  fprintf(stderr, "%s: code %d (see velarix_agent.h)\n", what, (int)code);
  return 1;
}

int main(int argc, char** argv) {
  RuntimePtr* runtime = NULL;
  AgentConfigPtr* config = NULL;
  TunDevicePtr* tun = NULL;
  AgentPtr* agent = NULL;
  if (argc < 2) {
    fprintf(stderr, "usage: %s CONFIG [TUN_FD]\n", argv[0]);
    return 2;
  }

  velarix_agent_init_logging();
  int32_t rc = velarix_agent_config_load_or_generate(argv[1], &config);
  if (rc != VELARIX_AGENT_OK) return fail("load", rc);
  uint8_t pk[32];
  velarix_agent_config_id_pk(config, pk);
  printf("public key: ");
  for (int i = 0; i < 32; i++) printf("%02x", pk[i]);
  printf("\n");
  if ((rc = velarix_agent_runtime(&runtime)) != VELARIX_AGENT_OK) return fail("runtime", rc);
  if (argc > 2 && (rc = velarix_agent_tun_device_create(runtime, atoi(argv[2]), &tun)) != VELARIX_AGENT_OK) {
    return fail("TUN device", rc);
  }
  rc = velarix_agent_start(runtime, config, argv[1], tun, on_network_change, NULL, &agent);
  velarix_agent_tun_device_free(tun); /* the agent keeps what it needs of both */
  velarix_agent_config_free(config);
  if (rc != VELARIX_AGENT_OK) return fail("start", rc);

  /* The first network change ends the first housekeeping tick. */
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 30;
  pthread_mutex_lock(&lock);
  while (changes == 0 && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
  }
  const int heard = changes;
  pthread_mutex_unlock(&lock);

  char* status = velarix_agent_status(runtime, agent);
  printf("%s", status ? status : "(no status report)\n");
  velarix_agent_status_free(status);

  velarix_agent_shutdown(runtime, agent);
  velarix_agent_free(agent);
  velarix_agent_runtime_free(runtime);
  return heard > 0 ? 0 : 1;
}
