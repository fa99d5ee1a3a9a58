// How the entries recorded for one path become the DACL that the path must carry, and the
// access items that verbose logs list. Pure: no file is read here.
//
// The rules (docs/decisions.md, "Checkers and the commit"):
// - every account named by an entry of the path loses its explicit ACEs there; the other
//   accounts' explicit ACEs stay as they are (a commit never removes what it did not record);
// - each entry without RemoveAccess then gives one ACE: denied for Deny, else allowed; the mask
//   with generic rights mapped; on a directory the entry's inheritance flags (and
//   no-propagate for NoPropagate); on a file no inheritance flags, and an inherit-only entry
//   gives nothing; ThisFileOnly entries give nothing on a directory;
// - a RemoveAccess marker gives nothing: its account keeps only what its other entries give;
// - BreakInheritance protects the DACL, the ACEs it inherited until then kept as explicit ones;
//   InheritFromParent unprotects it; without either the protection stays as it was;
// - the list is in canonical order (denials first), each ACE once.
#pragma once

#include <string>
#include <vector>

#include "runtime/security/model/acl.h"
#include "security/disk/access_entry.h"

namespace DiskSecurity {

// What an object carries: its stored explicit entries (an ACL without a buffer when nothing is
// stored) and protection.
struct ExistingAcl {
  RunTime::Acl explicitDacl = RunTime::Acl::none();
  bool daclProtected = false;
};

struct RequiredAcl {
  RunTime::Acl explicitDacl;
  bool daclProtected = false;
  // The required DACL stops inheriting while the existing one inherits: the caller supplies the
  // entries inherited until now (inheritedNow) to keep them.
  bool breaksInheritance = false;
};

// The required list. `inheritedNow` is the object's effective DACL, read only when
// breaksInheritance was reported by a first call without it (an empty ACL otherwise).
RequiredAcl requiredAcl(const std::vector<const AccessEntry*>& entries, bool directory,
                        const ExistingAcl& existing,
                        const RunTime::Acl& inheritedNow = RunTime::Acl::none());

// Whether the existing list already is the required one (the same ACEs in the same order and
// the same protection; nothing stored counts as an empty unprotected list).
bool matches(const ExistingAcl& existing, const RequiredAcl& required);

// One line of a list as verbose logs show it.
enum class ItemKind : int { Deny = -1, ImplicitAllow = 0, Stop = 1, Allow = 2, Revoke = 3 };
enum class ApplyOnto : int { ThisObject = 0, Files = 1, SubFolders = 2 };

struct AccessItem {
  ItemKind kind;
  ApplyOnto applyOnto;
  RunTime::Sid account;
  std::uint32_t accessMask;
  std::uint32_t aceFlags;
};

// One item per ACE and per kind of object it reaches (itself unless inherit-only; files for
// object-inherit; subfolders for container-inherit).
std::vector<AccessItem> accessItems(const RunTime::Acl& dacl);
// "Index %d, apply onto %s, type %s, account %s, access %X[%X], key %s", one line per item.
std::u16string dumpItems(const std::vector<AccessItem>& items);

} // namespace DiskSecurity
