#include "agent/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velarix::agent {
namespace {

// Each retry means another writer replaced the file while this one waited.
constexpr int kMaxAttempts = 64;

Error io_error(int err) {
  return Error{ErrorKind::Io, std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"};
}

}  // namespace

std::expected<ConfigFileLock, Error> ConfigFileLock::acquire(const std::string& path) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Non-blocking open: a FIFO in the file's place must not hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(io_error(errno));
    int locked;
    do {
      locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat held {}, current {};
    if (locked != 0 || ::fstat(fd, &held) != 0 || ::stat(path.c_str(), &current) != 0) {
      const int err = errno;
      ::close(fd);
      return std::unexpected(io_error(err));
    }
    if (held.st_dev == current.st_dev && held.st_ino == current.st_ino) return ConfigFileLock(fd);
    ::close(fd);
  }
  return std::unexpected(io_error(EAGAIN));
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

}  // namespace velarix::agent
