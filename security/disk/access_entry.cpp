#include "security/disk/access_entry.h"

#include "runtime/core/text.h"
#include "runtime/fs/path/filename.h"
#include "runtime/security/model/inheritance.h"

namespace DiskSecurity {
namespace {

int comparePaths(const std::u16string& a, const std::u16string& b) {
  if (a == b) return 0; // most entries share their path: skip the component-wise comparison
  switch (VFileName::compare(a, b)) {
  case VFileName::same: return 0;
  case VFileName::firstBelow: return 1; // a path sorts before the paths below it
  case VFileName::secondBelow: return -1;
  case VFileName::sortsBefore: return -1;
  case VFileName::sortsAfter: return 1;
  }
  return 0;
}

template <class T>
int compareNumbers(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int sign(int value) { return compareNumbers(value, 0); }

} // namespace

int compareEntries(const AccessEntry& a, const AccessEntry& b) {
  if (int c = comparePaths(a.path, b.path)) return c;
  if (int c = comparePaths(a.subPath, b.subPath)) return c;
  if (a.account < b.account) return -1;
  if (b.account < a.account) return 1;
  if (int c = compareNumbers(a.aceFlags, b.aceFlags)) return c;
  if (int c = compareNumbers(RunTime::mapGenericFileMask(a.accessMask),
                             RunTime::mapGenericFileMask(b.accessMask)))
    return c;
  if (int c = compareNumbers(a.entryFlags, b.entryFlags)) return c;
  if (int c = sign(compareStrings(a.tag, b.tag, true))) return c;
  return sign(compareStrings(a.tag2, b.tag2, true));
}

} // namespace DiskSecurity
