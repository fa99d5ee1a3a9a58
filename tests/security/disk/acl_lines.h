// getfacl's lines for a path, for tests that assert the exact ACL entries.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace testing_support {

// The lines of `getfacl -p --omit-header`, without empty ones.
inline std::vector<std::string> facl(const std::string& path) {
  const std::string out = runProcess({"/usr/bin/getfacl", "-p", "--omit-header", path}).out;
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) lines.push_back(out.substr(start, end - start));
  return lines;
}

inline bool has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace testing_support
