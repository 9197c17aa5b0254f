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

/* One network of the configuration file; owned by the array it is in. */
typedef struct NetworkInfo {
  char* url;        /* normalised URL, never NULL */
  int32_t disabled; /* 1 disabled, 0 enabled */
  char* name;       /* display name, or NULL */
} NetworkInfo;

/* "version (commit)"; static, never freed. */
VELARIX_AGENT_API const char* velarix_agent_version(void);

/* Configuration file. */
VELARIX_AGENT_API int32_t velarix_agent_config_load_or_generate(const char* path, AgentConfigPtr** out);
VELARIX_AGENT_API int32_t velarix_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out);
VELARIX_AGENT_API void velarix_agent_config_free(AgentConfigPtr* config);

/* Network list of the configuration file at `path`. */
VELARIX_AGENT_API int32_t velarix_agent_config_network_add(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_remove(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_enable(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_network_disable(const char* path, const char* network_url);
VELARIX_AGENT_API int32_t velarix_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count);
VELARIX_AGENT_API const char* velarix_agent_network_url(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API int32_t velarix_agent_network_disabled(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API const char* velarix_agent_network_name(const NetworkInfo* networks, int32_t index);
VELARIX_AGENT_API void velarix_agent_config_networks_free(NetworkInfo* networks, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* VELARIX_AGENT_H */
