// One access entry: an account allowed, denied or no longer granted an access mask, with given
// inheritance, on a path (or path template, see entry_template.h); and the order of entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/security/model/sid.h"

namespace DiskSecurity {

class ISystemHelper;

// Entry flags: what the checkers do with an entry when they apply it.
enum EntryFlag : std::int32_t {
  Default = 0,
  Deny = 1,                      // denies instead of allowing
  FullPath = 2,
  BreakInheritance = 4,          // inheritance from the parent is broken at the path
  IgnoreErrors = 8,
  NoPropagate = 16,              // not propagated to the children of the path
  SkipPath = 32,                 // the path itself is skipped
  RepaireFolder = 64,            // the folder is repaired when it is checked
  ThisFileOnly = 128,
  CheckThisPathExactly = 256,
  InheritFromParent = 512,       // the path inherits its permissions from its parent
  AllSplittedBySpaceNames = 1024, // the path is also taken in its parts split at spaces
  RemoveAccess = 2048,           // revocation marker: the account's access is removed there
  EachPartOfPath = 4096,         // set on each part of the path
};

struct AccessEntry {
  RunTime::Sid account;
  std::u16string path;
  std::u16string subPath;
  std::uint32_t aceFlags = 0;
  std::uint32_t accessMask = 0;
  std::int32_t entryFlags = Default;
  std::u16string tag;
  std::u16string tag2;
  std::shared_ptr<ISystemHelper> systemHelper;
};

// The order of entries, key by key: path and subPath (path comparison: a path before the paths
// below it, else by the first differing component, ignoring case), the account's SID (shorter
// first, then by content), ACE flags, access mask with generic rights mapped to file rights,
// entry flags as signed numbers, tag and tag2 ignoring case. Entries that are neither less
// than the other are equal. Throws "Invalid sid(s)" when an entry has no SID.
int compareEntries(const AccessEntry& a, const AccessEntry& b);

struct EntryOrder {
  bool operator()(const AccessEntry& a, const AccessEntry& b) const {
    return compareEntries(a, b) < 0;
  }
};

} // namespace DiskSecurity
