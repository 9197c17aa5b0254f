#pragma once
// Facts about this build, fixed when the library is compiled.

#include <string>

namespace velarix {

struct VersionInfo {
  std::string version;
  std::string git_commit;
  std::string git_dirty;
  std::string build_timestamp;
  std::string debug;
  std::string features;

  // The record of this build.
  static VersionInfo new_();
  // The commit with "-dirty" when the tree had uncommitted changes.
  std::string full_commit() const;
  // "debug" or "release".
  std::string profile() const;
  // Five lines, each ending in a line feed.
  std::string to_string() const;
};

// version + " (" + full_commit + ")", built once and kept for the process.
const char* version_cstr();

}  // namespace velarix
