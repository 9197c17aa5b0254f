// The TOML guard, against the TOML library compiled here from its headers: in
// the sanitizer build, UndefinedBehaviorSanitizer sees inside the parser, so a
// text the guard lets through that reaches the library's unreachable branch
// stops the test.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <toml++/toml.h>

#include "network/config/toml_guard.h"

namespace velarix::network::toml_guard {
namespace {

std::string utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// What every reader does: the guard first, the library only for what it lets through.
bool guarded_parse(std::string_view text) {
  if (check(text)) return false;
  try {
    (void)toml::parse(text);
    return true;
  } catch (const toml::parse_error&) {
    return false;
  }
}

TEST(TomlGuard, RefusesGapCharactersWhereTheLibraryTestsForWhitespace) {
  const std::string e = utf8(0xE9);  // é, in the first gap
  struct Case {
    const char* name;
    std::string text;
    bool fault;
    std::size_t line = 0, column = 0;
  } cases[] = {
      {"the whole document", "\xca\x99", true, 1, 1},
      {"start of a later line", "a = 1\n\xca\x99", true, 2, 1},
      {"a key", e + " = 1", true, 1, 1},
      {"inside a bare key", "a" + e + " = 1", true, 1, 2},
      {"table header", "[" + e + "]", true, 1, 2},
      {"after a value", "a = 1" + e, true, 1, 6},
      {"after a quoted key", "\"k\"" + e + " = 1", true, 1, 4},
      {"columns count code points", "a = \"" + e + "\" \xca\x99", true, 1, 9},
      {"basic string", "a = \"" + e + "\"", false},
      {"escaped quote, then still in the string", "a = \"\\\"" + e + "\"", false},
      {"literal string", "a = '" + e + "'", false},
      {"comment", "# " + e + "\na = 1", false},
      {"multi-line basic string", "a = \"\"\"\n" + e + "\n\"\"\"", false},
      {"multi-line literal string with a backslash", "a = '''\\" + e + "'''", false},
      {"after a backslash in a multi-line string", "a = \"\"\"x\\" + e + "\"\"\"", true, 1, 10},
      {"after backslash and space", "a = \"\"\"x\\ " + e + "\"\"\"", true, 1, 11},
      {"first character a line-ending backslash joins", "a = \"\"\"x\\\n   " + e + "\"\"\"", true, 2, 4},
      {"over blank lines", "a = \"\"\"x\\\n\n\t\r\n " + e + "\"\"\"", true, 4, 2},
      {"through U+00A0, which the library skips as space", "a = \"\"\"x\\\n\xc2\xa0" + e + "\"\"\"", true, 2, 2},
      {"first character of a joined line outside the gaps", "a = \"\"\"x\\\n  \xe4\xb8\xad\"\"\"", false},
      {"after the first non-space of a joined line", "a = \"\"\"x\\\n  y" + e + "\"\"\"", false},
      {"escaped backslash is no join", "a = \"\"\"x\\\\\n" + e + "\"\"\"", false},
      {"two quotes inside a multi-line string", "a = \"\"\"\"\"" + e + "\"\"\"", false},
      {"five closing quotes end the string", "a = \"\"\"x\"\"\"\"\"" + e, true, 1, 14},
      {"five closing quotes of a literal string", "a = '''x'''''" + e, true, 1, 14},
      {"empty string, then outside", "a = \"\"" + e, true, 1, 7},
      {"other gaps", "\xe2\xb1\x9e", true, 1, 1},
      {"other gaps (U+3001)", "\xe3\x80\x81", true, 1, 1},
      {"other gaps (U+FB26)", "\xef\xac\xa6", true, 1, 1},
      {"other gaps (U+FEFE)", "\xef\xbb\xbe", true, 1, 1},
      {"any other non-ASCII outside strings (U+049A)", "\xd2\x9a", true, 1, 1},
      {"non-ASCII space outside strings (U+00A0)", "a =\xc2\xa0" "1", true, 1, 4},
      {"line separator where a value is expected (U+2028)", "x = [\xe2\x80\xa8]", true, 1, 6},
      {"next line where a key is expected (U+0085)", "[\xc2\x85]", true, 1, 2},
      {"leading byte-order mark", "\xef\xbb\xbf" "a = 1", false},
      {"byte-order mark later on", "a = 1\xef\xbb\xbf", true, 1, 6},
      {"line separator after a backslash", "a = \"\"\"x\\\xe2\x80\xa8\"\"\"", true, 1, 10},
      {"joined line starting with a line separator", "a = \"\"\"x\\\n\xe2\x80\xa8" + e + "\"\"\"", false},
      {"not UTF-8 before the gap: the library stops first", "\xff\xca\x99", false},
      {"overlong form is not UTF-8", "\xc1\xa9", false},
      {"plain ASCII", "a = 1\n[b]\nc = \"d\"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto f = check(c.text);
    EXPECT_EQ(f.has_value(), c.fault);
    if (f && c.fault) {
      EXPECT_EQ(f->line, c.line);
      EXPECT_EQ(f->column, c.column);
      EXPECT_NE(f->message.find("unsupported character U+"), std::string::npos) << f->message;
    }
    // Whatever the guard lets through, the library reads without undefined behaviour.
    if (!f) (void)guarded_parse(c.text);
  }
  EXPECT_EQ(check("\xca\x99")->message, "unsupported character U+0299 outside a string or comment");
}

// Every code point of the Basic Multilingual Plane in the places the library
// tests for whitespace: what the guard passes parses without undefined behaviour.
TEST(TomlGuard, NoCodePointThatPassesReachesTheGap) {
  const char* templates[][2] = {
      {"", ""},
      {"a = 1", ""},
      {"a ", "= 1"},
      {"a = true", ""},
      {"x = [1, ", "]"},
      {"x = [", "]"},
      {"x = ", ""},
      {"x = {", "}"},
      {"[", "]"},
      {"[[a]]\na.", "b = 1"},
      {"a = 1979-05-27", ""},
      {"a = \"\"\"\\", "\"\"\""},
      {"a = \"\"\"x\\\n  ", "\"\"\""},
      {"a = \"", "\""},
      {"a = '''", "'''"},
      {"a = \"\"\"x\\\n  y", "\"\"\""},
      {"# ", ""},
  };
  std::size_t passed = 0;
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string cp = utf8(c);
    for (const auto& t : templates) {
      const std::string text = std::string(t[0]) + cp + t[1];
      if (!check(text)) {
        ++passed;
        (void)guarded_parse(text);
      }
    }
  }
  EXPECT_GT(passed, 0u);
}

#ifdef VELARIX_UBSAN
// Without the guard the library does reach its unreachable branch: this is what
// the guard is for.
TEST(TomlGuardDeathTest, TheLibraryAloneReachesUndefinedBehaviour) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        try {
          (void)toml::parse("\xca\x99");
        } catch (const toml::parse_error&) {
        }
      },
      "unreachable");
}
#endif

}  // namespace
}  // namespace velarix::network::toml_guard
