// The host program as a person runs it: the built velarix_host, each case a
// command line against a configuration file of its own, judged by exit code and
// by what it printed.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/temp_dir.h"

extern char** environ;

namespace {

using velarix::test::read_text;
using velarix::test::TempDir;
using velarix::test::write_text;

struct HostRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs the host program with `args` in `dir`, standard input from /dev/null;
// killed when it runs longer than 60 s.
HostRun run_host(const TempDir& dir, const std::vector<std::string>& args) {
  const std::string out_path = dir.file("stdout"), err_path = dir.file("stderr");
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VELARIX_", 8) != 0) env_text.emplace_back(*e);
  }
  // A quick identity, and a node that stays on loopback should one start.
  for (const char* e : {"VELARIX_MIN_POW_DIFFICULTY=4", "VELARIX_UDP_ADDRS=127.0.0.1", "VELARIX_UDP_PORT=0",
                        "VELARIX_UDP_SOCKETS=1"}) {
    env_text.emplace_back(e);
  }
  std::vector<char*> env, argv;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string program = VELARIX_HOST_PROGRAM;
  argv.push_back(program.data());
  std::vector<std::string> arg_text = args;
  for (auto& a : arg_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string cwd = dir.path().string();

  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only calls that are safe between fork and exec.
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(99);  // the descriptor the cases call "not open"
    ::execve(argv[0], argv.data(), env.data());
    ::_exit(127);
  }
  HostRun run;
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return run;
  }
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || ::poll(&p, 1, 60'000) != 1) {
    ADD_FAILURE() << "velarix_host did not end within 60 s";
    ::kill(pid, SIGKILL);
  }
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = read_text(out_path);
  run.err = read_text(err_path);
  return run;
}

// The file every case starts from: a new identity, no super peers (so that no
// agent could get further than its start), one enabled network and one
// disabled network with a name.
std::string base_config() {
  static const std::string text = [] {
    TempDir dir;
    const HostRun made = run_host(dir, {"--no-log", "--config", "agent.toml", "--init-only"});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return "super_peers = []\n" + read_text(dir.file("agent.toml")) +
           "\n[[network]]\nconfig_url = \"file:///n1.toml\"\n"
           "\n[[network]]\nconfig_url = \"file:///n2.toml\"\ndisabled = true\nname = \"Two\"\n";
  }();
  return text;
}

enum class File { Base, Missing, BadToml, Directory };

TEST(HostProgram, SaysWhatWentWrongAndFails) {
  constexpr const char* kUsageLine = "usage: velarix_host --config PATH";
  struct Case {
    const char* name;
    File file;
    std::vector<std::string> args;  // "{cfg}" is the configuration file's path
    int exit_code;
    std::string err;  // a line of standard error, without "velarix_host: "
    bool usage = false;
    std::string out = {};  // for a success: what standard output must be, as a regular expression
  } cases[] = {
      {"unknown flag", File::Base, {"--config", "{cfg}", "--bogus"}, 2, "unknown flag --bogus", true},
      {"flag without its value", File::Base, {"--config"}, 2, "--config needs a value", true},
      {"seconds not a number", File::Base, {"--config", "{cfg}", "--seconds", "abc"}, 2,
       "--seconds: 'abc' is not a whole number of seconds", true},
      {"seconds negative", File::Base, {"--config", "{cfg}", "--seconds", "-1"}, 2,
       "--seconds: '-1' is not a whole number of seconds", true},
      {"log level unknown", File::Base, {"--config", "{cfg}", "--log-level", "loud"}, 2,
       "--log-level: 'loud' is none of trace, debug, info, warn, error, off", true},
      {"descriptor not a number", File::Base, {"--config", "{cfg}", "--tun-fd", "x"}, 2,
       "--tun-fd: 'x' is not a descriptor number", true},
      {"no configuration", File::Base, {"--seconds", "1"}, 2, "--config PATH is required", true},
      {"interface and descriptor", File::Base, {"--config", "{cfg}", "--tun", "vx0", "--tun-fd", "3"}, 2,
       "--tun and --tun-fd exclude each other", true},

      {"network URL invalid", File::Base, {"--no-log", "--config", "{cfg}", "--network", "notaurl", "--init-only"}, 1,
       "--network notaurl: invalid URL (VELARIX_AGENT_ERR_INVALID_URL, -3)"},
      {"network exists", File::Base,
       {"--no-log", "--config", "{cfg}", "--network", "FILE:///n1.toml", "--init-only"}, 1,
       "--network FILE:///n1.toml: network exists (VELARIX_AGENT_ERR_NETWORK_EXISTS, -5)"},
      {"remove unknown network", File::Base,
       {"--no-log", "--config", "{cfg}", "--remove-network", "file:///none.toml", "--init-only"}, 1,
       "--remove-network file:///none.toml: network not found (VELARIX_AGENT_ERR_NETWORK_NOT_FOUND, -4)"},
      {"enable enabled network", File::Base,
       {"--no-log", "--config", "{cfg}", "--enable-network", "file:///n1.toml", "--init-only"}, 1,
       "--enable-network file:///n1.toml: already enabled (VELARIX_AGENT_ERR_ALREADY_ENABLED, -6)"},
      {"disable disabled network", File::Base,
       {"--no-log", "--config", "{cfg}", "--disable-network", "file:///n2.toml", "--list-networks"}, 1,
       "--disable-network file:///n2.toml: already disabled (VELARIX_AGENT_ERR_ALREADY_DISABLED, -7)"},
      {"later edit refused", File::Base,
       {"--no-log", "--config", "{cfg}", "--network", "file:///a.toml", "--enable-network", "bad url"}, 1,
       "--enable-network bad url: invalid URL (VELARIX_AGENT_ERR_INVALID_URL, -3)"},

      {"configuration not TOML", File::BadToml, {"--no-log", "--config", "{cfg}", "--init-only"}, 1,
       "configuration {cfg}: TOML error: not a valid configuration file (VELARIX_AGENT_ERROR_TOML_DE, -106)"},
      {"configuration a directory", File::Directory, {"--no-log", "--config", "{cfg}", "--init-only"}, 1,
       "configuration {cfg}: I/O error: the file cannot be read or written (VELARIX_AGENT_ERROR_IO, -105)"},
      {"configuration directory missing", File::Base, {"--no-log", "--config", "no/such/dir/agent.toml"}, 1,
       "configuration directory 'no/such/dir' does not exist"},

      {"descriptor not open", File::Base, {"--no-log", "--config", "{cfg}", "--tun-fd", "99", "--seconds", "0"}, 1,
       "TUN descriptor 99 cannot be used: not an open descriptor (Bad file descriptor)"},
      {"descriptor not a packet descriptor", File::Base,
       {"--no-log", "--config", "{cfg}", "--tun-fd", "0", "--seconds", "0"}, 1,
       "TUN descriptor 0 cannot be used: neither a TUN device nor a datagram or sequenced-packet socket, or owned "
       "by another device (VELARIX_AGENT_ERR_FAILURE, -2)"},
      {"agent cannot start", File::Base, {"--no-log", "--config", "{cfg}", "--seconds", "0"}, 1,
       "start: node error: no super peers, or sockets that cannot be bound (VELARIX_AGENT_ERROR_NODE_ERROR, -111)"},

      // What works: every editor in the order given, then the list.
      {"edits then list", File::Base,
       {"--no-log", "--config", "{cfg}", "--network", "file:///a.toml", "--disable-network", "file:///a.toml",
        "--remove-network", "file:///n1.toml", "--enable-network", "file:///n2.toml", "--list-networks"},
       0, "", false, R"(velarix agent .*\npublic key: [0-9a-f]{64}\ndisabled file:///a\.toml\nenabled file:///n2\.toml "Two"\n)"},
      {"missing file made, empty list", File::Missing, {"--no-log", "--config", "{cfg}", "--list-networks"}, 0, "",
       false, R"(velarix agent .*\npublic key: [0-9a-f]{64}\n)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string cfg = dir.file("agent.toml");
    switch (c.file) {
      case File::Base: write_text(cfg, base_config()); break;
      case File::Missing: break;
      case File::BadToml: write_text(cfg, "mtu = [\n"); break;
      case File::Directory: std::filesystem::create_directory(cfg); break;
    }
    auto fill = [&](std::string text) {
      for (auto at = text.find("{cfg}"); at != std::string::npos; at = text.find("{cfg}")) text.replace(at, 5, cfg);
      return text;
    };
    std::vector<std::string> args;
    for (const auto& a : c.args) args.push_back(fill(a));
    const HostRun run = run_host(dir, args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    if (c.usage) {
      // The reason first, on a line of its own, then the usage.
      EXPECT_TRUE(run.err.starts_with("velarix_host: " + c.err + "\n" + kUsageLine)) << run.err;
    } else if (!c.err.empty()) {
      EXPECT_NE(run.err.find("velarix_host: " + fill(c.err) + "\n"), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find(kUsageLine), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, "");
    }
    if (c.exit_code == 0) {
      EXPECT_TRUE(std::regex_match(run.out, std::regex(c.out))) << run.out;
    }
  }
}

}  // namespace
