// C functions over the agent configuration file and its network list.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "agent/config.h"
#include "agent/config_lock.h"
#include "agent/status_format.h"
#include "version_info.h"
#include "ffi/ffi.h"
#include "ffi/handles.h"
#include "util/log.h"
#include "velarix_agent.h"

using velarix::agent::AgentConfig;
using velarix::agent::ConfigFileLock;
using velarix::agent::UnknownKeys;
using velarix::agent::Url;
using velarix::ffi::guarded;
using velarix::ffi::to_string;

namespace {

enum class Edit { Add, Remove, Enable, Disable };

// The host sees only -2; the reason goes to the log.
int32_t edit_failed(Edit op, const velarix::agent::Error& e) {
  static constexpr const char* kVerbs[] = {"add", "remove", "enable", "disable"};
  velarix::log::warn("Failed to {} a network in the configuration file: {}", kVerbs[static_cast<int>(op)],
                     velarix::agent::masked(e.message()));
  return VELARIX_AGENT_ERR_FAILURE;
}

int32_t edit_network(Edit op, const char* path, const char* network_url) {
  if (path == nullptr || network_url == nullptr) return VELARIX_AGENT_ERR_FAILURE;
  const bool trace = op == Edit::Disable;
  if (trace) velarix::log::trace("Extracting path string from pointer");
  auto path_str = to_string(path);
  if (!path_str) {
    if (trace) velarix::log::trace("Failed to convert path to string, returning ERR_UTF8");
    return VELARIX_AGENT_ERR_UTF8;
  }
  if (trace) velarix::log::trace("Extracting network URL string from pointer");
  auto url_str = to_string(network_url);
  if (!url_str) {
    if (trace) velarix::log::trace("Failed to convert network_url to string, returning ERR_UTF8");
    return VELARIX_AGENT_ERR_UTF8;
  }
  // Enabling or disabling in a missing file creates the file first.
  if (op == Edit::Enable || op == Edit::Disable) {
    if (auto made = AgentConfig::load_or_generate(*path_str); !made) return edit_failed(op, made.error());
  }
  // Held until the change is written: a running agent's save waits for it and
  // then merges its own changes onto this one.
  auto lock = ConfigFileLock::acquire(*path_str);
  if (!lock) return edit_failed(op, lock.error());
  // Enabling and disabling reported the unknown keys in their first load.
  const bool loaded_before = op == Edit::Enable || op == Edit::Disable;
  auto cfg = AgentConfig::load(*path_str, loaded_before ? UnknownKeys::Ignore : UnknownKeys::Warn);
  if (!cfg) return edit_failed(op, cfg.error());
  auto url = Url::parse(*url_str);
  if (!url) return VELARIX_AGENT_ERR_INVALID_URL;
  auto it = cfg->network.find(*url);
  switch (op) {
    case Edit::Add: {
      if (it != cfg->network.end()) return VELARIX_AGENT_ERR_NETWORK_EXISTS;
      velarix::network::Network net;
      net.config_url = *url_str;
      cfg->network.emplace(std::move(*url), std::move(net));
      break;
    }
    case Edit::Remove:
      if (it == cfg->network.end()) return VELARIX_AGENT_ERR_NETWORK_NOT_FOUND;
      cfg->network.erase(it);
      break;
    case Edit::Enable:
      if (it == cfg->network.end()) return VELARIX_AGENT_ERR_NETWORK_NOT_FOUND;
      if (!it->second.disabled) return VELARIX_AGENT_ERR_ALREADY_ENABLED;
      it->second.disabled = false;
      break;
    case Edit::Disable:
      if (it == cfg->network.end()) return VELARIX_AGENT_ERR_NETWORK_NOT_FOUND;
      if (it->second.disabled) return VELARIX_AGENT_ERR_ALREADY_DISABLED;
      it->second.disabled = true;
      break;
  }
  if (auto saved = cfg->save(*path_str); !saved) return edit_failed(op, saved.error());
  return VELARIX_AGENT_OK;
}

// The array velarix_agent_config_networks hands out knows its own length: a
// header before its first element holds the count, so that an accessor given
// an index past the end refuses it instead of reading beyond the array.
constexpr std::size_t kArrayHeader = alignof(std::max_align_t);
static_assert(kArrayHeader >= sizeof(int32_t) && kArrayHeader % alignof(NetworkInfo) == 0);

int32_t length_of(const NetworkInfo* networks) {
  int32_t count;
  std::memcpy(&count, reinterpret_cast<const unsigned char*>(networks) - kArrayHeader, sizeof count);
  return count;
}

// Element `index` of an array from velarix_agent_config_networks, or NULL when the index is outside it.
const NetworkInfo* element(const NetworkInfo* networks, int32_t index) {
  if (networks == nullptr || index < 0 || index >= length_of(networks)) return nullptr;
  return &networks[index];
}

// A malloc'd copy of `s`, or NULL when it holds a NUL byte or memory runs out.
char* c_string(std::string_view s) {
  if (s.find('\0') != std::string_view::npos) return nullptr;
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, s.data(), s.size());
  out[s.size()] = '\0';
  return out;
}

}  // namespace

extern "C" {

int32_t velarix_agent_config_load_or_generate(const char* path, AgentConfigPtr** out) {
  return guarded([&]() -> int32_t {
    if (path == nullptr || out == nullptr) return VELARIX_AGENT_ERR_FAILURE;
    auto path_str = to_string(path);
    if (!path_str) return VELARIX_AGENT_ERR_UTF8;
    auto cfg = AgentConfig::load_or_generate(*path_str);
    if (!cfg) {
      velarix::log::warn("Error loading config: {}", velarix::agent::masked(cfg.error().message()));
      return cfg.error().c_code();
    }
    *out = new AgentConfigPtr{std::move(*cfg)};
    return VELARIX_AGENT_OK;
  });
}

int32_t velarix_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out) {
  if (config == nullptr || out == nullptr) return VELARIX_AGENT_ERR_FAILURE;
  const auto& pk = config->config.identity.pk().bytes();
  std::memcpy(out, pk.data(), pk.size());
  return VELARIX_AGENT_OK;
}

void velarix_agent_config_free(AgentConfigPtr* config) {
  if (config == nullptr) return;
  velarix::log::trace("Freeing AgentConfigPtr");
  delete config;
}

int32_t velarix_agent_config_network_add(const char* path, const char* network_url) {
  return guarded([&] { return edit_network(Edit::Add, path, network_url); });
}

int32_t velarix_agent_config_network_remove(const char* path, const char* network_url) {
  return guarded([&] { return edit_network(Edit::Remove, path, network_url); });
}

int32_t velarix_agent_config_network_enable(const char* path, const char* network_url) {
  return guarded([&] { return edit_network(Edit::Enable, path, network_url); });
}

int32_t velarix_agent_config_network_disable(const char* path, const char* network_url) {
  return guarded([&] { return edit_network(Edit::Disable, path, network_url); });
}

int32_t velarix_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count) {
  return guarded([&]() -> int32_t {
    if (path == nullptr || out == nullptr || count == nullptr) return VELARIX_AGENT_ERR_FAILURE;
    auto path_str = to_string(path);
    if (!path_str) return VELARIX_AGENT_ERR_UTF8;
    auto cfg = AgentConfig::load(*path_str);
    if (!cfg) return VELARIX_AGENT_ERR_FAILURE;
    std::vector<NetworkInfo> infos;
    infos.reserve(cfg->network.size());
    for (const auto& [url, net] : cfg->network) {
      char* url_c = c_string(url.as_str());
      if (url_c == nullptr) continue;
      char* name_c = net.name ? c_string(*net.name) : nullptr;
      infos.push_back(NetworkInfo{url_c, net.disabled ? 1 : 0, name_c});
    }
    if (infos.empty()) {
      *out = nullptr;
      *count = 0;
      return VELARIX_AGENT_OK;
    }
    const auto length = static_cast<int32_t>(infos.size());  // the file's size bounds it far below INT32_MAX
    auto* block = static_cast<unsigned char*>(std::malloc(kArrayHeader + infos.size() * sizeof(NetworkInfo)));
    if (block == nullptr) {
      for (auto& i : infos) {
        std::free(i.url);
        std::free(i.name);
      }
      return VELARIX_AGENT_ERR_FAILURE;
    }
    std::memcpy(block, &length, sizeof length);
    auto* array = reinterpret_cast<NetworkInfo*>(block + kArrayHeader);
    std::memcpy(array, infos.data(), infos.size() * sizeof(NetworkInfo));
    *out = array;
    *count = length;
    return VELARIX_AGENT_OK;
  });
}

const char* velarix_agent_network_url(const NetworkInfo* networks, int32_t index) {
  const NetworkInfo* info = element(networks, index);
  return info ? info->url : nullptr;
}

int32_t velarix_agent_network_disabled(const NetworkInfo* networks, int32_t index) {
  if (networks == nullptr || index < 0) return -1;
  const NetworkInfo* info = element(networks, index);
  return info ? info->disabled : VELARIX_AGENT_ERR_FAILURE;
}

const char* velarix_agent_network_name(const NetworkInfo* networks, int32_t index) {
  const NetworkInfo* info = element(networks, index);
  return info ? info->name : nullptr;
}

void velarix_agent_config_networks_free(NetworkInfo* networks, int32_t count) {
  if (networks == nullptr || count < 1) return;
  // The array's own length: a larger count from the host must not free beyond it.
  const int32_t length = length_of(networks);
  for (int32_t i = 0; i < length; ++i) {
    if (networks[i].url != nullptr) {
      velarix::log::trace("Dropping NetworkInfo url and freeing CString");
      std::free(networks[i].url);
    }
    if (networks[i].name != nullptr) {
      velarix::log::trace("Dropping NetworkInfo name and freeing CString");
      std::free(networks[i].name);
    }
  }
  std::free(reinterpret_cast<unsigned char*>(networks) - kArrayHeader);
}

const char* velarix_agent_version(void) { return velarix::version_cstr(); }

}  // extern "C"
