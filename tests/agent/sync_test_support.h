#pragma once
// Shared pieces of the controller-synchronisation tests: a bare agent core
// for the HTTP fetch, and a private CA that the agent's client trusts.

#include <memory>
#include <string>

#include "agent/inner.h"
#include "common/http_test_server.h"
#include "common/temp_dir.h"
#include "common/test_pki.h"
#include "identity/identity.h"
#include "util/runtime.h"

namespace velarix::test {

// An agent core with an HTTP client and a key, and nothing else: enough for
// the fetch, which touches no node, interface or state.
inline std::shared_ptr<agent::AgentInner> bare_inner(p2p::util::Runtime& rt) {
  auto id = p2p::Identity::generate(4);
  auto platform = std::make_shared<agent::PlatformDependent>();
  return std::shared_ptr<agent::AgentInner>(new agent::AgentInner{
      .cancellation_token = {},
      .node = nullptr,
      .node_receiver = nullptr,
      .netif = agent::AgentNetif(platform),
      .dns = nullptr,
      .tx_trie = {},
      .rx_trie = {},
      .c2d_sender = nullptr,
      .c2d_receiver = nullptr,
      .config_path = {},
      .platform = platform,
      .http_client = agent::HttpClient::create(),
      .state_lock = {},
      .state = agent::State{.config = agent::AgentConfig(*id),
                            .update_available = {},
                            .ui_version = {},
                            .last_network_change = {},
                            .login = {},
                            .time_deviation = {}},
      .mtu = 1073,
      .executor = rt.executor(),
      .own_pk = id->pk(),
      .timings = {},
  });
}

// A CA trusted through SSL_CERT_FILE for the life of the object (clients
// created meanwhile trust it), and certificates it issues.
class TrustedTestCa {
 public:
  TrustedTestCa() : file_(dir_.file("ca.pem")) {
    write_text(file_, ca_.cert_pem());
    env_.emplace("SSL_CERT_FILE", file_.c_str());
  }
  PemPair issue(const std::string& alt_names = "DNS:localhost,IP:127.0.0.1") { return ca_.issue(alt_names); }

 private:
  TempDir dir_;
  TestCa ca_;
  std::string file_;
  std::optional<ScopedEnv> env_;
};

}  // namespace velarix::test
