#pragma once
// Line-by-line comparison of a report with its expected layout.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace velarix::test {

// A pattern that matches exactly `text`.
inline std::string lit(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// Patterns of the changing values of a report.
inline const std::string kTimestampRe = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{3}|\.\d{6})?[+-]\d{2}:\d{2})";
inline const std::string kDurationRe = R"(\d+[a-z]+( \d+[a-z]+)*)";

// Splits `report` into lines (each ends in a line feed) and matches line i
// against layout[i] as a whole; reports the first difference with its number.
inline void expect_layout(const std::string& report, const std::vector<std::string>& layout) {
  ASSERT_TRUE(report.empty() || report.back() == '\n') << "the report ends with a line feed";
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < report.size()) {
    const auto end = report.find('\n', start);
    lines.push_back(report.substr(start, end - start));
    start = end + 1;
  }
  for (std::size_t i = 0; i < std::min(lines.size(), layout.size()); ++i) {
    ASSERT_TRUE(std::regex_match(lines[i], std::regex(layout[i])))
        << "line " << i + 1 << ": \"" << lines[i] << "\"\nexpected: " << layout[i] << "\nwhole report:\n"
        << report;
  }
  ASSERT_EQ(lines.size(), layout.size()) << "whole report:\n" << report;
}

}  // namespace velarix::test
