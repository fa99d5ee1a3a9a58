// VFileFinder: the names of a directory that match a search pattern, one at a time (used by the
// pruning of crash dumps).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/files.h"

class VFileFinder {
public:
  VFileFinder() = default;

  // Starts a search: the pattern is a directory, "\" and a name that may hold "*" and "?"
  // (matched as matchesSearchPattern says); without a directory part the current directory is
  // searched. True with the first matching entry; false when nothing matches or the directory
  // is not found. Any other failure throws the OS error "FindFirstFile(<pattern>)" (context
  // "VFileFinder::first"). A search that was open is closed first.
  bool first(const std::u16string& pattern);

  // The next matching entry; false (and no current entry) when there is none or no search is
  // open.
  bool next();

  // The current entry.
  const std::u16string& name() const { return current().name; }
  bool isDirectory() const { return current().info.attributes & os::FILE_ATTRIBUTE_DIRECTORY; }
  // A file time (100-nanosecond intervals since 1601-01-01 UTC).
  std::uint64_t lastWriteTime() const { return current().info.lastWriteTime; }

  void close();

private:
  const os::DirectoryEntry& current() const;

  std::vector<os::DirectoryEntry> matches_;
  std::size_t position_ = 0;
};

namespace RunTime::File {

// Whether a name matches a search pattern as the platform's directory search matches it,
// without regard to letter case: "*" stands for any run of characters and "?" for one; "?"
// also matches nothing before a "." or at the end of the name ("a?.txt" matches "a.txt"); a "*"
// before a "." stops at the name's last dot and a "." before "*", "?" or the end of the pattern
// also matches the end of the name, so "*.*" matches every name and "*." the names without a
// dot.
bool matchesSearchPattern(std::u16string_view name, std::u16string_view pattern);

} // namespace RunTime::File
