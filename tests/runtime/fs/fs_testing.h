// Shared by the file-system tests: a temporary drive "C:", tree snapshots, caught failures, and
// a child process acting as another account.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/failure.h"
#include "tests/support/testing.h"

namespace fs_testing {

namespace stdfs = std::filesystem;

// A fixture whose drive "C:" is a fresh temporary directory.
class DriveTest : public ::testing::Test {
protected:
  testing_support::TempDir root_;
  testing_support::ScopedRegistry registry_{
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + root_.path() + "\"\n"};

  // "a/b" -> the host path below the drive.
  std::string host(std::string_view relative) const { return root_.file(relative); }
  // "a/b" -> u"C:\a\b".
  static std::u16string win(std::string_view relative) {
    std::u16string path = u"C:\\" + os::utf16FromUtf8(relative);
    for (char16_t& c : path)
      if (c == u'/') c = u'\\';
    return path;
  }
};

// Every object below dir by name, joined with ", ": "name/" for a directory, "name -> target"
// for a link, "name=content" for a file (with " (ro)" when it has no owner write bit).
inline std::string snapshot(const std::string& dir) {
  std::map<std::string, std::string> tree;
  for (auto it = stdfs::recursive_directory_iterator(dir); it != stdfs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(dir).string();
    if (it->is_symlink()) tree[name] = " -> " + stdfs::read_symlink(it->path()).string();
    else if (it->is_directory()) tree[name] = "/";
    else {
      const bool ro = (stdfs::status(it->path()).permissions() & stdfs::perms::owner_write) ==
                      stdfs::perms::none;
      tree[name] = "=" + testing_support::readFile(it->path()) + (ro ? " (ro)" : "");
    }
  }
  std::string joined;
  for (const auto& [name, what] : tree) joined += (joined.empty() ? "" : ", ") + name + what;
  return joined;
}

// "<owner's uid> <mode in octal>" of the object at the path (a link's own), "missing" for none.
inline std::string ownerAndMode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  char text[32];
  std::snprintf(text, sizeof text, "%u %o", st.st_uid, st.st_mode & 07777);
  return text;
}

using testing_support::Failure;
using testing_support::failureOf;

// A failure as "<code> <context> at <what failed>" (the message from its " at ", the host's text
// before it left out), "<code> <context>: <message>" when it has no " at ", or "ok" for none.
inline std::string describe(const Failure& f) {
  if (f.message.empty()) return "ok";
  const std::size_t at = f.message.find(" at ");
  return std::to_string(f.code) + " " + f.context + (at == f.message.npos ? ": " + f.message : f.message.substr(at));
}

} // namespace fs_testing
