#include "agent/config.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <fmt/format.h>
#include <sodium.h>
#include <toml++/toml.h>

#include "agent/config_lock.h"
#include "agent/config_secrets.h"
#include "agent/env_settings.h"
#include "network/config/toml_guard.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/utf8.h"

namespace velarix::agent {
namespace {

// ---------------------------------------------------------------------------
// Reading

// A reader failure: what went wrong, and where in the text.
struct ReadFault {
  std::string message;
  toml::source_position at{1, 1};
};

using Fault = std::unexpected<ReadFault>;

// The index of the key at `path` in kConfigKeys, or the table's size.
constexpr std::size_t key_index(std::string_view path) {
  std::size_t i = 0;
  while (i < kConfigKeys.size() && kConfigKeys[i].path != path) ++i;
  return i;
}

// The name of the key at `path` in kConfigKeys (its last part); a path that is
// not in the table does not compile, so the reader reads no key the table and
// the unknown-key check do not know.
consteval std::string_view key(std::string_view path) {
  if (key_index(path) == kConfigKeys.size()) throw "not a key of kConfigKeys";
  return path.substr(path.rfind('.') + 1);
}

// The entry of kConfigKeys at `path`, or null.
const ConfigKey* known_key(std::string_view path) {
  const std::size_t i = key_index(path);
  return i < kConfigKeys.size() ? &kConfigKeys[i] : nullptr;
}

// The value as the reader's errors name it; a secret's value shows as "****".
std::string describe(const toml::node& n, bool secret = false) {
  const auto value = [secret](std::string text) { return secret ? std::string("****") : text; };
  switch (n.type()) {
    case toml::node_type::string:
      return "string \"" + value(std::string(n.as_string()->get())) + "\"";
    case toml::node_type::integer:
      return "integer `" + value(std::to_string(n.as_integer()->get())) + "`";
    case toml::node_type::floating_point:
      return "floating point `" + value(std::to_string(n.as_floating_point()->get())) + "`";
    case toml::node_type::boolean:
      return "boolean `" + value(n.as_boolean()->get() ? "true" : "false") + "`";
    case toml::node_type::table:
      return "map";
    case toml::node_type::array:
      return "sequence";
    default:
      return "datetime";
  }
}

toml::source_position pos(const toml::node& n) {
  auto p = n.source().begin;
  return p ? p : toml::source_position{1, 1};
}

Fault invalid_type(const toml::node& n, std::string_view path, std::string_view expected) {
  return Fault(ReadFault{"invalid type: " + describe(n, is_secret_key_path(path)) + ", expected " +
                             std::string(expected) + " for key `" + std::string(path) + "`",
                         pos(n)});
}

Fault missing(const toml::node& parent, std::string_view path, std::string_view field) {
  std::string where = path.empty() ? "" : " in `" + std::string(path) + "`";
  return Fault(ReadFault{"missing field `" + std::string(field) + "`" + where, pos(parent)});
}

std::string join(std::string_view path, std::string_view key) {
  return path.empty() ? std::string(key) : std::string(path) + "." + std::string(key);
}

std::expected<const toml::table*, ReadFault> table_at(const toml::node& n, std::string_view path,
                                                      std::string_view shape) {
  if (auto* t = n.as_table()) return t;
  return invalid_type(n, path, shape);
}

std::expected<std::optional<std::string>, ReadFault> opt_string(const toml::table& t, std::string_view key,
                                                                std::string_view path) {
  const toml::node* n = t.get(key);
  if (n == nullptr) return std::optional<std::string>{};
  if (auto* s = n->as_string()) return std::optional<std::string>(s->get());
  return invalid_type(*n, join(path, key), "a string");
}

std::expected<std::optional<bool>, ReadFault> opt_bool(const toml::table& t, std::string_view key,
                                                      std::string_view path) {
  const toml::node* n = t.get(key);
  if (n == nullptr) return std::optional<bool>{};
  if (auto* b = n->as_boolean()) return std::optional<bool>(b->get());
  return invalid_type(*n, join(path, key), "a boolean");
}

std::expected<std::int64_t, ReadFault> integer_in(const toml::node& n, std::string_view path, std::int64_t lo,
                                                  std::int64_t hi, std::string_view type) {
  auto* i = n.as_integer();
  if (i == nullptr) return invalid_type(n, path, type);
  const std::int64_t v = i->get();
  if (v < lo || v > hi) {
    return Fault(ReadFault{"invalid value: integer `" + std::to_string(v) + "`, expected " + std::string(type) +
                               " for key `" + std::string(path) + "`",
                           pos(n)});
  }
  return v;
}

std::expected<p2p::Identity, ReadFault> read_identity(const toml::table& root) {
  const toml::node* n = root.get(key("identity"));
  if (n == nullptr) return missing(root, "", "identity");
  auto t = table_at(*n, "identity", "struct Identity");
  if (!t) return std::unexpected(t.error());
  const toml::node* sk_node = (*t)->get(key("identity.sk"));
  if (sk_node == nullptr) return missing(**t, "identity", "sk");
  auto* sk_text = sk_node->as_string();
  if (sk_text == nullptr) return invalid_type(*sk_node, "identity.sk", "a string");
  auto sk = p2p::SecKey::from_text(sk_text->get());
  if (!sk) return Fault(ReadFault{sk.error().message() + " for key `identity.sk`", pos(*sk_node)});
  const toml::node* pow_node = (*t)->get(key("identity.pow"));
  if (pow_node == nullptr) return missing(**t, "identity", "pow");
  auto pow = integer_in(*pow_node, "identity.pow", std::numeric_limits<std::int32_t>::min(),
                        std::numeric_limits<std::int32_t>::max(), "i32");
  if (!pow) return std::unexpected(pow.error());
  return p2p::Identity(*sk, p2p::Pow::from_i32(static_cast<std::int32_t>(*pow)));
}

std::expected<NetworkMap, ReadFault> deserialize_networks(const toml::node& n) {
  auto* arr = n.as_array();
  if (arr == nullptr) return invalid_type(n, "network", "a sequence");
  NetworkMap map;
  std::size_t index = 0;
  for (const toml::node& item : *arr) {
    const std::string path = "network[" + std::to_string(index++) + "]";
    auto t = table_at(item, path, "struct Network");
    if (!t) return std::unexpected(t.error());
    Network net;
    const toml::node* url_node = (*t)->get(key("network.config_url"));
    if (url_node == nullptr) return missing(item, path, "config_url");
    auto* url_text = url_node->as_string();
    if (url_text == nullptr) return invalid_type(*url_node, path + ".config_url", "a string");
    net.config_url = std::string(url_text->get());
    auto disabled = opt_bool(**t, key("network.disabled"), path);
    if (!disabled) return std::unexpected(disabled.error());
    net.disabled = disabled->value_or(false);
    auto name = opt_string(**t, key("network.name"), path);
    if (!name) return std::unexpected(name.error());
    net.name = std::move(*name);

    auto url = Url::parse(net.config_url);
    if (!url) return Fault(ReadFault{url.error(), pos(*url_node)});
    const std::string url_str = url->as_str();
    if (!map.try_emplace(std::move(*url), std::move(net)).second) {
      return Fault(ReadFault{"duplicate network URL: " + url_str, pos(*url_node)});
    }
  }
  return map;
}

std::expected<AgentConfig, ReadFault> read_config(const toml::table& root) {
  auto identity = read_identity(root);
  if (!identity) return std::unexpected(identity.error());
  AgentConfig cfg(std::move(*identity));

  if (const toml::node* n = root.get(key("network"))) {
    auto map = deserialize_networks(*n);
    if (!map) return std::unexpected(map.error());
    cfg.network = std::move(*map);
  }
  if (const toml::node* n = root.get(key("mtu"))) {
    auto v = integer_in(*n, "mtu", 0, 65535, "u16");
    if (!v) return std::unexpected(v.error());
    cfg.mtu = static_cast<std::uint16_t>(*v);
  }
  if (const toml::node* n = root.get(key("super_peers"))) {
    auto* arr = n->as_array();
    if (arr == nullptr) return invalid_type(*n, "super_peers", "a sequence");
    std::vector<p2p::SuperPeerUrl> list;
    std::size_t index = 0;
    for (const toml::node& item : *arr) {
      const std::string path = "super_peers[" + std::to_string(index++) + "]";
      auto* s = item.as_string();
      if (s == nullptr) return invalid_type(item, path, "a string");
      auto sp = p2p::SuperPeerUrl::parse(s->get());
      if (!sp) return Fault(ReadFault{sp.error().message(), pos(item)});
      list.push_back(std::move(*sp));
    }
    cfg.super_peers = std::move(list);
  }
  auto update_check = opt_bool(root, key("update_check"), "");
  if (!update_check) return std::unexpected(update_check.error());
  cfg.update_check = *update_check;
  auto auto_connect = opt_bool(root, key("auto_connect"), "");
  if (!auto_connect) return std::unexpected(auto_connect.error());
  cfg.auto_connect = *auto_connect;

  if (const toml::node* n = root.get(key("dns"))) {
    auto t = table_at(*n, "dns", "struct DnsConfig");
    if (!t) return std::unexpected(t.error());
    auto disabled = opt_bool(**t, key("dns.disabled"), "dns");
    if (!disabled) return std::unexpected(disabled.error());
    cfg.dns = DnsConfig{*disabled};
  }
  if (const toml::node* n = root.get(key("controller"))) {
    auto t = table_at(*n, "controller", "struct ControllerConfig");
    if (!t) return std::unexpected(t.error());
    ControllerConfig c;
    for (auto [name, field] : {std::pair{key("controller.url"), &c.url},
                               std::pair{key("controller.auth_url"), &c.auth_url},
                               std::pair{key("controller.display_login_email"), &c.display_login_email},
                               std::pair{key("controller.shared_secret"), &c.shared_secret}}) {
      auto v = opt_string(**t, name, "controller");
      if (!v) return std::unexpected(v.error());
      *field = std::move(*v);
    }
    cfg.controller = std::move(c);
  }
  return cfg;
}

// The reader's text: where it happened, the offending line, then what.
std::string render(std::string_view text, const ReadFault& f) {
  const auto line_no = static_cast<std::size_t>(f.at.line);
  std::size_t start = 0;
  for (std::size_t l = 1; l < line_no && start != std::string_view::npos; ++l) {
    start = text.find('\n', start);
    if (start != std::string_view::npos) ++start;
  }
  std::string_view line;
  if (start != std::string_view::npos && start <= text.size()) {
    line = text.substr(start);
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  std::size_t caret_at = f.at.column > 0 ? f.at.column - 1 : 0;
  // The line may hold the secret key or the shared secret, damaged or not.
  const std::string masked_line =
      line.empty() ? std::string() : mask_secret_values(text, start, start + line.size(), caret_at);
  line = masked_line;
  // A long line (a damaged file can be one line of megabytes) is shown as a
  // window around the column, cut at character boundaries.
  constexpr std::size_t kWindow = 160;
  std::string shown(line);
  if (line.size() > kWindow) {
    auto continuation = [&line](std::size_t i) {
      return i < line.size() && (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80;
    };
    std::size_t from = std::min(line.size(), caret_at > kWindow / 2 ? caret_at - kWindow / 2 : 0);
    while (continuation(from)) ++from;
    std::size_t to = std::min(line.size(), from + kWindow);
    while (continuation(to)) ++to;
    shown = std::string(from > 0 ? "..." : "") + std::string(line.substr(from, to - from)) +
            (to < line.size() ? "..." : "");
    caret_at = std::min(caret_at - std::min(caret_at, from) + (from > 0 ? 3 : 0), shown.size());
  }
  const std::string num = std::to_string(line_no);
  const std::string pad(num.size(), ' ');
  return "TOML parse error at line " + num + ", column " + std::to_string(f.at.column) + "\n" + pad + " |\n" + num +
         " | " + shown + "\n" + pad + " | " + std::string(caret_at, ' ') + "^\n" + f.message + "\n";
}

// ---------------------------------------------------------------------------
// Writing

// A TOML basic string; text that is not UTF-8 cannot be written.
std::expected<std::string, std::string> quote(std::string_view s) {
  if (!util::utf8::is_valid(s)) return std::unexpected(std::string("string is not valid UTF-8"));
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

// ---------------------------------------------------------------------------
// Keys the reader does not know

struct UnknownKey {
  std::string path;  // dotted; an entry of `network` with its index
  std::size_t line;
};

// A file holds no more warnings than this; the rest are counted in one line.
constexpr std::size_t kMaxUnknownKeyLines = 32;
// A key's name is shown up to this many bytes.
constexpr std::size_t kMaxShownKeyBytes = 64;

bool is_bare_key(std::string_view k) {
  return !k.empty() && std::all_of(k.begin(), k.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

// A key's name as it would be written (quoted unless bare, so that no control
// character reaches a log line), shortened when long.
std::string shown_key(std::string_view k) {
  std::string_view cut = k.substr(0, kMaxShownKeyBytes);
  while (cut.size() < k.size() && !cut.empty() && (static_cast<unsigned char>(k[cut.size()]) & 0xC0) == 0x80) {
    cut.remove_suffix(1);
  }
  std::string out = is_bare_key(cut) ? std::string(cut) : quote(cut).value_or("\"\"");
  if (cut.size() < k.size()) out += "...";
  return out;
}

// Every key of `t` (the table at `path` of kConfigKeys, shown as `shown`) that
// the table does not know, without looking into it.
void find_unknown_keys(const toml::table& t, const std::string& path, const std::string& shown,
                       std::vector<UnknownKey>& out) {
  for (const auto& [k, v] : t) {
    const std::string at = join(path, k.str());
    const std::string as = join(shown, shown_key(k.str()));
    const ConfigKey* entry = is_bare_key(k.str()) ? known_key(at) : nullptr;
    if (entry == nullptr) {
      out.push_back(UnknownKey{as, k.source().begin.line});
    } else if (entry->shape == ConfigKey::Shape::Table && v.is_table()) {
      find_unknown_keys(*v.as_table(), at, as, out);
    } else if (entry->shape == ConfigKey::Shape::TableArray && v.is_array()) {
      std::size_t index = 0;
      for (const toml::node& item : *v.as_array()) {
        if (auto* sub = item.as_table()) find_unknown_keys(*sub, at, as + "[" + std::to_string(index) + "]", out);
        ++index;
      }
    }
  }
}

void warn_unknown_keys(const toml::table& root) {
  std::vector<UnknownKey> unknown;
  find_unknown_keys(root, "", "", unknown);
  std::stable_sort(unknown.begin(), unknown.end(),
                   [](const UnknownKey& a, const UnknownKey& b) { return a.line < b.line; });
  for (std::size_t i = 0; i < unknown.size() && i < kMaxUnknownKeyLines; ++i) {
    log::warn("unknown key {} at line {}", unknown[i].path, unknown[i].line);
  }
  if (unknown.size() > kMaxUnknownKeyLines) {
    log::warn("{} more unknown keys in the configuration file", unknown.size() - kMaxUnknownKeyLines);
  }
}

// ---------------------------------------------------------------------------
// Documents

// The text as a TOML table; a fault is the reader's text.
std::expected<toml::table, std::string> parse_document(std::string_view text) {
  if (auto fault = network::toml_guard::check(text)) {
    const toml::source_position at{static_cast<toml::source_index>(fault->line),
                                   static_cast<toml::source_index>(fault->column)};
    return std::unexpected(render(text, ReadFault{std::move(fault->message), at}));
  }
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& e) {
    return std::unexpected(render(text, ReadFault{std::string(e.description()), e.source().begin}));
  }
}

std::expected<AgentConfig, std::string> read_document(std::string_view text, const toml::table& root) {
  auto cfg = read_config(root);
  if (!cfg) return std::unexpected(render(text, cfg.error()));
  return std::move(*cfg);
}

// ---------------------------------------------------------------------------
// Files

Error io_error(int err, std::string_view what = {}) {
  std::string inner = std::strerror(err);
  inner += " (os error " + std::to_string(err) + ")";
  if (!what.empty()) inner = std::string(what) + ": " + inner;
  return Error{ErrorKind::Io, std::move(inner)};
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Replaces the file at `path` with `text` in one step: a temporary file in the
// same directory gets the text, the old file's mode and owner (0600 for a new
// file), is flushed, then renamed over. Readers and other savers see either
// the old or the new file, never a part of one.
// The file a save writes: `path` with every symbolic link followed to its
// final target, which need not exist yet (a dangling link names the file to
// create). A loop, or a chain longer than the system follows, is ELOOP.
std::expected<std::filesystem::path, int> final_target(const std::string& path) {
  namespace fs = std::filesystem;
  constexpr int kMaxLinks = 40;  // what the kernel follows in one lookup
  fs::path target(path);
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno == ENOENT) return target;
      return std::unexpected(errno);
    }
    if (!S_ISLNK(st.st_mode)) return target;
    if (hops == kMaxLinks) return std::unexpected(ELOOP);
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(n) >= link.size()) return std::unexpected(ENAMETOOLONG);  // changed under us
    link.resize(static_cast<std::size_t>(n));
    const fs::path next(link);
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
}

// Temporaries of a save are named "." + the file's name + ".tmp-" and 16
// lower-case hexadecimal digits drawn at random: a form no one gives a file of
// their own by chance (".agent.toml.tmp-backup" is not one).
constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixLength = 16;

std::filesystem::path directory_of(const std::filesystem::path& target) {
  auto dir = target.parent_path();
  return dir.empty() ? std::filesystem::path(".") : dir;
}

bool is_temporary_of(std::string_view name, std::string_view file_name) {
  if (name.size() != 1 + file_name.size() + kTemporaryInfix.size() + kTemporarySuffixLength) return false;
  if (name[0] != '.' || name.substr(1, file_name.size()) != file_name ||
      name.substr(1 + file_name.size(), kTemporaryInfix.size()) != kTemporaryInfix) {
    return false;
  }
  const auto suffix = name.substr(name.size() - kTemporarySuffixLength);
  return std::all_of(suffix.begin(), suffix.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A save killed while it wrote leaves its temporary behind, and with it the
// secret key. A save holds an exclusive lock on its temporary from before it
// writes until after the rename (and makes a new one should a cleaner have
// taken it before the lock), so a temporary nobody holds locked belongs to a
// save that is gone, in this process or another. Only regular files named as
// this file's temporaries are touched; failures leave things as they are.
void remove_stale_temporaries(const std::filesystem::path& target) {
  const std::string file_name = target.filename().string();
  DIR* dir = ::opendir(directory_of(target).c_str());
  if (dir == nullptr) return;
  const int dir_fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (!is_temporary_of(entry->d_name, file_name)) continue;
    const int fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {}, named {};
    // Still the file under that name once locked: a save renames its own away before it lets go.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino && ::unlinkat(dir_fd, entry->d_name, 0) == 0) {
      log::debug("Removed a stale temporary of the configuration file: {}", entry->d_name);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

// A new temporary beside `target`, locked. -1 with errno on failure.
int create_locked_temporary(const std::filesystem::path& target, std::string& name) {
  const std::string prefix =
      (directory_of(target) / ("." + target.filename().string() + std::string(kTemporaryInfix))).string();
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::array<std::uint8_t, kTemporarySuffixLength / 2> random{};
    randombytes_buf(random.data(), random.size());
    name = prefix + p2p::util::hex::bytes_to_hex(random);
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    struct stat st {};
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(name.c_str());
      errno = err;
      return -1;
    }
    if (st.st_nlink > 0) return fd;
    ::close(fd);  // a cleaner took it between creation and lock
  }
  errno = EAGAIN;
  return -1;
}

std::expected<void, Error> replace_file(const std::string& path, std::string_view text) {
  namespace fs = std::filesystem;
  // Write through symbolic links rather than replacing the link itself.
  auto resolved = final_target(path);
  if (!resolved) return std::unexpected(io_error(resolved.error()));
  const fs::path target = std::move(*resolved);
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) return std::unexpected(io_error(EISDIR));
  remove_stale_temporaries(target);

  std::string tmpl;
  const int fd = create_locked_temporary(target, tmpl);
  if (fd < 0) return std::unexpected(io_error(errno));
  // Holds the lock past the close below, until the rename is done.
  const int lock_fd = ::dup(fd);
  if (lock_fd < 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(tmpl.c_str());
    return std::unexpected(io_error(err));
  }
  struct LockRelease {
    int fd;
    ~LockRelease() { ::close(fd); }
  } lock_release{lock_fd};
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    return std::unexpected(io_error(err));
  };
  const mode_t mode = exists ? (old.st_mode & 07777) : 0600;
  if (::fchmod(fd, mode) != 0) return fail(errno);
  if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
    // Only a privileged process may give the file away; otherwise the saver owns the new file.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) return fail(errno);
  }
  if (!write_all(fd, text)) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    return std::unexpected(io_error(err));
  }
  if (::rename(tmpl.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    return std::unexpected(io_error(err));
  }
  return {};
}

// The descriptor that holds the lock of the configuration file at `path`
// (see ConfigFileLock), or -1 when `wait` is false and another writer holds it.
std::expected<int, Error> lock_config_file(const std::string& path, bool wait) {
  auto target = final_target(path);
  if (!target) return std::unexpected(io_error(target.error()));
  const std::filesystem::path dir = directory_of(*target);
  const std::string lock_file = (dir / ("." + target->filename().string() + ".lock")).string();
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool on_dir = fd >= 0;
    if (fd < 0 && errno != EACCES) return std::unexpected(io_error(errno, "cannot lock the directory " + dir.string()));
    if (fd < 0) {
      // Searchable and writable, not readable: the lock file beside the file stands in.
      fd = ::open(lock_file.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
      if (fd < 0) return std::unexpected(io_error(errno, "cannot lock " + lock_file));
      struct stat st {};
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::unexpected(io_error(EINVAL, "cannot lock " + lock_file + ", not a regular file"));
      }
    }
    int locked;
    do {
      locked = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return -1;
      return std::unexpected(io_error(err, "cannot lock " + (on_dir ? "the directory " + dir.string() : lock_file)));
    }
    if (on_dir) return fd;
    // A lock file removed or replaced meanwhile is one nobody else locks: take the one there now.
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::lstat(lock_file.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return fd;
    }
    ::close(fd);
    if (attempt == 8) return std::unexpected(io_error(EAGAIN, "cannot lock " + lock_file));
  }
}

}  // namespace

std::expected<ConfigFileLock, Error> ConfigFileLock::acquire(const std::string& path) {
  auto fd = lock_config_file(path, true);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return ConfigFileLock(*fd);
}

std::expected<std::optional<ConfigFileLock>, Error> ConfigFileLock::try_acquire(const std::string& path) {
  auto fd = lock_config_file(path, false);
  if (!fd) return std::unexpected(std::move(fd.error()));
  if (*fd < 0) return std::optional<ConfigFileLock>{};
  return std::optional<ConfigFileLock>(ConfigFileLock(*fd));
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

std::string ControllerConnectionStatus::to_string() const {
  switch (kind) {
    case Kind::Initializing: return "Initializing";
    case Kind::LoggedOut: return "LoggedOut";
    case Kind::Ok: return "Ok";
    case Kind::Err: return "Err: " + message;
  }
  return {};
}

std::string ControllerConfig::url_or_default() const { return url ? *url : std::string(kDefaultControllerUrl); }

std::string ControllerConfig::auth_url_or_default() const {
  return auth_url ? *auth_url : std::string(kDefaultAuthUrl);
}

std::expected<AgentConfig, std::string> AgentConfig::from_toml(std::string_view text) {
  auto root = parse_document(text);
  if (!root) return std::unexpected(std::move(root.error()));
  return read_document(text, *root);
}

std::expected<std::string, std::string> AgentConfig::to_toml() const {
  std::string out;
  auto line_bool = [&](std::string_view key, bool v) { out += std::string(key) + " = " + (v ? "true" : "false") + "\n"; };

  if (mtu) out += "mtu = " + std::to_string(*mtu) + "\n";
  if (super_peers) {
    if (super_peers->empty()) {
      out += "super_peers = []\n";
    } else {
      out += "super_peers = [\n";
      for (const auto& sp : *super_peers) {
        auto q = quote(sp.to_string());
        if (!q) return std::unexpected(q.error());
        out += "    " + *q + ",\n";
      }
      out += "]\n";
    }
  }
  if (update_check) line_bool("update_check", *update_check);
  if (auto_connect) line_bool("auto_connect", *auto_connect);

  if (!out.empty()) out += "\n";
  out += "[identity]\n";
  out += "sk = \"" + identity.sk().to_string() + "\"\n";
  out += "pow = " + std::to_string(identity.pow().to_i32()) + "\n";

  std::vector<const Network*> nets;
  nets.reserve(network.size());
  for (const auto& [url, net] : network) nets.push_back(&net);
  std::stable_sort(nets.begin(), nets.end(),
                   [](const Network* a, const Network* b) { return a->config_url < b->config_url; });
  for (const Network* net : nets) {
    auto url = quote(net->config_url);
    if (!url) return std::unexpected(url.error());
    out += "\n[[network]]\nconfig_url = " + *url + "\n";
    line_bool("disabled", net->disabled);
    if (net->name) {
      auto name = quote(*net->name);
      if (!name) return std::unexpected(name.error());
      out += "name = " + *name + "\n";
    }
  }
  if (dns) {
    out += "\n[dns]\n";
    if (dns->disabled) line_bool("disabled", *dns->disabled);
  }
  if (controller) {
    out += "\n[controller]\n";
    for (auto [key, field] : {std::pair{"url", &controller->url}, std::pair{"auth_url", &controller->auth_url},
                              std::pair{"display_login_email", &controller->display_login_email},
                              std::pair{"shared_secret", &controller->shared_secret}}) {
      if (!*field) continue;
      auto q = quote(**field);
      if (!q) return std::unexpected(q.error());
      out += std::string(key) + " = " + *q + "\n";
    }
  }
  return out;
}

std::expected<AgentConfig, Error> AgentConfig::load(const std::string& path, UnknownKeys unknown) {
  log::trace("Loading agent config from {}", path);
  if (auto target = final_target(path)) remove_stale_temporaries(*target);
  auto text = read_text_file(path, kMaxConfigFileSize);
  if (!text) return std::unexpected(std::move(text.error()));
  log::trace("Successfully read config file");
  auto root = parse_document(*text);
  if (!root) return std::unexpected(Error{ErrorKind::TomlDe, std::move(root.error())});
  // Misplaced or misspelt keys would be ignored without a word; files of other versions still load.
  if (unknown == UnknownKeys::Warn) warn_unknown_keys(*root);
  auto cfg = read_document(*text, *root);
  if (!cfg) return std::unexpected(Error{ErrorKind::TomlDe, std::move(cfg.error())});
  log::trace("Successfully parsed config file");
  return std::move(*cfg);
}

std::expected<void, Error> AgentConfig::save(const std::string& path) const {
  log::trace("Saving agent config to {}", path);
  auto text = to_toml();
  if (!text) return std::unexpected(Error{ErrorKind::TomlSer, std::move(text.error())});
  log::trace("Successfully serialized config");
  auto written = replace_file(path, *text);
  if (!written) return written;
  log::trace("Successfully wrote config file");
  return {};
}

std::expected<AgentConfig, Error> AgentConfig::load_or_generate(const std::string& path) {
  log::trace("Loading or generating agent config from {}", path);
  const auto difficulty = env::kMinPowDifficulty.read();
  log::trace("Using min PoW difficulty: {}", difficulty);
  // Only a file that is not there gets a new identity; one that cannot be
  // reached (a link loop, no permission) is reported, never replaced.
  const auto existing = [&]() -> std::optional<std::expected<AgentConfig, Error>> {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      auto cfg = load(path);
      if (cfg) log::trace("Config loaded successfully");
      return cfg;
    }
    if (errno != ENOENT) return std::unexpected(io_error(errno));
    return std::nullopt;
  };
  if (auto cfg = existing()) return std::move(*cfg);
  // Two first launches at once (a host app and its tunnel extension) must end
  // with one identity: it is made under the file's lock, and whoever finds the
  // file written meanwhile takes the identity in it.
  auto lock = ConfigFileLock::acquire(path);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (auto cfg = existing()) return std::move(*cfg);
  log::info("Config file does not exist, generating new one (this might take some time due to the PoW)");
  auto identity = p2p::Identity::generate(difficulty);
  if (!identity) return std::unexpected(Error{ErrorKind::IdentityError, identity.error().message()});
  log::trace("Generated new identity with public key: {}", identity->pk().to_string());
  AgentConfig cfg(std::move(*identity));
  if (auto saved = cfg.save(path); !saved) return std::unexpected(std::move(saved.error()));
  log::trace("Config loaded successfully");
  return cfg;
}

std::uint16_t AgentConfig::default_mtu() {
  return env::kArmMessages.read() ? 1073 : 1121;
}

std::expected<std::string, Error> read_text_file(const std::string& path, std::size_t max_bytes) {
  // Non-blocking: a FIFO or a device with nothing to give fails at once instead of hanging the caller.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(io_error(errno));
  std::string text;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return std::unexpected(io_error(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > max_bytes) {
      ::close(fd);
      return std::unexpected(Error{ErrorKind::Io, fmt::format("file larger than {} bytes", max_bytes)});
    }
  }
  ::close(fd);
  if (!util::utf8::is_valid(text)) return std::unexpected(Error{ErrorKind::Io, "stream did not contain valid UTF-8"});
  return text;
}

}  // namespace velarix::agent
