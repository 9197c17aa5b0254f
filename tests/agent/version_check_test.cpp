#include <gtest/gtest.h>

#include "agent/version_check.h"

using velarix::agent::version_check::is_newer_version;

TEST(VersionCheck, SemanticOrderElseTextOrder) {
  struct Case {
    const char* version;
    const char* current;
    bool newer;
  } cases[] = {
      {"1.10.0", "1.9.0", true},
      {"1.9.0", "1.10.0", false},
      {"1.0.0", "1.0.0-rc.1", true},
      {"1.0.0-rc.1", "1.0.0", false},
      {"1.0.0-rc.2", "1.0.0-rc.10", false},   // numeric identifiers by value
      {"1.0.0-rc.1", "1.0.0-1", true},        // alphanumeric after numeric
      {"1.0.0-alpha.1", "1.0.0-alpha", true}, // more identifiers, same prefix
      {"1.0.0+2", "1.0.0+1", true},           // build metadata counts
      {"1.0.0+1", "1.0.0", true},
      {"1.0.0+001", "1.0.0+1", true},         // equal values: more leading zeros later
      {"1.0.0+a", "1.0.0+9", true},
      {"1.2.3", "1.2.3", false},
      {"2.0.0", "10.0.0", false},
      // Either side not a strict version: byte order.
      {"v1.9.0", "v1.10.0", true},
      {"1.2", "1.10", true},
      {"1.0.0", "1.0", true},
      {"1.0", "1.0.0", false},
      {"01.0.0", "1.0.0", false},              // leading zero: not strict, "0" < "1"
      {" 1.0.1", "1.0.0", false},              // white space: not strict
      {"1.0.0-01", "1.0.0", true},             // leading zero in a pre-release number: textual
      {"1.0.0-", "0.9.0", true},               // empty pre-release: textual, "1" > "0"
      {"99999999999999999999.0.0", "1.0.0", true},  // too large: textual
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_newer_version(c.version, c.current), c.newer) << c.version << " vs " << c.current;
  }
}
