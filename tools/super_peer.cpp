// super_peer: runs a super peer until SIGINT or SIGTERM.
//
// Prints its address (the text for a node's `super_peers`) as one line on stdout once it
// listens. Its identity lives in a key file, made with a fresh identity (mode 0600) when missing:
//
//   # velarix super peer identity: keep it secret
//   secret_key = "<64 hexadecimal digits>"
//   pow = <decimal number>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <expected>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "identity/identity.h"
#include "superpeer/super_peer_server.h"
#include "util/log.h"
#include "util/runtime.h"

namespace {

using velarix::p2p::Identity;
using velarix::p2p::Pow;
using velarix::p2p::SecKey;

constexpr const char* kUsage =
    "usage: super_peer [options]\n"
    "  --key-file PATH     identity file, created when missing (default: super_peer.key)\n"
    "  --listen ADDR       address to listen on (default: 127.0.0.1)\n"
    "  --port N            UDP port (default: 22527; 0: chosen by the system)\n"
    "  --tcp-port N        TCP port (default: the UDP port)\n"
    "  --network-id N      network id served (default: 1)\n"
    "  --no-udp-answers    drop every datagram, so that nodes fall back to TCP\n"
    "  --no-unites         never introduce nodes to each other\n"
    "  --unarmed           serve a network whose nodes do not arm their messages (nothing is\n"
    "                      authenticated then: anyone can take over any node's relayed traffic)\n"
    "  --min-pow-difficulty N  weakest proof of work of a node it registers (default: 24)\n"
    "  --log-level LEVEL   trace, debug, info, warn, error or off (default: info)\n";

struct Args {
  std::string key_file = "super_peer.key";
  std::string listen = "127.0.0.1";
  std::uint16_t port = 22527;
  std::optional<std::uint16_t> tcp_port;
  std::uint32_t network_id = 1;
  bool answer_udp = true;
  bool send_unites = true;
  bool armed = true;
  std::uint8_t min_pow_difficulty = 24;
  std::string log_level = "info";
};

template <class T>
std::optional<T> parse_number(std::string_view text) {
  T v{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::expected<Args, std::string> parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string_view opt = argv[i];
    auto value = [&]() -> std::expected<std::string_view, std::string> {
      if (i + 1 >= argc) return std::unexpected(fmt::format("{} needs a value", opt));
      return std::string_view(argv[++i]);
    };
    auto port = [&]() -> std::expected<std::uint16_t, std::string> {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      auto n = parse_number<std::uint16_t>(*v);
      if (!n) return std::unexpected(fmt::format("{}: not a port: {}", opt, *v));
      return *n;
    };
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (opt == "--key-file") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      a.key_file = *v;
    } else if (opt == "--listen") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      a.listen = *v;
    } else if (opt == "--port") {
      auto p = port();
      if (!p) return std::unexpected(p.error());
      a.port = *p;
    } else if (opt == "--tcp-port") {
      auto p = port();
      if (!p) return std::unexpected(p.error());
      a.tcp_port = *p;
    } else if (opt == "--network-id") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      auto n = parse_number<std::uint32_t>(*v);
      if (!n) return std::unexpected(fmt::format("--network-id: not a 32-bit number: {}", *v));
      a.network_id = *n;
    } else if (opt == "--no-udp-answers") {
      a.answer_udp = false;
    } else if (opt == "--no-unites") {
      a.send_unites = false;
    } else if (opt == "--unarmed") {
      a.armed = false;
    } else if (opt == "--min-pow-difficulty") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      auto n = parse_number<unsigned>(*v);
      if (!n || *n > 32) return std::unexpected(fmt::format("--min-pow-difficulty: not a number from 0 to 32: {}", *v));
      a.min_pow_difficulty = static_cast<std::uint8_t>(*n);
    } else if (opt == "--log-level") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      a.log_level = *v;
    } else {
      return std::unexpected(fmt::format("unknown option {}", opt));
    }
  }
  return a;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::expected<Identity, std::string> read_key_file(const std::string& path, const std::string& text) {
  std::optional<SecKey> sk;
  std::optional<Pow> pow;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    auto l = trim(line);
    if (l.empty() || l.front() == '#') continue;
    const auto eq = l.find('=');
    if (eq == std::string_view::npos) return std::unexpected(fmt::format("{}:{}: expected key = value", path, number));
    const auto key = trim(l.substr(0, eq));
    auto value = trim(l.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (key == "secret_key") {
      auto parsed = SecKey::from_text(value);
      if (!parsed) return std::unexpected(fmt::format("{}:{}: {}", path, number, parsed.error().message()));
      sk = *parsed;
    } else if (key == "pow") {
      auto n = parse_number<std::int32_t>(value);
      if (!n) return std::unexpected(fmt::format("{}:{}: pow is not a 32-bit number", path, number));
      pow = Pow(*n);
    } else {
      return std::unexpected(fmt::format("{}:{}: unknown key {}", path, number, key));
    }
  }
  if (!sk) return std::unexpected(fmt::format("{}: secret_key missing", path));
  return Identity(*sk, pow.value_or(Pow()));
}

// The identity in `path`; a fresh one, written there, when the file does not exist.
std::expected<Identity, std::string> load_or_create_identity(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    return read_key_file(path, text.str());
  }
  // Super peers' proofs of work are not checked by nodes; any key will do.
  auto id = Identity::generate(0);
  if (!id) return std::unexpected(fmt::format("generating an identity failed: {}", id.error().message()));
  const auto text = fmt::format("# velarix super peer identity: keep it secret\nsecret_key = \"{}\"\npow = {}\n",
                                id->sk().to_string(), id->pow().to_string());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(fmt::format("{}: cannot create: {}", path, std::strerror(errno)));
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool closed = ::close(fd) == 0;
  if (!ok || !closed) {
    ::unlink(path.c_str());
    return std::unexpected(fmt::format("{}: cannot write", path));
  }
  return *id;
}

}  // namespace

int main(int argc, char** argv) {
  auto args = parse_args(argc, argv);
  if (!args) {
    std::fprintf(stderr, "super_peer: %s\n%s", args.error().c_str(), kUsage);
    return 2;
  }
  const auto level = spdlog::level::from_str(args->log_level);
  if (level == spdlog::level::off && args->log_level != "off") {
    std::fprintf(stderr, "super_peer: unknown log level %s\n", args->log_level.c_str());
    return 2;
  }
  auto logger = std::make_shared<spdlog::logger>("super_peer", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  logger->set_level(level);
  velarix::log::install(logger);

  boost::system::error_code ec;
  const auto listen = boost::asio::ip::make_address(args->listen, ec);
  if (ec) {
    std::fprintf(stderr, "super_peer: --listen: not an IP address: %s\n", args->listen.c_str());
    return 2;
  }
  auto identity = load_or_create_identity(args->key_file);
  if (!identity) {
    std::fprintf(stderr, "super_peer: %s\n", identity.error().c_str());
    return 1;
  }

  // The signals are taken by sigwait below; the runtime's threads inherit the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  velarix::p2p::util::Runtime runtime(2);
  velarix::p2p::SuperPeerOptions opts{.identity = *identity,
                                      .network_id = args->network_id,
                                      .listen_address = listen,
                                      .udp_port = args->port,
                                      .tcp_port = args->tcp_port,
                                      .arm_messages = args->armed,
                                      .min_pow_difficulty = args->min_pow_difficulty,
                                      .answer_udp = args->answer_udp,
                                      .send_unites = args->send_unites};
  auto server = velarix::p2p::SuperPeerServer::start(runtime, std::move(opts));
  if (!server) {
    std::fprintf(stderr, "super_peer: %s\n", server.error().c_str());
    return 1;
  }
  std::printf("%s\n", (*server)->url_text().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  velarix::log::info("Super peer stopping on signal {}", sig);
  (*server)->stop();
  server->reset();
  return 0;
}
