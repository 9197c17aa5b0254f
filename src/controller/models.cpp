#include "controller/models.h"

#include <algorithm>
#include <array>
#include <utility>

#include "network/config/tables.h"
#include "util/text.h"

namespace velarix::controller {
namespace {

using K = Os::Kind;

constexpr std::array<std::pair<K, std::string_view>, 21> kDisplay{{
    {K::MacOs, "macOS"},         {K::Windows, "Windows"},     {K::TvOs, "tvOS"},
    {K::IOs, "iOS"},             {K::IPadOs, "iPadOS"},       {K::Android, "Android"},
    {K::Linux, "Linux"},         {K::Ubuntu, "Ubuntu"},       {K::Debian, "Debian"},
    {K::Fedora, "Fedora"},       {K::CentOs, "CentOS"},       {K::Rhel, "RHEL"},
    {K::Arch, "Arch"},           {K::OpenSuse, "openSUSE"},   {K::Sles, "SLES"},
    {K::Gentoo, "Gentoo"},       {K::Slackware, "Slackware"}, {K::LinuxMint, "Linux Mint"},
    {K::ElementaryOs, "elementary OS"}, {K::Manjaro, "Manjaro"}, {K::Raspbian, "Raspbian"},
}};

constexpr std::array<std::pair<std::string_view, K>, 5> kAliases{{
    {"SLE", K::Sles},
    {"SUSE Linux Enterprise", K::Sles},
    {"Arch Linux", K::Arch},
    {"Red Hat Enterprise Linux", K::Rhel},
    {"Raspberry Pi OS", K::Raspbian},
}};

bool has(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string quoted(const std::optional<std::string>& v) {
  return v ? "Some(" + network::debug_quoted(*v) + ")" : std::string("None");
}

}  // namespace

std::string_view Os::display() const noexcept {
  for (const auto& [k, text] : kDisplay) {
    if (k == kind_) return text;
  }
  return {};
}

std::optional<Os> Os::from_str(std::string_view text) {
  for (const auto& [k, display] : kDisplay) {
    if (display == text) return Os(k);
  }
  for (const auto& [alias, k] : kAliases) {
    if (alias == text) return Os(k);
  }
  const std::string s = util::ascii_lower(text);
  if (has(s, "ubuntu")) return Os(K::Ubuntu);
  if (has(s, "debian")) return Os(K::Debian);
  if (has(s, "fedora")) return Os(K::Fedora);
  if (has(s, "centos")) return Os(K::CentOs);
  if (has(s, "red hat") || has(s, "rhel")) return Os(K::Rhel);
  if (has(s, "arch linux")) return Os(K::Arch);
  if (has(s, "arch") && has(s, "linux")) return Os(K::Arch);
  if (has(s, "opensuse")) return Os(K::OpenSuse);
  if (has(s, "suse") && has(s, "enterprise")) return Os(K::Sles);
  if (has(s, "gentoo")) return Os(K::Gentoo);
  if (has(s, "slackware")) return Os(K::Slackware);
  if (has(s, "linux mint") || has(s, "mint")) return Os(K::LinuxMint);
  if (has(s, "elementary")) return Os(K::ElementaryOs);
  if (has(s, "manjaro")) return Os(K::Manjaro);
  if (has(s, "raspbian") || has(s, "raspios") || has(s, "raspberry pi os")) return Os(K::Raspbian);
  if (has(s, "linux")) return Os(K::Linux);
  return std::nullopt;
}

nlohmann::ordered_json UpdateNodeMetricsRequest::to_json() const {
  auto opt = [](const std::optional<std::string>& v) { return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(); };
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  j["os"] = os;
  j["os_version"] = opt(os_version);
  j["os_arch"] = opt(os_arch);
  j["rust_version"] = opt(rust_version);
  j["ips"] = nlohmann::ordered_json::array();
  for (const auto& ip : ips) j["ips"].push_back(ip);
  j["velarix_agent_version"] = opt(velarix_agent_version);
  j["velarix_ui_version"] = opt(velarix_ui_version);
  j["super_peers"] = nlohmann::ordered_json::object();
  for (const auto& [key, m] : super_peers) {
    j["super_peers"][key] = {{"connected", m.connected}, {"ping", m.ping}, {"ipv4", m.ipv4}, {"ipv6", m.ipv6}};
  }
  j["networks"] = nlohmann::ordered_json::object();
  for (const auto& [key, m] : networks) {
    j["networks"][key] = {{"rx", m.rx}, {"tx", m.tx}, {"enabled", m.enabled}};
  }
  j["error_logs"] = opt(error_logs);
  return j;
}

std::string UpdateNodeMetricsRequest::debug() const {
  std::string out = "UpdateNodeMetricsRequest { os: " + network::debug_quoted(os);
  out += ", os_version: " + quoted(os_version);
  out += ", os_arch: " + quoted(os_arch);
  out += ", rust_version: " + quoted(rust_version);
  out += ", ips: [";
  for (std::size_t i = 0; i < ips.size(); ++i) out += (i ? ", " : "") + network::debug_quoted(ips[i]);
  out += "], velarix_agent_version: " + quoted(velarix_agent_version);
  out += ", velarix_ui_version: " + quoted(velarix_ui_version);
  out += ", super_peers: {";
  bool first = true;
  for (const auto& [key, m] : super_peers) {
    out += (first ? "" : ", ") + network::debug_quoted(key) + ": SuperPeerMetrics { connected: " +
           (m.connected ? "true" : "false") + ", ping: " + std::to_string(m.ping) +
           ", ipv4: " + (m.ipv4 ? "true" : "false") + ", ipv6: " + (m.ipv6 ? "true" : "false") + " }";
    first = false;
  }
  out += "}, networks: {";
  first = true;
  for (const auto& [key, m] : networks) {
    out += (first ? "" : ", ") + network::debug_quoted(key) + ": NetworkTrafficMetrics { rx: " +
           std::to_string(m.rx) + ", tx: " + std::to_string(m.tx) + ", enabled: " + (m.enabled ? "true" : "false") +
           " }";
    first = false;
  }
  out += "}, error_logs: " + quoted(error_logs) + " }";
  return out;
}

}  // namespace velarix::controller
