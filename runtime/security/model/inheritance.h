// Inheritance of access-control entries from a parent directory, and the effective DACL of an
// object, as pure functions over the binary entries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/security/model/acl.h"

namespace RunTime {

// Generic rights and the file rights they stand for on files and directories.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t GENERIC_EXECUTE = 0x20000000;
inline constexpr std::uint32_t GENERIC_ALL = 0x10000000;
inline constexpr std::uint32_t FILE_GENERIC_READ = 0x120089;
inline constexpr std::uint32_t FILE_GENERIC_WRITE = 0x120116;
inline constexpr std::uint32_t FILE_GENERIC_EXECUTE = 0x1200A0;
inline constexpr std::uint32_t FILE_ALL_ACCESS = 0x1F01FF;

// The mask with its generic rights replaced by the file rights they stand for.
std::uint32_t mapGenericFileMask(std::uint32_t mask);

// The object that receives inherited entries.
struct InheritingObject {
  bool directory = false;
  // Stand in for CREATOR OWNER (S-1-3-0) and CREATOR GROUP (S-1-3-1) in the entries that take
  // effect on the object; an empty Sid leaves the creator SID in place.
  Sid owner;
  Sid group;
};

// The entries a child receives from its parent's effective DACL (none from a null DACL), in the
// parent's order, each with the inherited flag:
// - a file receives the object-inherit entries as effective entries (inheritance flags cleared);
// - a directory receives the container-inherit entries as effective entries, which keep their
//   object- and container-inherit flags unless no-propagate is set; it receives the
//   object-inherit entries that are not container-inherit, unless no-propagate is set, as
//   inherit-only entries with object-inherit, passing them on to its files;
// - the inherit-only flag of the parent's entry plays no part.
// An effective entry has its generic rights mapped and the creator SIDs replaced; when such an
// entry also passes on and had generic rights or a creator SID, it becomes two entries: the
// effective one, then an inherit-only one that keeps the original rights and SID.
// Throws vexception "Unsupported ACE type (%d)" for an inheritable entry of no known layout.
std::vector<Ace> inheritedAces(const Acl& parentDacl, const InheritingObject& child);

// The DACL that governs an object: the explicit entries of `explicitDacl` (those without the
// inherited flag) and, unless the DACL is protected, the inherited entries, ordered by canonical
// group and otherwise as given. A null explicit DACL stays null. Throws the OS error 87
// "Unsupported ACE type in ACL" for an entry that belongs to no canonical group.
Acl effectiveDacl(const Acl& explicitDacl, bool daclProtected, std::span<const Ace> inherited);

} // namespace RunTime
