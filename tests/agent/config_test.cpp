#include <gtest/gtest.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "agent/config.h"
#include "agent/inner.h"
#include "util/runtime.h"
#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "velarix_agent.h"

using namespace velarix::agent;
using velarix::test::LogCapture;
using velarix::test::ScopedEnv;
using velarix::test::TempDir;
using velarix::test::read_text;
using velarix::test::write_text;

namespace {

const std::string kSk = "0101010101010101010101010101010101010101010101010101010101010101";
const std::string kSpKey(64, 'c');
const std::string kIdentity = "[identity]\nsk = \"" + kSk + "\"\npow = 7\n";

// The WARN lines about unknown keys logged since the capture was cleared.
std::vector<std::string> unknown_key_lines() {
  std::vector<std::string> out;
  for (const auto& l : LogCapture::get().lines()) {
    if (l.starts_with("warning ") && l.find("unknown key") != std::string::npos) out.push_back(l.substr(8));
  }
  return out;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

Network net(std::string url, bool disabled = false, std::optional<std::string> name = {}) {
  Network n;
  n.config_url = std::move(url);
  n.disabled = disabled;
  n.name = std::move(name);
  return n;
}

AgentConfig sample() {
  AgentConfig cfg(velarix::p2p::Identity(*velarix::p2p::SecKey::from_text(kSk), velarix::p2p::Pow(7)));
  for (auto n : {net("https://b.example/net.toml", true, "Bee \"quoted\"\n"), net("file:///tmp/a.toml"),
                 net("https://B.example/x"), net("https://b.example/net")}) {
    auto url = *Url::parse(n.config_url);
    cfg.network.emplace(url, n);
  }
  cfg.mtu = 1200;
  cfg.super_peers = {*velarix::p2p::SuperPeerUrl::parse("udp://sp.example:22527?publicKey=" + kSpKey + "&networkId=9")};
  cfg.update_check = false;
  cfg.auto_connect = true;
  cfg.dns = DnsConfig{true};
  ControllerConfig c;
  c.url = "https://ctl.example/api";
  c.shared_secret = "c2VjcmV0";
  cfg.controller = c;
  return cfg;
}

const std::string kSampleText =
    "mtu = 1200\n"
    "super_peers = [\n"
    "    \"udp://sp.example:22527?publicKey=" + kSpKey + "&networkId=9\",\n"
    "]\n"
    "update_check = false\n"
    "auto_connect = true\n"
    "\n" + kIdentity +
    "\n[[network]]\nconfig_url = \"file:///tmp/a.toml\"\ndisabled = false\n"
    "\n[[network]]\nconfig_url = \"https://B.example/x\"\ndisabled = false\n"
    "\n[[network]]\nconfig_url = \"https://b.example/net\"\ndisabled = false\n"
    "\n[[network]]\nconfig_url = \"https://b.example/net.toml\"\ndisabled = true\nname = \"Bee \\\"quoted\\\"\\n\"\n"
    "\n[dns]\ndisabled = true\n"
    "\n[controller]\nurl = \"https://ctl.example/api\"\nshared_secret = \"c2VjcmV0\"\n";

void expect_same_file_fields(const AgentConfig& a, const AgentConfig& b) {
  EXPECT_EQ(a.identity, b.identity);
  EXPECT_EQ(a.identity.pk(), b.identity.pk());
  ASSERT_EQ(a.network.size(), b.network.size());
  for (const auto& [url, n] : a.network) {
    auto it = b.network.find(url);
    ASSERT_NE(it, b.network.end()) << url.as_str();
    EXPECT_EQ(it->second.config_url, n.config_url);
    EXPECT_EQ(it->second.disabled, n.disabled);
    EXPECT_EQ(it->second.name, n.name);
  }
  EXPECT_EQ(a.mtu, b.mtu);
  EXPECT_EQ(a.super_peers, b.super_peers);
  EXPECT_EQ(a.update_check, b.update_check);
  EXPECT_EQ(a.auto_connect, b.auto_connect);
  EXPECT_EQ(a.dns, b.dns);
  ASSERT_EQ(a.controller.has_value(), b.controller.has_value());
  if (a.controller) {
    EXPECT_EQ(a.controller->url, b.controller->url);
    EXPECT_EQ(a.controller->auth_url, b.controller->auth_url);
    EXPECT_EQ(a.controller->display_login_email, b.controller->display_login_email);
    EXPECT_EQ(a.controller->shared_secret, b.controller->shared_secret);
  }
}

// Records what happens in one directory (inotify), read after the fact.
class DirWatch {
 public:
  explicit DirWatch(const std::string& dir) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) ::inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY);
  }
  ~DirWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Names created in the directory since the watch began.
  std::vector<std::string> created() {
    drain();
    return created_;
  }
  std::size_t events_seen() {
    drain();
    return events_;
  }

 private:
  void drain() {
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(p);
        ++events_;
        if ((ev->mask & IN_CREATE) && ev->len > 0) created_.emplace_back(ev->name);
        p += sizeof(inotify_event) + ev->len;
      }
    }
  }
  int fd_;
  std::size_t events_ = 0;
  std::vector<std::string> created_;
};

}  // namespace

TEST(AgentConfig, WrittenLayoutIsFixedAndReadsBack) {
  TempDir dir;
  const auto path = dir.file("agent.toml");
  const auto cfg = sample();
  ASSERT_TRUE(cfg.save(path));
  EXPECT_EQ(read_text(path), kSampleText);
  auto back = AgentConfig::load(path);
  ASSERT_TRUE(back) << back.error().message();
  expect_same_file_fields(cfg, *back);
  EXPECT_EQ(back->controller->connection_status.kind, ControllerConnectionStatus::Kind::Initializing);
}

TEST(AgentConfig, ReadsDocuments) {
  struct Case {
    std::string name;
    std::string text;
    std::string written;  // the file as saved again, empty when not checked
  } cases[] = {
      {"identity only", kIdentity, kIdentity},
      {"empty network array", kIdentity + "network = []\n", kIdentity},
      {"network without disabled", kIdentity + "[[network]]\nconfig_url = \"https://x.example\"\n",
       kIdentity + "\n[[network]]\nconfig_url = \"https://x.example\"\ndisabled = false\n"},
      {"empty dns table", kIdentity + "[dns]\n", kIdentity + "\n[dns]\n"},
      {"inline empty dns", "dns = {}\n" + kIdentity, kIdentity + "\n[dns]\n"},
      {"empty super peers", "super_peers = []\n" + kIdentity, "super_peers = []\n\n" + kIdentity},
      {"mtu zero", "mtu = 0\n" + kIdentity, "mtu = 0\n\n" + kIdentity},
      {"unknown keys ignored",
       "colour = \"red\"\n[identity]\nsk = \"" + kSk + "\"\npow = 7\nextra = 1\n[dns]\nmore = 2\n[controller]\nx = 1\n",
       kIdentity + "\n[dns]\n\n[controller]\n"},
      {"pow limits", "[identity]\nsk = \"" + kSk + "\"\npow = -2147483648\n", ""},
      {"prefix sorting",
       kIdentity + "[[network]]\nconfig_url = \"https://a.example/ab\"\n[[network]]\nconfig_url = \"https://a.example/a\"\n"
                   "[[network]]\nconfig_url = \"https://a.example/B\"\n",
       kIdentity + "\n[[network]]\nconfig_url = \"https://a.example/B\"\ndisabled = false\n"
                   "\n[[network]]\nconfig_url = \"https://a.example/a\"\ndisabled = false\n"
                   "\n[[network]]\nconfig_url = \"https://a.example/ab\"\ndisabled = false\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cfg = AgentConfig::from_toml(c.text);
    ASSERT_TRUE(cfg) << cfg.error();
    if (!c.written.empty()) {
      EXPECT_EQ(*cfg->to_toml(), c.written);
    }
  }
  auto cfg = AgentConfig::from_toml(kIdentity + "[[network]]\nconfig_url = \"https://x.example\"\n");
  EXPECT_FALSE(cfg->network.begin()->second.disabled);
  EXPECT_EQ(cfg->network.begin()->first.as_str(), "https://x.example/");
  EXPECT_EQ(cfg->network.begin()->second.config_url, "https://x.example");
  EXPECT_FALSE(cfg->mtu || cfg->super_peers || cfg->update_check || cfg->auto_connect || cfg->dns || cfg->controller);
}

TEST(AgentConfig, RefusesBadDocuments) {
  struct Case {
    std::string name;
    std::string text;
    std::string fragment;  // expected somewhere in the error text
  } cases[] = {
      {"empty", "", "missing field `identity`"},
      {"syntax", "[identity\n", "TOML parse error at line 1"},
      {"missing sk", "[identity]\npow = 1\n", "missing field `sk`"},
      {"missing pow", "[identity]\nsk = \"" + kSk + "\"\n", "missing field `pow`"},
      {"bad sk", "[identity]\nsk = \"xyz\"\npow = 1\n", "invalid secret key"},
      {"sk wrong type", "[identity]\nsk = 5\npow = 1\n",
       "invalid type: integer `****`, expected a string for key `identity.sk`"},
      {"pow too big", "[identity]\nsk = \"" + kSk + "\"\npow = 2147483648\n", "invalid value: integer `2147483648`"},
      {"identity not table", "identity = 3\n", "expected struct Identity"},
      {"mtu too big", "mtu = 65536\n" + kIdentity, "invalid value: integer `65536`, expected u16"},
      {"mtu negative", "mtu = -1\n" + kIdentity, "expected u16"},
      {"mtu string", "mtu = \"1\"\n" + kIdentity, "invalid type: string \"1\""},
      {"network entry not table", "network = [1]\n" + kIdentity, "expected struct Network"},
      {"network not array", "network = 1\n" + kIdentity, "invalid type: integer `1`"},
      {"missing config_url", kIdentity + "[[network]]\ndisabled = true\n", "missing field `config_url`"},
      {"relative url", kIdentity + "[[network]]\nconfig_url = \"example.com/x\"\n", "relative URL without a base"},
      {"duplicate url",
       kIdentity + "[[network]]\nconfig_url = \"https://Example.com/a\"\n[[network]]\nconfig_url = \"https://example.COM/a\"\n",
       "duplicate network URL: https://example.com/a"},
      {"disabled wrong type", kIdentity + "[[network]]\nconfig_url = \"https://x\"\ndisabled = \"no\"\n",
       "invalid type: string \"no\""},
      {"dns not table", "dns = true\n" + kIdentity, "expected struct DnsConfig"},
      {"controller not table", "controller = []\n" + kIdentity, "expected struct ControllerConfig"},
      {"controller url not string", "[controller]\nurl = 1\n" + kIdentity, "invalid type: integer `1`"},
      {"bad super peer", "super_peers = [\"nope\"]\n" + kIdentity, "invalid super peer URL"},
      {"super peer not string", "super_peers = [1]\n" + kIdentity, "invalid type: integer `1`"},
      {"update_check wrong type", "update_check = 1\n" + kIdentity, "invalid type: integer `1`, expected a boolean"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cfg = AgentConfig::from_toml(c.text);
    ASSERT_FALSE(cfg);
    EXPECT_NE(cfg.error().find(c.fragment), std::string::npos) << cfg.error();
  }
}

TEST(AgentConfig, ErrorsPointAtTheOffendingLine) {
  auto cfg = AgentConfig::from_toml(kIdentity + "mtu_not_here = 1\n[dns]\ndisabled = 3\n");
  ASSERT_FALSE(cfg);
  EXPECT_NE(cfg.error().find("line 6"), std::string::npos) << cfg.error();
  EXPECT_NE(cfg.error().find("disabled = 3"), std::string::npos) << cfg.error();
}

// The reader's errors quote the offending line; a secret in it, whole or
// damaged, shows as "****" and the rest of the message stays.
TEST(AgentConfig, ReadErrorsShowNoSecret) {
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  const std::string short_key = kSk.substr(1);  // 63 digits
  const std::string secret = "c2VjcmV0LW9mLXRoZS1jb250cm9sbGVy";
  struct Case {
    const char* name;
    std::string text;
    std::string hidden;
    std::vector<std::string> kept;  // parts of the message that stay
  } cases[] = {
      {"a secret key one digit short", "[identity]\nsk = \"" + short_key + "\"\npow = 7\n", short_key,
       {"TOML parse error at line 2, column 6\n  |\n2 | sk = ****\n  |      ^\n",
        "expected 64 hexadecimal digits for key `identity.sk`"}},
      {"an unterminated secret key", "[identity]\nsk = \"" + short_key + "\npow = 7\n", short_key,
       {"TOML parse error at line 2", "2 | sk = ****"}},
      {"a secret key as a number", "[identity]\nsk = 12345678901234567\npow = 7\n", "12345678901234567",
       {"2 | sk = ****", "invalid type: integer `****`, expected a string for key `identity.sk`"}},
      {"in an inline table", "identity = { sk = \"" + short_key + "\", pow = 7 }\n", short_key,
       {"1 | identity = { sk = ****, pow = 7 }"}},
      {"under a quoted key", "[identity]\n\"sk\" = '" + short_key + "'\npow = 7\n", short_key, {"2 | \"sk\" = ****"}},
      {"under a dotted key", "identity.sk = \"" + short_key + "\"\nidentity.pow = 7\n", short_key,
       {"1 | identity.sk = ****"}},
      {"the shared secret before a syntax error",
       kIdentity + "[controller]\nurl = \"https://ctl.example\"\nshared_secret = \"" + secret + "\" x\n", secret,
       {"TOML parse error at line 6", "6 | shared_secret = **** x"}},
      {"the shared secret as a number", kIdentity + "[controller]\nshared_secret = 98765432109876\n", "98765432109876",
       {"invalid type: integer `****`, expected a string for key `controller.shared_secret`"}},
  };
  TempDir dir;
  const auto path = dir.file("agent.toml");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto read = AgentConfig::from_toml(c.text);
    ASSERT_FALSE(read);
    const std::string& message = read.error();
    EXPECT_EQ(message.find(c.hidden), std::string::npos) << message;
    EXPECT_EQ(message.find(c.hidden.substr(0, 16)), std::string::npos) << message;
    for (const auto& part : c.kept) EXPECT_NE(message.find(part), std::string::npos) << part << " in\n" << message;

    // The host's load logs the same text.
    write_text(path, c.text);
    LogCapture::get().clear();
    AgentConfigPtr* out = nullptr;
    EXPECT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &out), -106);
    if (LogCapture::get().installed()) {
      EXPECT_EQ(LogCapture::get().count("warning Error loading config: TOML error: " + message.substr(0, 20)), 1u);
      EXPECT_EQ(LogCapture::get().count(c.hidden.substr(0, 16)), 0u);
    }
  }
  // A line without a secret is quoted as it is.
  auto other = AgentConfig::from_toml("mtu = \"1200\"\n" + kIdentity);
  ASSERT_FALSE(other);
  EXPECT_NE(other.error().find("1 | mtu = \"1200\""), std::string::npos) << other.error();
}

namespace {

// Runs `f` on a thread with a stack of `bytes`, as a host's secondary thread
// on a phone has, and waits for it.
template <class F>
void on_small_stack(std::size_t bytes, F f) {
  pthread_attr_t attr;
  ASSERT_EQ(::pthread_attr_init(&attr), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attr, bytes), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<F*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attr, body, &f), 0);
  ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attr);
}

}  // namespace

TEST(AgentConfig, DeeplyDottedKeysAreRefusedWithoutExhaustingTheStack) {
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  TempDir dir;
  const auto path = dir.file("agent.toml");
  std::string dotted;
  for (int i = 0; i < 2000; ++i) dotted += "k.";
  struct Case {
    const char* name;
    std::string text;
    const char* where;
  } cases[] = {
      {"dotted key", kIdentity + "\n" + dotted + "x = 1\n", "line 5, column 512"},
      {"table header", kIdentity + "[" + dotted + "x]\n", "line 4, column 513"},
      {"dotted key in an inline table", kIdentity + "dns = { " + dotted + "x = 1 }\n", "line 4, column 518"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(path, c.text);
    std::expected<AgentConfig, Error> loaded = std::unexpected(Error{ErrorKind::Io, ""});
    int32_t code = 0;
    on_small_stack(512 * 1024, [&] {
      loaded = AgentConfig::load(path);
      AgentConfigPtr* out = nullptr;
      code = velarix_agent_config_load_or_generate(path.c_str(), &out);
      velarix_agent_config_free(out);
    });
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::TomlDe);
    EXPECT_EQ(code, -106);
    const std::string text = loaded.error().message();
    EXPECT_NE(text.find(c.where), std::string::npos) << text;
    EXPECT_NE(text.find("nest deeper than 256 levels"), std::string::npos) << text;
    EXPECT_LT(text.size(), 600u) << "the quoted line is shortened";
    EXPECT_EQ(read_text(path), c.text);
  }
  // Nesting a real file could hold still reads.
  std::string shallow;
  for (int i = 0; i < 200; ++i) shallow += "k.";
  EXPECT_TRUE(AgentConfig::from_toml(kIdentity + shallow + "x = 1\n"));
}

// Characters the TOML library cannot classify are refused before it reads the
// file, in the reader's own error form; inside strings they are kept.
TEST(AgentConfig, CharactersTheTomlLibraryCannotReadAreRefusedFirst) {
  auto whole = AgentConfig::from_toml("\xca\x99");
  ASSERT_FALSE(whole);
  EXPECT_NE(whole.error().find("TOML parse error at line 1, column 1"), std::string::npos) << whole.error();
  EXPECT_NE(whole.error().find("unsupported character U+0299 outside a string or comment"), std::string::npos)
      << whole.error();
  auto later = AgentConfig::from_toml(kIdentity + "mtu\xc3\xa9 = 1\n");
  ASSERT_FALSE(later);
  EXPECT_NE(later.error().find("line 4, column 4"), std::string::npos) << later.error();

  TempDir dir;
  const auto path = dir.file("agent.toml");
  write_text(path, "\xca\x99");
  auto loaded = AgentConfig::load(path);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind, ErrorKind::TomlDe);

  auto named = AgentConfig::from_toml(kIdentity + "\n[[network]]\nconfig_url = \"file:///n.toml\"\nname = \"\xca\x99\"\n");
  ASSERT_TRUE(named) << named.error();
  ASSERT_EQ(named->network.size(), 1u);
  EXPECT_EQ(named->network.begin()->second.name, "\xca\x99");
}

TEST(AgentConfig, FileModes) {
  TempDir dir;
  const auto cfg = sample();
  const auto fresh = dir.file("new.toml");
  ASSERT_TRUE(cfg.save(fresh));
  EXPECT_EQ(mode_of(fresh), 0600u);

  const auto existing = dir.file("existing.toml");
  write_text(existing, "old");
  ::chmod(existing.c_str(), 0644);
  ASSERT_TRUE(cfg.save(existing));
  EXPECT_EQ(mode_of(existing), 0644u);
  EXPECT_EQ(read_text(existing), kSampleText);

  // A symbolic link keeps pointing at the rewritten file.
  const auto link = dir.file("link.toml");
  ASSERT_EQ(::symlink(existing.c_str(), link.c_str()), 0);
  auto changed = cfg;
  changed.mtu = 1300;
  ASSERT_TRUE(changed.save(link));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(AgentConfig::load(existing)->mtu, 1300);
}

TEST(AgentConfig, SavingFollowsSymbolicLinksToTheirFinalTarget) {
  namespace fs = std::filesystem;
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  const auto cfg = sample();
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link name -> link text
    const char* target;                                     // the file the save writes, relative to the dir
  } cases[] = {
      {"dangling link", {{"agent.toml", "real.toml"}}, "real.toml"},
      {"dangling absolute link into a subdirectory", {{"agent.toml", "<dir>/sub/real.toml"}}, "sub/real.toml"},
      {"chain of relative links", {{"agent.toml", "sub/hop.toml"}, {"sub/hop.toml", "../real.toml"}}, "real.toml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir.path() / "sub");
    for (const auto& [link, text] : c.links) {
      std::string to = text;
      if (to.starts_with("<dir>")) to = dir.path().string() + to.substr(5);
      ASSERT_EQ(::symlink(to.c_str(), dir.file(link).c_str()), 0);
    }
    const auto path = dir.file("agent.toml");
    ASSERT_TRUE(cfg.save(path));
    for (const auto& [link, text] : c.links) EXPECT_TRUE(fs::is_symlink(dir.file(link))) << link;
    EXPECT_EQ(read_text(dir.file(c.target)), kSampleText);
    EXPECT_EQ(mode_of(dir.file(c.target)), 0600u);
    // A new identity through a dangling link lands in the target too.
    fs::remove(dir.file(c.target));
    auto generated = AgentConfig::load_or_generate(path);
    ASSERT_TRUE(generated) << generated.error().message();
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(AgentConfig::load(dir.file(c.target))->identity, generated->identity);
  }
}

TEST(AgentConfig, LinkLoopsAreRefusedAndNothingIsWritten) {
  namespace fs = std::filesystem;
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  const auto cfg = sample();
  for (bool self : {true, false}) {
    SCOPED_TRACE(self ? "link to itself" : "two links to each other");
    TempDir dir;
    const auto path = dir.file("agent.toml");
    ASSERT_EQ(::symlink(self ? "agent.toml" : "other.toml", path.c_str()), 0);
    if (!self) {
      ASSERT_EQ(::symlink("agent.toml", dir.file("other.toml").c_str()), 0);
    }
    const auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), {}); };
    const auto before = entries();

    auto saved = cfg.save(path);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, ErrorKind::Io);
    auto generated = AgentConfig::load_or_generate(path);
    ASSERT_FALSE(generated);
    EXPECT_EQ(generated.error().kind, ErrorKind::Io);
    EXPECT_EQ(velarix_agent_config_network_disable(path.c_str(), "https://a.example/"), -2);
    AgentConfigPtr* out = nullptr;
    EXPECT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &out), -105);

    EXPECT_EQ(entries(), before) << "nothing new in the directory";
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fs::read_symlink(path), self ? "agent.toml" : "other.toml");
  }
}

TEST(AgentConfig, FileErrors) {
  TempDir dir;
  const auto cfg = sample();
  auto missing_dir = cfg.save(dir.file("no/such/dir.toml"));
  ASSERT_FALSE(missing_dir);
  EXPECT_EQ(missing_dir.error().kind, ErrorKind::Io);
  EXPECT_EQ(missing_dir.error().c_code(), -105);

  auto missing = AgentConfig::load(dir.file("absent.toml"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, ErrorKind::Io);

  // A directory is neither read nor replaced by a new identity.
  for (auto r : {AgentConfig::load(dir.path().string()), AgentConfig::load_or_generate(dir.path().string())}) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));

  const auto binary = dir.file("binary.toml");
  write_text(binary, kIdentity + "# \xff\xfe\n");
  auto not_utf8 = AgentConfig::load(binary);
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().kind, ErrorKind::Io);
}

TEST(AgentConfig, FailedSaveLeavesPreviousFileIntact) {
  TempDir dir;
  const auto path = dir.file("agent.toml");
  auto cfg = sample();
  ASSERT_TRUE(cfg.save(path));

  // Text that cannot be written as TOML: nothing is touched.
  auto bad = cfg;
  bad.network.begin()->second.name = std::string("\xff");
  auto ser = bad.save(path);
  ASSERT_FALSE(ser);
  EXPECT_EQ(ser.error().kind, ErrorKind::TomlSer);
  EXPECT_EQ(read_text(path), kSampleText);

  // A write that fails half-way (file size limit) leaves the old file and no temporary.
  auto big = cfg;
  big.network.begin()->second.name = std::string(100000, 'n');
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto io = big.save(path);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ASSERT_FALSE(io);
  EXPECT_EQ(io.error().kind, ErrorKind::Io);
  EXPECT_EQ(read_text(path), kSampleText);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Saving renames a finished file over the old one: a reader that opened the old
// file keeps reading all of it, and the temporary never leaves the target's directory.
TEST(AgentConfig, SaveReplacesTheFileWholeBesideIt) {
  TempDir dir;
  TempDir elsewhere;
  const auto path = dir.file("agent.toml");
  ASSERT_TRUE(sample().save(path));

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto shorter = sample();
  shorter.network.clear();
  shorter.mtu = 1300;
  ASSERT_TRUE(shorter.save(path));
  std::string old;
  char buf[512];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) old.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(old, kSampleText);
  EXPECT_EQ(AgentConfig::load(path)->mtu, 1300);

  // Wherever TMPDIR points (or when it is unset), the temporary is made in the
  // target's directory and nothing touches any other.
  const std::string missing = (elsewhere.path() / "no-such-dir").string();
  for (const char* tmpdir : {missing.c_str(), elsewhere.path().c_str(), static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(tmpdir ? tmpdir : "TMPDIR unset");
    ScopedEnv env("TMPDIR", tmpdir);
    DirWatch beside(dir.path().string());
    DirWatch away(elsewhere.path().string());
    auto changed = sample();
    changed.mtu = 1400;
    auto saved = changed.save(path);
    EXPECT_TRUE(saved) << saved.error().message();
    auto loaded = AgentConfig::load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->mtu, 1400);
    const auto created = beside.created();
    EXPECT_TRUE(std::any_of(created.begin(), created.end(), [](const auto& n) { return n != "agent.toml"; }))
        << "no temporary beside the file";
    EXPECT_EQ(away.events_seen(), 0u) << "the save touched TMPDIR";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  }
}

// The names in `dir`, sorted.
std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Temporaries of a save that died are removed at the next load or save; only
// those of this file, by the exact form of their name, and none a live save holds.
TEST(AgentConfig, StaleTemporariesGoAtTheNextLoadOrSave) {
  TempDir dir;
  const auto path = dir.file("agent.toml");
  ASSERT_TRUE(sample().save(path));
  const auto stale = [&](const std::string& name) { write_text(dir.file(name), kIdentity); };
  const std::string kDir = ".agent.toml.tmp-d1d1d1d1d1d1d1d1";
  const std::string kLink = ".agent.toml.tmp-11111111111111ff";
  const std::string kHeld = ".agent.toml.tmp-4e1d4e1d4e1d4e1d";
  const std::vector<std::string> kept = {
      ".agent.toml.tmp-backup",             // a user's own copy
      ".agent.toml.tmp-abc123",             // six characters, as mkstemp makes them
      ".agent.toml.tmp-0123456789abcde",    // fifteen digits
      ".agent.toml.tmp-0123456789abcdef0",  // seventeen
      ".agent.toml.tmp-0123456789ABCDEF",   // upper case: not what a save writes
      ".agent.toml.tmp-0123456789abcdeg",   // not hexadecimal
      "agent.toml.tmp-0123456789abcdef",    // no leading dot
      ".other.toml.tmp-0123456789abcdef",   // another file's
      kDir,                                 // a directory
      kLink,                                // a symbolic link
      kHeld,                                // held by a save in progress
      "linked.toml",
  };
  for (const auto& name : kept) {
    if (name == kDir) {
      std::filesystem::create_directory(dir.file(name));
    } else if (name == kLink) {
      std::filesystem::create_symlink("linked.toml", dir.file(name));
    } else {
      stale(name);
    }
  }
  // A save in progress holds its temporary locked (here through a descriptor of its own).
  const int held = ::open(dir.file(kHeld).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  for (const char* when : {"load", "save"}) {
    SCOPED_TRACE(when);
    stale(".agent.toml.tmp-a1b2c3d4e5f60718");
    stale(".agent.toml.tmp-0000000000000000");
    if (std::string(when) == "load") {
      ASSERT_TRUE(AgentConfig::load(path));
    } else {
      ASSERT_TRUE(sample().save(path));
    }
    auto expected = kept;
    expected.push_back("agent.toml");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(dir.path()), expected);
    EXPECT_EQ(read_text(dir.file("linked.toml")), kIdentity);
  }

  // Once the save that held it is gone, so is its temporary.
  ::close(held);
  ASSERT_TRUE(AgentConfig::load(path));
  EXPECT_FALSE(std::filesystem::exists(dir.file(kHeld)));

  // Through a symbolic link, the temporaries beside its final target go.
  TempDir other;
  const auto link = other.file("link.toml");
  std::filesystem::create_symlink(path, link);
  stale(".agent.toml.tmp-fedcba9876543210");
  ASSERT_TRUE(AgentConfig::load(link));
  EXPECT_FALSE(std::filesystem::exists(dir.file(".agent.toml.tmp-fedcba9876543210")));
}

// A save killed at any moment leaves at most temporaries behind, and the next
// load takes them away.
TEST(AgentConfig, KilledSavesLeaveNoTemporaryAfterTheNextLoad) {
  TempDir dir;
  const auto path = dir.file("agent.toml");
  auto cfg = sample();
  // A larger file takes longer to write: more kills land inside a save.
  for (int i = 0; i < 200; ++i) {
    const std::string url = "https://n" + std::to_string(i) + ".example/";
    cfg.network.emplace(*Url::parse(url), net(url));
  }
  ASSERT_TRUE(cfg.save(path));
  const auto temporaries = [&] {
    std::vector<std::string> out;
    for (const auto& name : names_in(dir.path())) {
      if (name.starts_with(".agent.toml.tmp-")) out.push_back(name);
    }
    return out;
  };
  // Until one round at least has left a temporary behind.
  for (int round = 0; round < 40 || (temporaries().empty() && round < 400); ++round) {
    const auto before = temporaries();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) (void)cfg.save(path);
    }
    // Killed as soon as a temporary of its own is seen (or when that takes long).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto new_one = [&] {
      const auto now = temporaries();
      return std::any_of(now.begin(), now.end(), [&](const std::string& n) {
        return std::find(before.begin(), before.end(), n) == before.end();
      });
    };
    while (!new_one() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  ASSERT_FALSE(temporaries().empty()) << "no kill landed inside a save";
  auto loaded = AgentConfig::load(path);
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->network.size(), cfg.network.size());
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"agent.toml"});
}

TEST(AgentConfig, LoadOrGenerate) {
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "6");
  TempDir dir;
  const auto path = dir.file("agent.toml");
  auto created = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(created) << created.error().message();
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_TRUE(created->identity.pow().is_valid(created->identity.pk(), 6));
  EXPECT_EQ(read_text(path), *created->to_toml());

  auto again = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->identity, created->identity);

  // An unreadable document is reported, never replaced.
  const auto empty = dir.file("empty.toml");
  write_text(empty, "");
  auto r = AgentConfig::load_or_generate(empty);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::TomlDe);
  EXPECT_EQ(r.error().c_code(), -106);
  EXPECT_EQ(read_text(empty), "");
}

TEST(AgentConfig, ArbitraryBytesNeverCrashAndLeaveTheFileAlone) {
  TempDir dir;
  const auto path = dir.file("agent.toml");
  std::mt19937 rng(1234);
  std::string base = kSampleText;
  for (int i = 0; i < 1500; ++i) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const auto at = rng() % text.size();
      switch (rng() % 3) {
        case 0: text[at] = static_cast<char>(rng()); break;
        case 1: text.erase(at, rng() % 16); break;
        default: text.insert(at, 1, "=[]\"{}.,\n0x-"[rng() % 13]);
      }
      if (text.empty()) text = "x";
    }
    write_text(path, text);
    auto r = AgentConfig::load(path);
    if (!r) {
      EXPECT_TRUE(r.error().kind == ErrorKind::TomlDe || r.error().kind == ErrorKind::Io) << r.error().message();
      EXPECT_EQ(read_text(path), text);
    }
  }
}

TEST(AgentConfig, DefaultsOfTheController) {
  // The defaults as shipped: an https API endpoint with the path "/api" (26
  // characters) and an https authorisation server without a path (23).
  ControllerConfig c;
  const std::string api = c.url_or_default();
  EXPECT_EQ(api, "https://app.velarix.io/api");
  EXPECT_EQ(api.size(), 26u);
  auto api_url = Url::parse(api);
  ASSERT_TRUE(api_url) << api_url.error();
  EXPECT_EQ(api_url->scheme(), "https");
  EXPECT_EQ(api_url->path(), "/api");
  const std::string auth = c.auth_url_or_default();
  EXPECT_EQ(auth, "https://auth.velarix.io");
  EXPECT_EQ(auth.size(), 23u);
  auto auth_url = Url::parse(auth);
  ASSERT_TRUE(auth_url) << auth_url.error();
  EXPECT_EQ(auth_url->scheme(), "https");
  EXPECT_EQ(auth_url->as_str(), auth + "/");  // no path of its own
  c.url = "https://other.example/api";
  EXPECT_EQ(c.url_or_default(), "https://other.example/api");
  EXPECT_EQ(c.auth_url_or_default(), "https://auth.velarix.io");
  c.auth_url = "https://login.example";
  EXPECT_EQ(c.auth_url_or_default(), "https://login.example");
  ControllerConnectionStatus s{ControllerConnectionStatus::Kind::Err, "boom"};
  EXPECT_EQ(s.to_string(), "Err: boom");
  EXPECT_EQ(ControllerConnectionStatus{}.to_string(), "Initializing");
}

TEST(AgentConfig, DefaultMtuFollowsArmedMessages) {
  struct Case {
    const char* value;
    std::uint16_t mtu;
  } cases[] = {{nullptr, 1073}, {"true", 1073}, {"garbage", 1073}, {"FALSE", 1073}, {"false", 1121}};
  for (const auto& c : cases) {
    ScopedEnv env("VELARIX_ARM_MESSAGES", c.value);
    EXPECT_EQ(AgentConfig::default_mtu(), c.mtu);
  }
}

TEST(AgentConfig, UnknownKeysAreReportedWithTheirPathAndLineAndTheFileStillLoads) {
  if (!LogCapture::get().installed()) GTEST_SKIP() << "another logger was installed first";
  const std::string sp = "udp://127.0.0.1:22527?publicKey=" + kSpKey + "&networkId=1";
  struct Case {
    std::string name;
    std::string text;
    std::vector<std::string> warnings;
  } cases[] = {
      {"only known keys", "mtu = 1200\nsuper_peers = [\"" + sp + "\"]\n" + kIdentity +
                              "[[network]]\nconfig_url = \"https://a.example\"\n[dns]\ndisabled = true\n"
                              "[controller]\nurl = \"https://c.example\"\n",
       {}},
      // The line `super_peer` prints, appended to the end of a fresh file.
      {"super_peers appended after [identity]", kIdentity + "super_peers = [\"" + sp + "\"]\n",
       {"unknown key identity.super_peers at line 4"}},
      {"misspelt top-level key", "mtuu = 1200\n" + kIdentity, {"unknown key mtuu at line 1"}},
      {"second network entry",
       kIdentity + "[[network]]\nconfig_url = \"https://a.example\"\n\n"
                   "[[network]]\nconfig_url = \"https://b.example\"\nnmae = \"b\"\n",
       {"unknown key network[1].nmae at line 9"}},
      {"dns and controller",
       kIdentity + "[dns]\ndisable = true\n[controller]\nurl = \"https://c.example\"\nsecret = \"x\"\n",
       {"unknown key dns.disable at line 5", "unknown key controller.secret at line 8"}},
      {"unknown table, reported once", kIdentity + "[identty]\nsk = \"x\"\npow = 1\n",
       {"unknown key identty at line 4"}},
      {"inline table and dotted keys",
       "dns = { disabled = true, extra = 1 }\nidentity.colour = \"red\"\n"
       "identity.sk = \"" + kSk + "\"\nidentity.pow = 7\n",
       {"unknown key dns.extra at line 1", "unknown key identity.colour at line 2"}},
      {"key that needs quotes", kIdentity + "\"a.b\\n\" = 1\n\"pow \" = 2\n",
       {"unknown key identity.\"a.b\\n\" at line 4", "unknown key identity.\"pow \" at line 5"}},
      {"key of a mistyped table is not looked into",
       "network = [1, { config_url = \"https://a.example\", x = 1 }]\n" + kIdentity,
       {"unknown key network[1].x at line 1"}},
  };
  TempDir dir;
  const auto path = dir.file("agent.toml");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(path, c.text);
    LogCapture::get().clear();
    auto cfg = AgentConfig::load(path);
    EXPECT_EQ(unknown_key_lines(), c.warnings);
    if (c.name.starts_with("key of a mistyped")) {
      ASSERT_FALSE(cfg);  // the entry `1` fails the read; the keys are still reported
      continue;
    }
    ASSERT_TRUE(cfg) << cfg.error().message();
    EXPECT_EQ(cfg->identity.sk().to_string(), kSk);
    // The running agent's re-reads keep quiet.
    LogCapture::get().clear();
    ASSERT_TRUE(AgentConfig::load(path, UnknownKeys::Ignore));
    EXPECT_TRUE(unknown_key_lines().empty());
  }

  // A misplaced super_peers line is not taken for the top-level key.
  write_text(path, kIdentity + "super_peers = [\"" + sp + "\"]\n");
  EXPECT_FALSE(AgentConfig::load(path)->super_peers);

  // A file of thousands of unknown keys writes a bounded number of lines.
  std::string many = kIdentity;
  for (int i = 0; i < 40; ++i) many += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  write_text(path, many);
  LogCapture::get().clear();
  ASSERT_TRUE(AgentConfig::load(path));
  const auto lines = unknown_key_lines();
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines.front(), "unknown key identity.k0 at line 4");
  EXPECT_EQ(lines[31], "unknown key identity.k31 at line 35");
  EXPECT_EQ(lines.back(), "8 more unknown keys in the configuration file");

  // A long key name is cut.
  write_text(path, kIdentity + std::string(200, 'x') + " = 1\n");
  LogCapture::get().clear();
  ASSERT_TRUE(AgentConfig::load(path));
  EXPECT_EQ(unknown_key_lines(),
            std::vector<std::string>{"unknown key identity." + std::string(64, 'x') + "... at line 4"});
}

namespace {

// Runs `f` on a thread of its own that file permissions bind as they bind any
// user: as root, the thread gives up the capabilities that pass them by. The
// threads it starts (a runtime's workers) inherit that.
void without_file_privileges(const std::function<void()>& f) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) == 0) {
      for (unsigned cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[cap / 32].effective &= ~(1u << (cap % 32));
      EXPECT_EQ(::syscall(SYS_capset, &header, data), 0) << std::strerror(errno);
    }
    f();
  }).join();
}

}  // namespace

// In a directory that may be searched and written but not read, the file is
// read, edited and saved as anywhere else, by the host's editors and first
// launch and by a running agent; where the lock cannot be had, the editor
// says why in the log.
TEST(ConfigFileLock, WorksInADirectoryThatCannotBeRead) {
  ScopedEnv difficulty("VELARIX_MIN_POW_DIFFICULTY", "4");
  TempDir dir;
  const auto sub = dir.path() / "private";
  std::filesystem::create_directory(sub);
  const std::string path = (sub / "agent.toml").string();
  const std::string fresh = (sub / "fresh.toml").string();
  write_text(path, kIdentity);
  ASSERT_EQ(::chmod(sub.c_str(), 0300), 0);
  const auto searchable = dir.path() / "searchable";
  std::filesystem::create_directory(searchable);
  const std::string searchable_path = (searchable / "agent.toml").string();
  write_text(searchable_path, kIdentity + "[[network]]\nconfig_url = \"https://a.example/\"\n");
  ASSERT_EQ(::chmod(searchable.c_str(), 0100), 0);
  LogCapture::get().clear();
  without_file_privileges([&] {
    const int probe = ::open(sub.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_LT(probe, 0) << "the directory can be read after all";
    ASSERT_EQ(errno, EACCES);

    EXPECT_EQ(velarix_agent_config_network_add(path.c_str(), "https://a.example/"), 0);
    EXPECT_EQ(velarix_agent_config_network_disable(path.c_str(), "https://a.example/"), 0);
    AgentConfigPtr* out = nullptr;
    EXPECT_EQ(velarix_agent_config_load_or_generate(fresh.c_str(), &out), 0);
    velarix_agent_config_free(out);

    // A running agent's save puts its own change onto the host's edits.
    auto cfg = AgentConfig::load(path);
    ASSERT_TRUE(cfg) << cfg.error().message();
    State state{.config = *cfg,
                .update_available = {},
                .ui_version = {},
                .last_network_change = {},
                .login = {},
                .time_deviation = {}};
    state.file_networks = file_view(cfg->network);
    const auto b = *Url::parse("https://b.example/");
    state.config.network.emplace(b, net(b.as_str()));
    {
      velarix::p2p::util::Runtime rt(1);
      auto saved = velarix::p2p::util::block_on(rt, state.save_config(path));
      EXPECT_TRUE(saved) << saved.error().message();
    }

    // Searchable only: no lock can be had, and the editor's WARN says so.
    EXPECT_EQ(velarix_agent_config_network_remove(searchable_path.c_str(), "https://a.example/"), -2);
  });
  ASSERT_EQ(::chmod(sub.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(searchable.c_str(), 0700), 0);
  auto file = AgentConfig::load(path);
  ASSERT_TRUE(file) << file.error().message();
  ASSERT_EQ(file->network.size(), 2u);
  EXPECT_TRUE(file->network.at(*Url::parse("https://a.example/")).disabled);
  EXPECT_FALSE(file->network.at(*Url::parse("https://b.example/")).disabled);
  auto generated = AgentConfig::load(fresh);
  ASSERT_TRUE(generated) << generated.error().message();
  EXPECT_EQ(mode_of(fresh), 0600u);
  if (LogCapture::get().installed()) {
    EXPECT_EQ(LogCapture::get().count("warning Failed to remove a network in the configuration file: I/O error: "
                                      "cannot lock " + (searchable / ".agent.toml.lock").string() +
                                      ": Permission denied (os error 13)"),
              1u);
    EXPECT_EQ(LogCapture::get().count("warning Failed to"), 1u);
  }
}
