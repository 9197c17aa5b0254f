#include "agent/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/config.h"

namespace velarix::agent {
namespace {

Error io_error(int err) {
  return Error{ErrorKind::Io, std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"};
}

}  // namespace

std::expected<ConfigFileLock, Error> ConfigFileLock::acquire(const std::string& path) {
  auto target = config_file_target(path);
  if (!target) return std::unexpected(io_error(target.error()));
  const auto dir = target->parent_path().empty() ? std::filesystem::path(".") : target->parent_path();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(io_error(errno));
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(io_error(err));
  }
  return ConfigFileLock(fd);
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

}  // namespace velarix::agent
