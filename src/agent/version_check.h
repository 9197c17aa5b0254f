#pragma once
// Version comparison for the update check.

#include <string_view>

namespace velarix::agent::version_check {

// True when `version` is newer than `current`: semantic-version order (build
// metadata included) when both parse strictly, else byte order of the texts.
bool is_newer_version(std::string_view version, std::string_view current);

}  // namespace velarix::agent::version_check
