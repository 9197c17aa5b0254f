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

/* Result codes. Every function that returns a status returns one of these:
 * 0 for success, -1 to -7 from the C interface itself, -101 to -117 for an
 * error of the agent (only velarix_agent_config_load_or_generate and
 * velarix_agent_start return those; the library's log holds the full text). */
#define VELARIX_AGENT_OK 0
#define VELARIX_AGENT_ERR_UTF8 (-1)                /* a text argument is not valid UTF-8 */
#define VELARIX_AGENT_ERR_FAILURE (-2)             /* a required pointer is NULL, or the operation failed
                                                      for a reason without a code of its own */
#define VELARIX_AGENT_ERR_INVALID_URL (-3)         /* the network URL does not parse */
#define VELARIX_AGENT_ERR_NETWORK_NOT_FOUND (-4)   /* the network is not in the configuration file */
#define VELARIX_AGENT_ERR_NETWORK_EXISTS (-5)      /* the network is already in the configuration file */
#define VELARIX_AGENT_ERR_ALREADY_ENABLED (-6)     /* enabling a network that is not disabled */
#define VELARIX_AGENT_ERR_ALREADY_DISABLED (-7)    /* disabling a network that is disabled */

/* Agent errors, one per kind of failure inside the agent. */
#define VELARIX_AGENT_ERROR_HTTP_CLIENT (-101)      /* the HTTP client's connection failed */
#define VELARIX_AGENT_ERROR_INVALID_URI (-102)      /* an HTTP URI does not parse */
#define VELARIX_AGENT_ERROR_HYPER (-103)            /* the HTTP protocol failed */
#define VELARIX_AGENT_ERROR_UTF8 (-104)             /* bytes that should be text are not UTF-8 */
#define VELARIX_AGENT_ERROR_IO (-105)               /* an operating-system I/O error (the file cannot be
                                                       read or written, permissions, not a regular file) */
#define VELARIX_AGENT_ERROR_TOML_DE (-106)          /* the configuration file is not valid TOML or lacks
                                                       what it must hold (such as [identity]) */
#define VELARIX_AGENT_ERROR_HTTP (-107)             /* an HTTP request could not be built */
#define VELARIX_AGENT_ERROR_URL_PARSE (-108)        /* a URL does not parse */
#define VELARIX_AGENT_ERROR_NETWORK_ERROR (-109)    /* a network configuration is not valid */
#define VELARIX_AGENT_ERROR_IDENTITY_ERROR (-110)   /* the node identity could not be made */
#define VELARIX_AGENT_ERROR_NODE_ERROR (-111)       /* the peer-to-peer node failed (no super peers,
                                                       sockets that cannot be bound, ...) */
#define VELARIX_AGENT_ERROR_TOML_SER (-112)         /* the configuration cannot be written as TOML */
#define VELARIX_AGENT_ERROR_CONFIG_PARSE (-113)     /* a setting does not parse (such as VELARIX_UDP_ADDRS) */
#define VELARIX_AGENT_ERROR_NETWORK_ALREADY_EXISTS (-114) /* the network is already configured */
#define VELARIX_AGENT_ERROR_NETWORK_NOT_FOUND (-115)      /* the network is not configured */
#define VELARIX_AGENT_ERROR_UNSUPPORTED_TUN_PLATFORM (-116) /* TUN devices cannot be made here */
#define VELARIX_AGENT_ERROR_CONTROLLER_MANAGED_NETWORK (-117) /* a controller-managed network cannot be
                                                                 added or removed by hand */

/* Opaque handles. Each is made by one function and released by its own
 * *_free function, which accepts NULL. A handle carries no lock: never free
 * one while another thread still uses it. The order of the calls:
 *
 *   velarix_agent_init_logging (optional, once)
 *   velarix_agent_config_load_or_generate, velarix_agent_runtime (either first)
 *   velarix_agent_tun_device_create (optional)
 *   velarix_agent_start
 *     ... network-change callbacks, velarix_agent_status,
 *         velarix_agent_cancel_udp_bindings ...
 *   velarix_agent_shutdown
 *   velarix_agent_free, velarix_agent_tun_device_free, velarix_agent_config_free,
 *   velarix_agent_runtime_free
 *
 * examples/embed.c makes these calls in this order. */
typedef struct AgentConfigPtr AgentConfigPtr;
typedef struct RuntimePtr RuntimePtr;
typedef struct TunDevicePtr TunDevicePtr;
typedef struct AgentPtr AgentPtr;

/* A change the host applies to its device; the record and its texts belong to
 * the library and are valid only during the callback: copy what you keep.
 * Addresses and routes are "a.b.c.d/len" joined by ","; an absent item is "".
 * No text is ever NULL. */
typedef struct CNetworkChange {
  char* ips;        /* this node's overlay addresses, with their prefix lengths */
  char* routes;     /* networks the host routes into the TUN device */
  char* dns_server; /* address of the agent's DNS server ("a.b.c.d"), or "" */
} CNetworkChange;

/* One network of the configuration file; owned by the array it is in. */
typedef struct NetworkInfo {
  char* url;        /* normalised URL, never NULL */
  int32_t disabled; /* 1 disabled, 0 enabled */
  char* name;       /* display name, or NULL */
} NetworkInfo;

/* ---- Logging and version ------------------------------------------------ */

/* Installs the library's logger, to standard error: INFO and above, or from the
 * level the environment variable VELARIX_LOG_LEVEL names (trace, debug, info,
 * warn, error, off). Optional; call it before anything else, as what is logged
 * before it is not shown. 0, or -2 when a logger was installed before (the
 * first one stays). */
VELARIX_AGENT_API int32_t velarix_agent_init_logging(void);

/* "version (commit)"; static, never freed. */
VELARIX_AGENT_API const char* velarix_agent_version(void);

/* ---- Configuration file ------------------------------------------------- */

/* Loads the agent configuration file at `path`, or, when no file is there,
 * makes a new node identity and writes a new file (mode 0600) with it; the
 * proof of work of a new identity can take a while (its difficulty is
 * VELARIX_MIN_POW_DIFFICULTY, default 24). The directory must exist. On success
 * *out is a new handle the caller releases with velarix_agent_config_free.
 * Returns 0; -2 when `path` or `out` is NULL; -1 when `path` is not UTF-8;
 * an agent error otherwise (-105 the file cannot be read or written, -106 it is
 * not a valid configuration, -110 no identity could be made), logged at WARN
 * with its full text. *out is written only on success. */
VELARIX_AGENT_API int32_t velarix_agent_config_load_or_generate(const char* path, AgentConfigPtr** out);
/* Copies the node's 32-byte public key into `out`, which must have room for
 * 32 bytes. 0, or -2 when `config` or `out` is NULL. */
VELARIX_AGENT_API int32_t velarix_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out);
/* Releases a configuration handle. velarix_agent_start copies what it needs,
 * so the handle may be released as soon as it has returned. The handle is a
 * snapshot of the file when it was loaded: edits made since (by the functions
 * below or by a running agent) do not reach it; load again to see them. */
VELARIX_AGENT_API void velarix_agent_config_free(AgentConfigPtr* config);

/* Network list of the configuration file at `path`. Each call reads the file,
 * makes its change and writes the file back; none needs an agent. An agent
 * running on the same file keeps each edit and takes it up at its next
 * housekeeping tick. Networks are named by URL; two texts that parse to the
 * same URL (case of scheme or host, a missing final slash) name the same one.
 * Every editor returns 0 on success, -2 when an argument is NULL or the file
 * cannot be read or written, -1 for a text that is not UTF-8, -3 for a URL
 * that does not parse; and:
 *   add:     -5 when the network is already there; the file must exist.
 *   remove:  -4 when the network is not there; the file must exist.
 *   enable:  -4 when it is not there, -6 when it is not disabled.
 *   disable: -4 when it is not there, -7 when it is already disabled.
 * enable and disable on a missing file create it with a new identity first
 * (and then return -4). A refused edit leaves the file as it was. */
VELARIX_AGENT_API int32_t velarix_agent_config_network_add(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_remove(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_enable(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_disable(const char* path, const char* network_url);
/* The networks of the file at `path`, in no particular order: *out is an array
 * of *count records that the caller releases with
 * velarix_agent_config_networks_free(*out, *count); with no network, *out is
 * NULL and *count 0. The array is a snapshot of the file at the call. Returns 0;
 * -2 when an argument is NULL or the file cannot be read, -1 when `path` is not
 * UTF-8. */
VELARIX_AGENT_API int32_t velarix_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count);
/* Fields of element `index` of an array from velarix_agent_config_networks,
 * which knows its own length; the texts belong to the array. A NULL array or a
 * negative index gives NULL (-1 from velarix_agent_network_disabled); an index
 * at or past the count gives NULL (-2 from velarix_agent_network_disabled). */
VELARIX_AGENT_API const char* velarix_agent_network_url(const NetworkInfo* networks, int32_t index);
/* 1 disabled, 0 enabled. */
VELARIX_AGENT_API int32_t velarix_agent_network_disabled(const NetworkInfo* networks, int32_t index);
/* The display name, or NULL when the network has none. */
VELARIX_AGENT_API const char* velarix_agent_network_name(const NetworkInfo* networks, int32_t index);
/* Releases an array from velarix_agent_config_networks, passed with the count
 * it came with: all of its records go (never more, whatever `count` says);
 * NULL, or a count below 1, does nothing. */
VELARIX_AGENT_API void velarix_agent_config_networks_free(NetworkInfo* networks, int32_t count);

/* ---- Runtime and TUN device --------------------------------------------- */

/* Runtime that carries every agent task: one worker thread per CPU core. One
 * runtime may carry several agents. 0, or -2 when `out` is NULL or the runtime
 * cannot be made. The handles may be freed in any order: agents and TUN
 * devices keep their runtime running until the last of them is freed, and the
 * runtime stops (its threads are joined) on the thread that frees that last
 * one, so never free it from inside the network-change callback. */
VELARIX_AGENT_API int32_t velarix_agent_runtime(RuntimePtr** out);
VELARIX_AGENT_API void velarix_agent_runtime_free(RuntimePtr* runtime);

/* Wraps a packet file descriptor: an attached TUN device, or a datagram or
 * sequenced-packet socket. On success the device owns the descriptor and
 * closes it when the device goes; the handle may be freed as soon as
 * velarix_agent_start has returned (the agent keeps the device). Anything else,
 * or a descriptor another device already owns, gives -2 and stays the
 * caller's, open. -2 also when `runtime` or `out` is NULL. */
VELARIX_AGENT_API int32_t velarix_agent_tun_device_create(const RuntimePtr* runtime, int32_t fd, TunDevicePtr** out);
VELARIX_AGENT_API void velarix_agent_tun_device_free(TunDevicePtr* tun);

/* ---- Agent lifecycle ---------------------------------------------------- */

/* Starts an agent and returns once it runs; on success *out is a new handle.
 *
 * `config` is copied: it may be freed once this returns. `config_path` is the
 * file `config` was loaded from: the agent reads the network list there again
 * at every housekeeping tick (taking up the host's edits) and writes its own
 * changes onto it; its identity and settings stay those of `config`. `tun` may
 * be NULL (no device); `reserved` is not read.
 *
 * The call blocks until the agent's node has bound its UDP sockets and looked
 * up the super peers' host names (side by side, at most 5 s each) and the
 * agent's tasks run. It does not wait for a super peer's answer nor for any
 * network: the first housekeeping tick starts at once, and its network change
 * reaches the callback once every network was retrieved (up to 5 s for each
 * whose server does not answer).
 *
 * `network_change_callback` (required) is called whenever the addresses,
 * routes or DNS server the host must apply differ from those it was told last.
 * It runs on one of the runtime's threads, one call at a time, while the agent
 * holds its state: velarix_agent_status and velarix_agent_shutdown called from
 * other threads meanwhile wait until it returns. So the callback copies what it
 * needs and returns promptly; it must never wait for a thread that is calling
 * into the agent (that thread waits for the callback). It does not call
 * velarix_agent_start, _shutdown or _status (there they refuse) nor free the
 * agent or the runtime.
 *
 * Returns 0; -2 when a required argument is NULL or when called on a thread of
 * the runtime (as from inside the callback); -1 when `config_path` is not
 * UTF-8; an agent error from starting (-111 the node could not start: no super
 * peers, sockets that cannot be bound; -113 a setting such as VELARIX_UDP_ADDRS
 * does not parse). *out is written only on success. */
VELARIX_AGENT_API int32_t velarix_agent_start(const RuntimePtr* runtime, const AgentConfigPtr* config,
                                              const char* config_path, const TunDevicePtr* tun,
                                              void (*network_change_callback)(const CNetworkChange*),
                                              const void* reserved, AgentPtr** out);
/* Stops the agent: ends its tasks and withdraws what every network applied
 * (addresses, routes, rules, DNS names), blocking until that is done. No
 * network change reports the withdrawal: the host removes from its device what
 * it applied. Once this has returned, the callback is called no more. Called
 * on a thread of the runtime (as from inside the callback) it returns at once
 * without shutting the agent down. NULL arguments do nothing. The handle stays
 * valid (its status reports "Agent Status: DISCONNECTED") until freed. */
VELARIX_AGENT_API void velarix_agent_shutdown(const RuntimePtr* runtime, const AgentPtr* agent);
/* Releases the agent handle. Allowed without a shut-down, but then nothing is
 * stopped or withdrawn: the agent's tasks, sockets, device and callbacks go on
 * until its runtime stops (when the last runtime, agent and device handle is
 * freed). Shut the agent down first. */
VELARIX_AGENT_API void velarix_agent_free(AgentPtr* agent);
/* Cancels the node's UDP sockets: each socket's reader ends, and at the node's
 * next housekeeping pass (every VELARIX_HOUSEKEEPING_INTERVAL ms, default 5000)
 * it binds new ones, on the same port, to the addresses the device has then
 * (or VELARIX_UDP_ADDRS). A host calls it when the device's network changes
 * (Wi-Fi to cellular, a new address), so that the node stops using sockets of
 * addresses that are gone. Does not block. 0, or -2 when `agent` is NULL. */
VELARIX_AGENT_API int32_t velarix_agent_cancel_udp_bindings(const AgentPtr* agent);

/* ---- Status and callback record ----------------------------------------- */

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
