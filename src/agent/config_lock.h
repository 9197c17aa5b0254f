#pragma once
// A lock on the agent configuration file for one read, change and write-back.

#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "agent/error.h"

namespace velarix::agent {

// Held by whoever reads the configuration file, changes it and writes it back
// (the network editors of the C interface, a first launch generating the
// identity, the running agent's saves), so that no edit falls between another
// writer's read and its write. It is an advisory lock on the directory that
// holds the file (after every symbolic link), which a save does not replace: a
// lock on the file itself would have to move to each new file, and a writer
// that woke on a replaced one lost its turn to newcomers, again and again.
// A directory that may be searched and written but not read cannot be opened
// to lock it; there the lock is on ".NAME.lock" beside the file, made once and
// left in place.
class ConfigFileLock {
 public:
  // Waits for the lock of the file at `path`, for as long as another writer
  // holds it: for the host's threads, never for the runtime's.
  static std::expected<ConfigFileLock, Error> acquire(const std::string& path);
  // The lock when no other writer holds it, else nothing; does not wait.
  static std::expected<std::optional<ConfigFileLock>, Error> try_acquire(const std::string& path);

  ConfigFileLock(ConfigFileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ConfigFileLock& operator=(ConfigFileLock&&) = delete;
  ~ConfigFileLock();

 private:
  explicit ConfigFileLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace velarix::agent
