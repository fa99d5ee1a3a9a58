// What a hostile path could change below a directory, to compare before and after a command.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "tests/support/testing.h"

namespace testing_support {

// Everything that a removal or a take-over could change below a directory: per path the type,
// mode, owner, group, size, content or link text, and every extended attribute (POSIX ACLs and
// the stored descriptor included).
inline std::map<std::string, std::string> snapshot(const std::string& top) {
  std::map<std::string, std::string> state;
  auto record = [&](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    std::string line = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                       std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " ";
    if (S_ISREG(st.st_mode)) line += readFile(path);
    if (S_ISLNK(st.st_mode)) line += std::filesystem::read_symlink(path).string();
    char names[4096];
    ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < length; at += std::strlen(names + at) + 1) {
      char value[4096];
      ssize_t size = ::lgetxattr(path.c_str(), names + at, value, sizeof value);
      line += std::string(" ") + (names + at) + "=" + std::string(value, size > 0 ? size : 0);
    }
    state[path] = line;
  };
  record(top);
  if (std::filesystem::is_directory(std::filesystem::symlink_status(top)))
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) record(entry.path().string());
  return state;
}

} // namespace testing_support
