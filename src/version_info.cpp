#include "version_info.h"

#include <string_view>

namespace velarix {

namespace build_facts {
extern const char* const version;
extern const char* const git_commit;
extern const char* const git_dirty;
extern const char* const build_timestamp;
extern const char* const debug;
extern const char* const features;
}  // namespace build_facts

VersionInfo VersionInfo::new_() {
  return VersionInfo{build_facts::version, build_facts::git_commit, build_facts::git_dirty,
                     build_facts::build_timestamp, build_facts::debug, build_facts::features};
}

// Exact comparison: "True" or " true" is not true.
std::string VersionInfo::full_commit() const {
  return std::string_view(git_dirty) == "true" ? git_commit + "-dirty" : git_commit;
}

std::string VersionInfo::profile() const { return std::string_view(debug) == "true" ? "debug" : "release"; }

std::string VersionInfo::to_string() const {
  return "  Version: " + version + "\n" + "  Git Commit: " + full_commit() + "\n" + "  Build Profile: " + profile() +
         "\n" + "  Build Timestamp: " + build_timestamp + "\n" + "  Features: " + features + "\n";
}

const char* version_cstr() {
  // Function-local static: built once, thread-safe, never freed.
  static const std::string text = [] {
    const auto info = VersionInfo::new_();
    return info.version + " (" + info.full_commit() + ")";
  }();
  return text.c_str();
}

}  // namespace velarix
