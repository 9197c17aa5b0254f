/* The velarix agent: C interface for the host application. */
#ifndef VELARIX_AGENT_H
#define VELARIX_AGENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VELARIX_AGENT_BUILDING)
#define VELARIX_AGENT_API __attribute__((visibility("default")))
#else
#define VELARIX_AGENT_API
#endif

/* Result codes. 0 is success; -101 to -117 are agent errors. */
#define VELARIX_AGENT_OK 0
#define VELARIX_AGENT_ERR_UTF8 (-1)
#define VELARIX_AGENT_ERR_FAILURE (-2)
#define VELARIX_AGENT_ERR_INVALID_URL (-3)
#define VELARIX_AGENT_ERR_NETWORK_NOT_FOUND (-4)
#define VELARIX_AGENT_ERR_NETWORK_EXISTS (-5)
#define VELARIX_AGENT_ERR_ALREADY_ENABLED (-6)
#define VELARIX_AGENT_ERR_ALREADY_DISABLED (-7)

/* Opaque handles. */
typedef struct AgentConfigPtr AgentConfigPtr;
typedef struct RuntimePtr RuntimePtr;
typedef struct TunDevicePtr TunDevicePtr;
typedef struct AgentPtr AgentPtr;

/* A change the host applies to its device; the texts are valid only during
 * the callback. Addresses and routes are "a.b.c.d/len" joined by ","; an
 * absent item is "". */
typedef struct CNetworkChange {
  char* ips;
  char* routes;
  char* dns_server;
} CNetworkChange;

/* One network of the configuration file; owned by the array it is in. */
typedef struct NetworkInfo {
  char* url;        /* normalised URL, never NULL */
  int32_t disabled; /* 1 disabled, 0 enabled */
  char* name;       /* display name, or NULL */
} NetworkInfo;

/* Installs the library's logger, to standard error: INFO and above, or from the
 * level the environment variable VELARIX_LOG_LEVEL names (trace, debug, info,
 * warn, error, off). 0, or -2 when a logger was installed before. */
VELARIX_AGENT_API int32_t velarix_agent_init_logging(void);

/* "version (commit)"; static, never freed. */
VELARIX_AGENT_API const char* velarix_agent_version(void);

/* Configuration file. */
VELARIX_AGENT_API int32_t velarix_agent_config_load_or_generate(const char* path, AgentConfigPtr** out);
VELARIX_AGENT_API int32_t velarix_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out);
VELARIX_AGENT_API void velarix_agent_config_free(AgentConfigPtr* config);

/* Network list of the configuration file at `path`. An agent running on the
 * same file keeps each edit and takes it up at its next housekeeping tick. */
VELARIX_AGENT_API int32_t velarix_agent_config_network_add(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_remove(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_enable(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_disable(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count);
/* Fields of element `index` of an array from velarix_agent_config_networks,
 * which knows its own length. A NULL array or a negative index gives NULL (-1
 * from velarix_agent_network_disabled); an index at or past the count gives
 * NULL (-2 from velarix_agent_network_disabled). The strings belong to the array. */
VELARIX_AGENT_API const char* velarix_agent_network_url(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API int32_t velarix_agent_network_disabled(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API const char* velarix_agent_network_name(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API void velarix_agent_config_networks_free(NetworkInfo* networks, int32_t count);

/* Runtime that carries every agent task. The handles may be freed in any
 * order: agents and TUN devices keep their runtime running until the last of
 * them is freed, and the runtime stops on the thread that frees that last one
 * (never free from inside the network-change callback). */
VELARIX_AGENT_API int32_t velarix_agent_runtime(RuntimePtr** out);
VELARIX_AGENT_API void velarix_agent_runtime_free(RuntimePtr* runtime);

/* Wraps a packet file descriptor: an attached TUN device, or a datagram or
 * sequenced-packet socket. On success the device owns the descriptor and
 * closes it when freed. Anything else, or a descriptor another device already
 * owns, gives -2 and stays the caller's, open. */
VELARIX_AGENT_API int32_t velarix_agent_tun_device_create(const RuntimePtr* runtime, int32_t fd, TunDevicePtr** out);
VELARIX_AGENT_API void velarix_agent_tun_device_free(TunDevicePtr* tun);

/* Agent lifecycle. `tun` may be NULL; `reserved` is not read. Start and
 * shut-down block the calling thread on the runtime: called on a thread of the
 * runtime (as from inside the network-change callback) they do not wait,
 * velarix_agent_start returns -2 and velarix_agent_shutdown returns at once
 * without shutting the agent down. Once velarix_agent_shutdown has returned,
 * the agent calls the network-change callback no more. */
VELARIX_AGENT_API int32_t velarix_agent_start(const RuntimePtr* runtime, const AgentConfigPtr* config,
                                              const char* config_path, const TunDevicePtr* tun,
                                              void (*network_change_callback)(const CNetworkChange*),
                                              const void* reserved, AgentPtr** out);
VELARIX_AGENT_API void velarix_agent_shutdown(const RuntimePtr* runtime, const AgentPtr* agent);
VELARIX_AGENT_API void velarix_agent_free(AgentPtr* agent);
VELARIX_AGENT_API int32_t velarix_agent_cancel_udp_bindings(const AgentPtr* agent);

/* Status report of a running agent: plain text, lines ending in "\n", without
 * secrets. Blocks the calling thread until the report is ready (also while a
 * housekeeping step holds the agent's state); never call it from the network
 * change callback. The text is newly allocated for each call and belongs to the
 * caller: release it with velarix_agent_status_free, and only with it. NULL when
 * `runtime` or `agent` is NULL, when called on a thread of the runtime (as from
 * inside the callback), or when memory runs out. `agent` must not have been
 * freed; a shut-down agent reports "Agent Status: DISCONNECTED". */
VELARIX_AGENT_API char* velarix_agent_status(const RuntimePtr* runtime, const AgentPtr* agent);
/* Releases a text from velarix_agent_status; NULL is accepted. */
VELARIX_AGENT_API void velarix_agent_status_free(char* status);

/* Accessors for the callback's record; NULL for a NULL record. */
VELARIX_AGENT_API const char* velarix_agent_network_change_ips(const CNetworkChange* change);
VELARIX_AGENT_API const char* velarix_agent_network_change_routes(const CNetworkChange* change);
VELARIX_AGENT_API const char* velarix_agent_network_change_dns_server(const CNetworkChange* change);

#ifdef __cplusplus
}
#endif

#endif /* VELARIX_AGENT_H */
