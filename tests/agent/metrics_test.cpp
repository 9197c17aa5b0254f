// Device facts for the metrics: commands, operating system and version rules,
// the operating-system names, and the record's JSON and debug forms.

#include <gtest/gtest.h>

#include <map>

#include "agent/metrics.h"
#include "controller/models.h"
#include "util/net.h"

using namespace velarix::agent;
using velarix::controller::Os;
using velarix::controller::UpdateNodeMetricsRequest;

namespace {

// Answers commands from a table ("uname -m" -> output); a missing entry is a
// command that could not run. Records what was asked.
struct FakeCommands {
  std::map<std::string, std::optional<std::string>> outputs;
  std::vector<std::string> asked;

  CommandRunner runner() {
    return [this](const std::string& program, const std::vector<std::string>& args) -> std::optional<std::string> {
      std::string line = program;
      for (const auto& a : args) line += " " + a;
      asked.push_back(line);
      auto it = outputs.find(line);
      return it == outputs.end() ? std::nullopt : it->second;
    };
  }
};

}  // namespace

TEST(Metrics, RunsRealCommands) {
  EXPECT_EQ(run_command("printf", {"  %s\\n\\n", "hello world"}), "hello world");
  EXPECT_EQ(run_command("sh", {"-c", "echo out; echo err >&2; exit 3"}), "out") << "exit status and stderr ignored";
  EXPECT_EQ(run_command("velarix-no-such-program", {}), std::nullopt);
  EXPECT_EQ(run_command("printf", {"caf\\351"}), std::nullopt) << "not UTF-8";
  EXPECT_EQ(run_command("head", {"-c", "100000", "/dev/zero"}), std::nullopt) << "too much output";
}

TEST(Metrics, OperatingSystemAndVersion) {
  struct Case {
    const char* what;
    std::map<std::string, std::optional<std::string>> outputs;
    std::string os;
    std::optional<std::string> version;
    std::vector<std::string> asked;
  } cases[] = {
      {"iPad by machine name", {{"uname -m", "iPad13,4"}, {"sw_vers -productVersion", "17.1"}}, "iPadOS", "17.1",
       {"uname -m", "sw_vers -productVersion"}},
      {"iPad by model", {{"uname -m", "arm64"}, {"sysctl -n hw.model", "iPad8,1"}, {"sw_vers -productVersion", "16.0"}},
       "iPadOS", "16.0", {"uname -m", "sysctl -n hw.model", "sw_vers -productVersion"}},
      {"not a prefix", {{"uname -m", "MyiPad"}, {"sysctl -n hw.model", "iPhone14,2"}}, "iOS", std::nullopt,
       {"uname -m", "sysctl -n hw.model", "sw_vers -productVersion", "uname -r"}},
      {"kernel release", {{"uname -r", "23.1.0"}}, "iOS", "19.1", {}},
      {"white space from sw_vers", {{"sw_vers -productVersion", ""}, {"uname -r", "22.6.0"}}, "iOS", "18.6", {}},
  };
  for (auto& c : cases) {
    FakeCommands cmds{c.outputs, {}};
    auto req = build_metrics_request(std::nullopt, std::nullopt, cmds.runner());
    EXPECT_EQ(req.os, c.os) << c.what;
    EXPECT_EQ(req.os_version, c.version) << c.what;
    if (!c.asked.empty()) {
      EXPECT_EQ(cmds.asked, c.asked) << c.what;
    }
  }

  struct Release {
    const char* in;
    const char* out;
  } releases[] = {
      {"23.1.0", "19.1"}, {"05.007.x", "1.7"}, {"4.1.0", "4.1.0"}, {"104.0.0", "104.0.0"}, {"103.2.1", "99.2"},
      {"23.1", "23.1"},   {"23.x.0", "23.x.0"}, {"+23.-1.0", "19.-1"}, {"++23.1.0", "++23.1.0"}, {"23.+-1.0", "23.+-1.0"},
      {"99999999999.1.0", "99999999999.1.0"},
  };
  for (const auto& r : releases) EXPECT_EQ(os_version_from_kernel_release(r.in), r.out) << r.in;
}

TEST(Metrics, RecordFields) {
  FakeCommands cmds;
  auto req = build_metrics_request("2.0.1", "line one\nline two", cmds.runner());
  EXPECT_EQ(req.os_arch, "aarch64");
  EXPECT_EQ(req.rust_version, std::nullopt);
  EXPECT_EQ(req.velarix_ui_version, "2.0.1");
  EXPECT_EQ(req.error_logs, "line one\nline two");
  EXPECT_TRUE(req.super_peers.empty());
  EXPECT_TRUE(req.networks.empty());
  ASSERT_TRUE(req.velarix_agent_version);
  EXPECT_TRUE(req.velarix_agent_version->ends_with(")"));
  EXPECT_NE(req.velarix_agent_version->find(" ("), std::string::npos);
  // Interface addresses in their plain text form, IPv6 without a scope.
  auto addrs = velarix::p2p::util::net::get_addrs();
  ASSERT_TRUE(addrs);
  EXPECT_EQ(req.ips.size(), addrs->size());
  for (const auto& ip : req.ips) EXPECT_EQ(ip.find('%'), std::string::npos) << ip;
}

TEST(Metrics, JsonAndDebugForms) {
  UpdateNodeMetricsRequest req;
  req.os = "iOS";
  req.os_version = "17.1";
  req.os_arch = "aarch64";
  req.ips = {"192.168.1.5", "fe80::1"};
  req.velarix_agent_version = "0.1.0 (abc1234)";
  req.error_logs = "Network controller://x: Pending\nNetwork controller://y: NotAMemberError";
  EXPECT_EQ(req.to_json().dump(),
            R"j({"os":"iOS","os_version":"17.1","os_arch":"aarch64","rust_version":null,"ips":["192.168.1.5","fe80::1"],)j"
            R"j("velarix_agent_version":"0.1.0 (abc1234)","velarix_ui_version":null,"super_peers":{},"networks":{},)j"
            R"j("error_logs":"Network controller://x: Pending\nNetwork controller://y: NotAMemberError"})j");
  req.super_peers["b"] = {true, 12, true, false};
  req.networks["n"] = {1, 2, true};
  const auto j = req.to_json();
  EXPECT_EQ(j["super_peers"].dump(), R"({"b":{"connected":true,"ping":12,"ipv4":true,"ipv6":false}})");
  EXPECT_EQ(j["networks"].dump(), R"({"n":{"rx":1,"tx":2,"enabled":true}})");
  EXPECT_EQ(req.debug(),
            "UpdateNodeMetricsRequest { os: \"iOS\", os_version: Some(\"17.1\"), os_arch: Some(\"aarch64\"), "
            "rust_version: None, ips: [\"192.168.1.5\", \"fe80::1\"], velarix_agent_version: Some(\"0.1.0 (abc1234)\"), "
            "velarix_ui_version: None, super_peers: {\"b\": SuperPeerMetrics { connected: true, ping: 12, ipv4: true, "
            "ipv6: false }}, networks: {\"n\": NetworkTrafficMetrics { rx: 1, tx: 2, enabled: true }}, error_logs: "
            "Some(\"Network controller://x: Pending\\nNetwork controller://y: NotAMemberError\") }");
}

TEST(Metrics, OperatingSystemNames) {
  struct Case {
    const char* text;
    std::optional<const char*> os;
  } cases[] = {
      {"Ubuntu", "Ubuntu"},
      {"ubuntu server", "Ubuntu"},
      {"iOS", "iOS"},
      {"ios", std::nullopt},
      {"macOS", "macOS"},
      {"Linux Mint", "Linux Mint"},
      {"MINT", "Linux Mint"},
      {"Arch-ish linux", "Arch"},
      {"Arch Linux", "Arch"},
      {"SUSE Linux Enterprise Server 15", "SLES"},
      {"SLE", "SLES"},
      {"openSUSE Leap", "openSUSE"},
      {"Red Hat Enterprise Linux", "RHEL"},
      {"my rhel box", "RHEL"},
      {"Raspberry Pi OS", "Raspbian"},
      {"raspios lite", "Raspbian"},
      {"elementary", "elementary OS"},
      {"Debian GNU/Linux", "Debian"},
      {"some linux", "Linux"},
      {"FreeBSD", std::nullopt},
  };
  for (const auto& c : cases) {
    auto os = Os::from_str(c.text);
    if (!c.os) {
      EXPECT_FALSE(os) << c.text;
      continue;
    }
    ASSERT_TRUE(os) << c.text;
    EXPECT_EQ(os->display(), *c.os) << c.text;
  }
  // Every display text reads back as its own value.
  for (int k = 0; k <= static_cast<int>(Os::Kind::Raspbian); ++k) {
    const Os os(static_cast<Os::Kind>(k));
    EXPECT_EQ(Os::from_str(os.display()), os) << os.display();
  }
}
