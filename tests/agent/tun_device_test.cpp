// Which descriptors the C interface wraps as a TUN device, and that it never
// closes one it does not own.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "common/temp_dir.h"
#include "velarix_agent.h"

using velarix::test::TempDir;
using velarix::test::write_text;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

class CTunDevice : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(velarix_agent_runtime(&runtime_), 0); }
  void TearDown() override { velarix_agent_runtime_free(runtime_); }

  int32_t create(int fd, TunDevicePtr** out) { return velarix_agent_tun_device_create(runtime_, fd, out); }

  RuntimePtr* runtime_ = nullptr;
};

// A TUN (or TAP) descriptor attached to an interface in a network namespace of
// its own, so that nothing of the host's network changes. -1 without the
// privilege to make one.
int attached_tun(short kind) {
  int fd = -1;
  std::thread([&] {
    // A new network namespace for this thread only; it goes with the descriptor.
    if (::unshare(CLONE_NEWNET) != 0) return;
    const int t = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (t < 0) return;
    ifreq ifr{};
    ifr.ifr_flags = static_cast<short>(kind | IFF_NO_PI);
    std::strncpy(ifr.ifr_name, "vxtest%d", IFNAMSIZ - 1);
    if (::ioctl(t, TUNSETIFF, &ifr) != 0) {
      ::close(t);
      return;
    }
    fd = t;
  }).join();
  return fd;
}

}  // namespace

TEST_F(CTunDevice, RefusesWhatIsNotAPacketDescriptorAndLeavesItOpen) {
  TempDir dir;
  const auto file_path = dir.file("plain");
  write_text(file_path, "not a device");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  int stream[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, stream), 0);
  struct Case {
    const char* name;
    int fd;
  } cases[] = {
      {"regular file", ::open(file_path.c_str(), O_RDWR)},
      {"/dev/null", ::open("/dev/null", O_RDWR)},
      {"pipe", pipe_fds[0]},
      {"stream socket", stream[0]},
      {"directory", ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY)},
      // Not attached to an interface: no packets will ever come.
      {"unattached /dev/net/tun", ::open("/dev/net/tun", O_RDWR)},
  };
  for (const auto& c : cases) {
    if (c.fd < 0) continue;  // no such device here
    TunDevicePtr* const sentinel = reinterpret_cast<TunDevicePtr*>(0x1);
    TunDevicePtr* out = sentinel;
    EXPECT_EQ(create(c.fd, &out), -2) << c.name;
    EXPECT_EQ(out, sentinel) << c.name;
    EXPECT_TRUE(is_open(c.fd)) << c.name << " was closed by a failed create";
    ::close(c.fd);
  }
  ::close(pipe_fds[1]);
  ::close(stream[1]);

  TunDevicePtr* out = nullptr;
  EXPECT_EQ(create(-1, &out), -2);
  EXPECT_EQ(create(1 << 20, &out), -2);
}

TEST_F(CTunDevice, WrapsPacketSocketsAndClosesThemWhenFreed) {
  for (int type : {SOCK_SEQPACKET, SOCK_DGRAM}) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, type, 0, fds), 0);
    TunDevicePtr* tun = nullptr;
    ASSERT_EQ(create(fds[0], &tun), 0) << type;
    ASSERT_NE(tun, nullptr);
    EXPECT_TRUE(is_open(fds[0]));
    velarix_agent_tun_device_free(tun);
    EXPECT_FALSE(is_open(fds[0])) << "the device owns the descriptor";
    ::close(fds[1]);
  }
}

TEST_F(CTunDevice, ADescriptorAlreadyWrappedIsRefusedAndStaysWithItsOwner) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  TunDevicePtr* first = nullptr;
  ASSERT_EQ(create(fds[0], &first), 0);

  // Also through a second runtime, which has a reactor of its own.
  RuntimePtr* other = nullptr;
  ASSERT_EQ(velarix_agent_runtime(&other), 0);
  TunDevicePtr* second = nullptr;
  EXPECT_EQ(create(fds[0], &second), -2);
  EXPECT_EQ(velarix_agent_tun_device_create(other, fds[0], &second), -2);
  EXPECT_EQ(second, nullptr);
  velarix_agent_runtime_free(other);

  // The first device's descriptor is still open and carries packets.
  ASSERT_TRUE(is_open(fds[0]));
  ASSERT_EQ(::send(fds[1], "ping", 4, 0), 4);
  char buf[8];
  EXPECT_EQ(::recv(fds[0], buf, sizeof buf, 0), 4);

  velarix_agent_tun_device_free(first);
  EXPECT_FALSE(is_open(fds[0]));
  // Once freed, a new descriptor that reuses the number is wrapped again.
  int again[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, again), 0);
  TunDevicePtr* third = nullptr;
  EXPECT_EQ(create(again[0], &third), 0);
  velarix_agent_tun_device_free(third);
  ::close(again[1]);
  ::close(fds[1]);
}

TEST_F(CTunDevice, AttachedTunIsWrappedAndTapIsNot) {
  const int tun = attached_tun(IFF_TUN);
  if (tun < 0) GTEST_SKIP() << "needs root to make a TUN device in a network namespace";
  TunDevicePtr* out = nullptr;
  EXPECT_EQ(create(tun, &out), 0);
  velarix_agent_tun_device_free(out);
  EXPECT_FALSE(is_open(tun));

  const int tap = attached_tun(IFF_TAP);
  ASSERT_GE(tap, 0);
  out = nullptr;
  EXPECT_EQ(create(tap, &out), -2);
  EXPECT_TRUE(is_open(tap));
  ::close(tap);
}
