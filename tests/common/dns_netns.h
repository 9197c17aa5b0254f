#pragma once
// Host-name lookups against a DNS server of the test's own.
//
// - VELARIX_RUN_IN_DNS_NAMESPACE() at the top of a test runs the test's body again in a child
//   process inside a network namespace of its own (loopback up, nothing else), whose resolv.conf
//   names 127.0.0.1 (`ip netns exec` mounts /etc/netns/NAME/resolv.conf over /etc/resolv.conf),
//   and reports the child's outcome. So the system resolver, whatever the code uses, asks the
//   test's server and no query leaves the machine. Without root or `ip` the test is skipped.
// - DnsTestServer answers UDP questions on 127.0.0.1:53 by name: with addresses, never, with
//   NXDOMAIN, or with a CNAME and no address. Names it was not told about get NXDOMAIN. It counts
//   the questions per name; answers may be changed while it runs.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

namespace velarix::test {

namespace dns_netns {

enum class Where { Here, Done, Unavailable };

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Here: this is the child, run the body. Done: the body ran in a child (its outcome is this
// test's). Unavailable: `why` says what is missing.
inline Where enter(std::string& why) {
  if (const char* inside = std::getenv("VELARIX_TEST_DNS_NETNS"); inside && std::string(inside) == "1") {
    return Where::Here;
  }
  if (::geteuid() != 0) {
    why = "needs root for a network namespace with its own resolv.conf";
    return Where::Unavailable;
  }
  if (std::system("ip netns list >/dev/null 2>&1") != 0) {
    why = "needs iproute2's ip netns";
    return Where::Unavailable;
  }
  static std::atomic<int> serial{0};
  const std::string name = "vxdns" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
  const std::string etc = "/etc/netns/" + name;
  const std::string setup = "ip netns add " + name + " && ip -n " + name + " link set lo up && mkdir -p " + etc +
                            " && printf 'nameserver 127.0.0.1\\n' > " + etc + "/resolv.conf";
  const std::string teardown = "ip netns del " + name + " 2>/dev/null; rm -rf " + etc;
  if (std::system(setup.c_str()) != 0) {
    std::system(teardown.c_str());
    why = "could not make a network namespace";
    return Where::Unavailable;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string run = "VELARIX_TEST_DNS_NETNS=1 timeout -s KILL 120 ip netns exec " + name + " " +
                          shell_quote(exe) + " --gtest_filter=" + shell_quote(filter);
  const int status = std::system(run.c_str());
  std::system(teardown.c_str());
  EXPECT_EQ(status, 0) << "the test failed in its network namespace (its output is above)";
  return Where::Done;
}

}  // namespace dns_netns

#define VELARIX_RUN_IN_DNS_NAMESPACE()                                  \
  do {                                                                  \
    std::string velarix_dns_why;                                        \
    switch (::velarix::test::dns_netns::enter(velarix_dns_why)) {       \
      case ::velarix::test::dns_netns::Where::Here:                     \
        break;                                                          \
      case ::velarix::test::dns_netns::Where::Done:                     \
        return;                                                         \
      case ::velarix::test::dns_netns::Where::Unavailable:              \
        GTEST_SKIP() << velarix_dns_why;                                \
    }                                                                   \
  } while (0)

class DnsTestServer {
 public:
  enum class Kind { Addresses, Never, NxDomain, CnameOnly };
  struct Answer {
    Kind kind = Kind::NxDomain;
    std::vector<boost::asio::ip::address> addrs;
  };
  static Answer addresses(const std::vector<std::string>& ips) {
    Answer a{Kind::Addresses, {}};
    for (const auto& ip : ips) a.addrs.push_back(boost::asio::ip::make_address(ip));
    return a;
  }
  static Answer never() { return {Kind::Never, {}}; }
  static Answer nxdomain() { return {Kind::NxDomain, {}}; }
  static Answer cname_only() { return {Kind::CnameOnly, {}}; }

  DnsTestServer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), stop_(::eventfd(0, EFD_CLOEXEC)) {
    const auto ep = boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 53);
    if (fd_ < 0 || stop_ < 0 || ::bind(fd_, ep.data(), static_cast<socklen_t>(ep.size())) != 0) {
      throw std::runtime_error("the test DNS server cannot bind 127.0.0.1:53");
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~DnsTestServer() {
    const std::uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(fd_);
    ::close(stop_);
  }
  DnsTestServer(const DnsTestServer&) = delete;
  DnsTestServer& operator=(const DnsTestServer&) = delete;

  void set(const std::string& name, Answer answer) {
    std::lock_guard lock(mutex_);
    answers_[name] = std::move(answer);
  }
  // Questions received for `name`, of any type.
  std::size_t queries(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = queries_.find(name);
    return it == queries_.end() ? 0 : it->second;
  }
  std::size_t total_queries() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [name, count] : queries_) n += count;
    return n;
  }

 private:
  void serve() {
    std::uint8_t buf[1500];
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      sockaddr_storage from{};
      socklen_t from_len = sizeof from;
      const auto n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 12) continue;
      std::vector<std::uint8_t> reply;
      if (!answer(std::span(buf, static_cast<std::size_t>(n)), reply)) continue;
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }

  // False when the question is to go unanswered.
  bool answer(std::span<const std::uint8_t> q, std::vector<std::uint8_t>& out) {
    std::size_t at = 12;
    std::string name;
    while (at < q.size() && q[at] != 0) {
      const std::size_t len = q[at];
      if (len > 63 || at + 1 + len > q.size()) return false;
      if (!name.empty()) name += '.';
      for (std::size_t i = 0; i < len; ++i) name += static_cast<char>(std::tolower(q[at + 1 + i]));
      at += 1 + len;
    }
    if (at + 5 > q.size()) return false;
    const std::size_t question_end = at + 5;
    const std::uint16_t type = static_cast<std::uint16_t>((q[at + 1] << 8) | q[at + 2]);
    Answer a;
    {
      std::lock_guard lock(mutex_);
      ++queries_[name];
      if (auto it = answers_.find(name); it != answers_.end()) a = it->second;
    }
    if (a.kind == Kind::Never) return false;

    std::vector<std::vector<std::uint8_t>> records;
    auto record = [](std::uint16_t rtype, const std::vector<std::uint8_t>& rdata) {
      // The question's name (a pointer to it), the type, class IN, TTL 60, the data.
      std::vector<std::uint8_t> r = {0xC0,
                                     0x0C,
                                     static_cast<std::uint8_t>(rtype >> 8),
                                     static_cast<std::uint8_t>(rtype),
                                     0x00, 0x01, 0x00, 0x00, 0x00, 0x3C,
                                     static_cast<std::uint8_t>(rdata.size() >> 8),
                                     static_cast<std::uint8_t>(rdata.size())};
      r.insert(r.end(), rdata.begin(), rdata.end());
      return r;
    };
    if (a.kind == Kind::CnameOnly) {
      records.push_back(record(5, {7, 'n', 'o', 'w', 'h', 'e', 'r', 'e', 7, 'i', 'n', 'v', 'a', 'l', 'i', 'd', 0}));
    } else if (a.kind == Kind::Addresses) {
      for (const auto& ip : a.addrs) {
        if (type == 1 && ip.is_v4()) {
          const auto b = ip.to_v4().to_bytes();
          records.push_back(record(1, {b.begin(), b.end()}));
        } else if (type == 28 && ip.is_v6()) {
          const auto b = ip.to_v6().to_bytes();
          records.push_back(record(28, {b.begin(), b.end()}));
        }
      }
    }
    const std::uint8_t rcode = a.kind == Kind::NxDomain ? 3 : 0;
    out.assign({q[0], q[1], static_cast<std::uint8_t>(0x80 | (q[2] & 0x01)), static_cast<std::uint8_t>(0x80 | rcode),
                0, 1, 0, static_cast<std::uint8_t>(records.size()), 0, 0, 0, 0});
    out.insert(out.end(), q.begin() + 12, q.begin() + static_cast<std::ptrdiff_t>(question_end));
    for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
    return true;
  }

  int fd_;
  int stop_;
  mutable std::mutex mutex_;
  std::map<std::string, Answer> answers_;      // guarded by mutex_
  std::map<std::string, std::size_t> queries_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace velarix::test
