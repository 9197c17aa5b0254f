#include "host/tun.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velarix::host {

namespace {

std::unexpected<TunError> fail(TunError::Kind kind, std::string message) {
  return std::unexpected(TunError{kind, std::move(message)});
}

const char* kNeedsAdmin = "needs root or the CAP_NET_ADMIN capability";

}  // namespace

std::expected<TunInterface, TunError> create_tun(std::string_view name, const char* device) {
  const std::string n(name);
  if (n.empty() || n.size() >= IFNAMSIZ || n.find_first_of("/ \t\n:") != std::string::npos)
    return fail(TunError::Kind::NameInvalid,
                "interface name '" + n + "' is not valid (1 to " + std::to_string(IFNAMSIZ - 1) +
                    " characters, no '/', ':' or blanks)");
  // Checked first so that the message names the real cause; the exclusive
  // flag below closes the race with an interface created meanwhile.
  if (::if_nametoindex(n.c_str()) != 0)
    return fail(TunError::Kind::NameInUse, "interface name '" + n + "' is in use");

  const int fd = ::open(device, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENODEV || e == ENXIO)
      return fail(TunError::Kind::NoTunDevice, std::string(device) + " is missing: this machine offers no TUN devices");
    if (e == EACCES || e == EPERM)
      return fail(TunError::Kind::NoPermission, std::string("opening ") + device + " " + kNeedsAdmin);
    return fail(TunError::Kind::Other, std::string("cannot open ") + device + ": " + std::strerror(e));
  }

  ifreq ifr{};
  std::memcpy(ifr.ifr_name, n.data(), n.size());
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_TUN_EXCL;
  if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
    const int e = errno;
    ::close(fd);
    if (e == EPERM || e == EACCES)
      return fail(TunError::Kind::NoPermission, "creating interface '" + n + "' " + kNeedsAdmin);
    if (e == EBUSY || e == EEXIST)
      return fail(TunError::Kind::NameInUse, "interface name '" + n + "' is in use");
    return fail(TunError::Kind::Other, "cannot create TUN interface '" + n + "': " + std::strerror(e));
  }

  const unsigned index = ::if_nametoindex(n.c_str());
  if (index == 0) {
    const int e = errno;
    ::close(fd);
    return fail(TunError::Kind::Other, "TUN interface '" + n + "' vanished: " + std::strerror(e));
  }
  return TunInterface{fd, static_cast<int>(index), n};
}

}  // namespace velarix::host
