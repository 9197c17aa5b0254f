#include "util/resolver.h"

#include <arpa/inet.h>
#include <ares.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/runtime.h"

namespace velarix::p2p::util {

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

int library_status() {
  static const int status = ares_library_init(ARES_LIB_INIT_ALL);
  return status;
}

boost::system::error_code from_ares(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
    case ARES_ENONAME:
      return asio::error::host_not_found;
    case ARES_ESERVFAIL:
    case ARES_EREFUSED:
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
      return asio::error::host_not_found_try_again;
    case ARES_EBADNAME:
    case ARES_EBADSTR:
    case ARES_EBADFLAGS:
    case ARES_EBADFAMILY:
    case ARES_EBADHINTS:
      return asio::error::invalid_argument;
    case ARES_ENOMEM:
      return asio::error::no_memory;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
      return asio::error::operation_aborted;
    default:
      return asio::error::no_recovery;
  }
}

std::vector<asio::ip::address> addresses_of(const ares_addrinfo* info) {
  std::vector<asio::ip::address> out;
  for (const ares_addrinfo_node* n = info ? info->nodes : nullptr; n != nullptr; n = n->ai_next) {
    if (n->ai_family == AF_INET && n->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sa;
      std::memcpy(&sa, n->ai_addr, sizeof sa);
      out.emplace_back(asio::ip::address_v4(ntohl(sa.sin_addr.s_addr)));
    } else if (n->ai_family == AF_INET6 && n->ai_addrlen >= sizeof(sockaddr_in6)) {
      sockaddr_in6 sa;
      std::memcpy(&sa, n->ai_addr, sizeof sa);
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), &sa.sin6_addr, bytes.size());
      out.emplace_back(asio::ip::address_v6(bytes, sa.sin6_scope_id));
    }
  }
  return out;
}

// One lookup: a c-ares channel whose sockets and retransmission timer are driven by the
// reactor. Every member is used on the lookup's strand only.
class Lookup : public std::enable_shared_from_this<Lookup> {
 public:
  explicit Lookup(const asio::any_io_executor& strand) : strand_(strand), retransmit_(strand), done_(strand) {}
  ~Lookup() { close(); }
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  boost::system::error_code start(const std::string& host) {
    if (const int status = library_status(); status != ARES_SUCCESS) return from_ares(status);
    ares_options options{};
    options.sock_state_cb = &Lookup::socket_state;
    options.sock_state_cb_data = this;
    if (const int status = ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB); status != ARES_SUCCESS) {
      channel_ = nullptr;
      return from_ares(status);
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &Lookup::answered, this);
    if (!answered_) arm_retransmit();
    return {};
  }

  asio::awaitable<ResolveResult> result(Clock::time_point deadline) {
    boost::system::error_code failed;
    if (!answered_) {
      failed = asio::error::operation_aborted;  // the caller went away first
      if ((co_await asio::this_coro::cancellation_state).cancelled() == asio::cancellation_type::none) {
        done_.expires_at(deadline);
        const auto [ec] = co_await done_.async_wait(asio::as_tuple(asio::use_awaitable));
        if (!ec) {
          failed = asio::error::timed_out;  // the time ran out, whatever came in meanwhile
        } else if (answered_) {
          failed = {};
        }
      }
    }
    close();
    if (failed) co_return std::unexpected(failed);
    co_return std::move(result_);
  }

 private:
  struct Socket {
    Socket(const asio::any_io_executor& ex, ares_socket_t s) : fd(s), descriptor(ex) {}
    ares_socket_t fd;
    asio::posix::stream_descriptor descriptor;
    bool open = true;
    bool failed = false;                    // the reactor refused it: left to the deadline
    bool read = false, write = false;       // what c-ares waits for
    bool reading = false, writing = false;  // a wait is pending
  };

  // c-ares opened, closed or changed what it waits for on one of its sockets.
  static void socket_state(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<Lookup*>(data);
    if (self->closing_) return;
    auto it = std::find_if(self->sockets_.begin(), self->sockets_.end(), [&](const auto& s) { return s->fd == fd; });
    if (!readable && !writable) {
      // It is about to close the descriptor: the reactor lets go of it first.
      if (it != self->sockets_.end()) {
        (*it)->open = false;
        (*it)->descriptor.release();
        self->sockets_.erase(it);
      }
      return;
    }
    if (it == self->sockets_.end()) {
      auto s = std::make_shared<Socket>(self->strand_, fd);
      boost::system::error_code ec;
      s->descriptor.assign(fd, ec);
      if (ec) s->failed = true;
      it = self->sockets_.insert(self->sockets_.end(), std::move(s));
    }
    (*it)->read = readable != 0;
    (*it)->write = writable != 0;
    self->watch(*it);
  }

  static void answered(void* arg, int status, int, ares_addrinfo* info) {
    auto* self = static_cast<Lookup*>(arg);
    if (!self->closing_ && !self->answered_) {
      self->answered_ = true;
      if (status == ARES_SUCCESS) {
        self->result_ = addresses_of(info);
      } else if (status == ARES_ENODATA) {
        self->result_ = std::vector<asio::ip::address>{};  // the name is there, without an address
      } else {
        self->result_ = std::unexpected(from_ares(status));
      }
      self->done_.cancel();
    }
    if (info) ares_freeaddrinfo(info);
  }

  // Waits for what c-ares wants of `s`. The reactor reports readiness as edges, so readiness
  // that came before a wait was queued is looked for once by hand.
  void watch(const std::shared_ptr<Socket>& s) {
    if (!s->open || s->failed || closing_ || answered_) return;
    short events = 0;
    if (s->read && !s->reading) {
      wait(s, asio::posix::stream_descriptor::wait_read);
      events |= POLLIN;
    }
    if (s->write && !s->writing) {
      wait(s, asio::posix::stream_descriptor::wait_write);
      events |= POLLOUT;
    }
    if (events == 0) return;
    pollfd p{s->fd, events, 0};
    if (::poll(&p, 1, 0) <= 0 || p.revents == 0) return;
    const bool in = (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && s->read;
    const bool out = (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && s->write;
    asio::post(strand_, [weak = weak_from_this(), s, in, out] {
      if (auto self = weak.lock(); self && s->open) {
        self->process(in ? s->fd : ARES_SOCKET_BAD, out ? s->fd : ARES_SOCKET_BAD);
      }
    });
  }

  void wait(const std::shared_ptr<Socket>& s, asio::posix::stream_descriptor::wait_type type) {
    const bool read = type == asio::posix::stream_descriptor::wait_read;
    (read ? s->reading : s->writing) = true;
    s->descriptor.async_wait(type, [weak = weak_from_this(), s, read](const boost::system::error_code& ec) {
      (read ? s->reading : s->writing) = false;
      if (ec) {
        if (ec != asio::error::operation_aborted) s->failed = true;
        return;
      }
      if (auto self = weak.lock(); self && s->open) {
        self->process(read ? s->fd : ARES_SOCKET_BAD, read ? ARES_SOCKET_BAD : s->fd);
      }
    });
  }

  void process(ares_socket_t read_fd, ares_socket_t write_fd) {
    if (closing_ || answered_ || channel_ == nullptr) return;
    ares_process_fd(channel_, read_fd, write_fd);
    if (answered_) return;
    for (const auto snapshot = sockets_; const auto& s : snapshot) watch(s);
    arm_retransmit();
  }

  // c-ares's own time-outs: retransmission and moving on to the next server.
  void arm_retransmit() {
    if (closing_ || answered_ || channel_ == nullptr) return;
    timeval tv{};
    const timeval* next = ares_timeout(channel_, nullptr, &tv);
    if (next == nullptr) {
      retransmit_.cancel();
      return;
    }
    retransmit_.expires_after(std::chrono::seconds(next->tv_sec) + std::chrono::microseconds(next->tv_usec));
    retransmit_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    });
  }

  // Drops the queries and closes the sockets; the reactor lets go of each descriptor before
  // c-ares closes it.
  void close() {
    if (closing_) return;
    closing_ = true;
    retransmit_.cancel();
    for (const auto& s : sockets_) {
      s->open = false;
      s->descriptor.release();
    }
    sockets_.clear();
    if (channel_ != nullptr) {
      ares_destroy(channel_);
      channel_ = nullptr;
    }
  }

  asio::any_io_executor strand_;
  ares_channel channel_ = nullptr;
  std::vector<std::shared_ptr<Socket>> sockets_;  // a handful: c-ares keeps one or two per server
  asio::steady_timer retransmit_;
  asio::steady_timer done_;
  bool closing_ = false;
  bool answered_ = false;
  ResolveResult result_;
};

asio::awaitable<ResolveResult> run_lookup(std::string host, Clock::time_point deadline) {
  // A caller that goes away is seen in the result, not thrown at the next wait.
  co_await asio::this_coro::throw_if_cancelled(false);
  auto lookup = std::make_shared<Lookup>(co_await asio::this_coro::executor);
  if (auto ec = lookup->start(host)) co_return std::unexpected(ec);
  co_return co_await lookup->result(deadline);
}

}  // namespace

asio::awaitable<ResolveResult> resolve_host(std::string host, Clock::time_point deadline) {
  boost::system::error_code parse_ec;
  const auto literal = asio::ip::make_address(host, parse_ec);
  if (!parse_ec) co_return std::vector<asio::ip::address>{literal};
  if (host.empty() || host.find('\0') != std::string::npos) {
    co_return std::unexpected(boost::system::error_code(asio::error::invalid_argument));
  }
  if (Clock::now() >= deadline) co_return std::unexpected(boost::system::error_code(asio::error::timed_out));
  // A strand of its own: the channel's callbacks never run in parallel, whatever runs the caller.
  co_return co_await asio::co_spawn(make_task_strand(co_await asio::this_coro::executor, TaskSpans::caller),
                                    run_lookup(std::move(host), deadline), asio::use_awaitable);
}

}  // namespace velarix::p2p::util
