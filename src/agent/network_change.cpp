#include "agent/network_change.h"

namespace velarix::agent {
namespace {

std::string join(const std::optional<std::vector<network::Ipv4Net>>& nets) {
  std::string out;
  if (!nets) return out;
  for (const auto& net : *nets) {
    if (!out.empty()) out += ',';
    out += net.to_string();
  }
  return out;
}

}  // namespace

NetworkChangeTexts to_texts(const NetworkChange& change) {
  return NetworkChangeTexts{join(change.ips), join(change.routes),
                            change.dns_server ? change.dns_server->to_string() : std::string()};
}

}  // namespace velarix::agent
