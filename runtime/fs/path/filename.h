// VFileName: the operations on Windows-syntax path strings that the rest of the system uses
// instead of touching path text itself. "\" is the separator and "/" is accepted as one. Only
// longPathName looks at the disk.
#pragma once

#include <string>

class VFileName {
public:
  // How two paths relate (compare).
  enum Relation {
    same = 0,        // the same path
    firstBelow = 1,  // a lies below b
    secondBelow = 2, // b lies below a
    sortsBefore = 3, // the paths part at a component and a's sorts first
    sortsAfter = 4,  // the paths part at a component and a's sorts last
  };

  // base and more joined with one "\", "." and ".." resolved. Leading separators of more are
  // skipped, so more is always taken relative to base; an empty more gives base. Throws
  // vexception "PathAllocCombine(...) failed: ..." for a path the rules reject.
  static std::u16string combine(const std::u16string& base, const std::u16string& more);

  // Lexical normalisation: "/" becomes "\", empty and "." components are dropped, ".." removes
  // the component before it (or stays when there is none, but is dropped right after a drive
  // "C:"); one leading and one trailing "\" and a "\\?\" or "\\.\" prefix are kept.
  static std::u16string normalize(const std::u16string& path);

  // The form handed to file-system calls: "\\?\" + the normalised path for a drive path ("C:"
  // becomes "\\?\C:\"); any other path unchanged.
  static std::u16string longPath(const std::u16string& path);

  static std::u16string trimTrailingSeparators(const std::u16string& path);

  // The parent directory of the normalised path; a root is its own parent. Throws vexception
  // "PathCchRemoveFileSpec(...) failed: ..." for a path the rules reject.
  static std::u16string removeFileSpec(const std::u16string& path);

  // The long form of an existing path. Throws the OS error of the code ("GetLongPathName('...')")
  // when the path cannot be resolved.
  static std::u16string longPathName(const std::u16string& path);

  // Component-wise comparison, ignoring a leading "\\?\" or "\??\", runs of separators and
  // letter case; no "." or ".." resolution. A shorter component sorts before a longer one.
  static Relation compare(const std::u16string& a, const std::u16string& b);
};
