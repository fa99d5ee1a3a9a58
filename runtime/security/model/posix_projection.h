// The POSIX ACL projection of a DACL, and the DACL that a POSIX ACL stands for.
//
// Access masks and POSIX permissions meet in one mapping, the same on files and directories:
// read data / list directory is r, write data / add file is w, execute / traverse is x.
//
// Execute on files: a program that creates a file under a default ACL asks for mode 0666, so
// the new file's mask has no x even where its default entries grant it, and chmod a-x is how a
// site keeps a file from being run. Neither is a change the tool has to undo, so on a
// non-directory an x that the projection grants may be missing without the ACL counting as
// drifted, and an entry reads back as if it had x.
#pragma once

#include <cstdint>
#include <vector>

#include "os/posix_acl.h"
#include "runtime/security/model/acl.h"

namespace RunTime {

// What the projection reads of an object: its kind, owner, group and current ACLs (access ACL
// sorted, with the base entries from the mode when it has no ACL; default ACL empty when none).
struct PosixObject {
  bool directory = false;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  os::PosixAcl access;
  os::PosixAcl defaults;
};

struct PosixProjection {
  os::PosixAcl access;
  os::PosixAcl defaults; // empty: the directory is to have no default ACL
  bool operator==(const PosixProjection&) const = default;
};

// The groups each user belongs to, as the account database lists them: what the projection
// needs to add up, for a named user, the entries of its groups.
class GroupMemberships {
public:
  virtual ~GroupMemberships() = default;
  // The gids of the user's groups, its primary group included; empty for a user the database
  // does not know.
  virtual const std::vector<std::uint32_t>& groupsOf(std::uint32_t uid) const = 0;
};

// The r/w/x that a mask (generic rights mapped) allows.
std::uint8_t posixPermissions(std::uint32_t mask);
// The mask that r/w/x stand for: each bit its generic file right, all three FILE_ALL_ACCESS.
std::uint32_t accessMask(std::uint8_t perms);

// The ACLs that stand for the effective DACL of the object:
// - each account that an allow or deny entry names (users S-1-22-1-uid and SYSTEM, groups
//   S-1-22-2-gid and Administrators) gets a named entry with the bits that an access check of
//   that account would allow, taking the entries in DACL order (the first entry that mentions a
//   bit decides) and adding up those of every SID the account acts as: a user its own, its
//   groups' (`memberships`) and Everyone's; a group its own and Everyone's. POSIX lets the first
//   matching class decide, so without this a member of a named group would lose what Everyone
//   is granted. An account left with only denials gets an entry without bits;
// - the owner, the owning group and "other" keep their current bits unless an entry names the
//   owner's user, the owning group or Everyone (then they add up as that user or group);
// - the mask is the union of the named entries and the owning group (none without named ones);
// - a directory's default ACL is the projection of what a file created in it inherits, with
//   CREATOR OWNER, CREATOR GROUP and Everyone as its base entries (unnamed ones keep the current
//   default's bits, or the directory's own when it has no default ACL; the creator entries add
//   up Everyone's as well); none when nothing it passes on names an account of this host.
// Inherit-only entries, audit entries and SIDs of no account of this host play no part. A null
// DACL names no account: named entries and the default ACL go, the base entries stay.
PosixProjection projectDacl(const Acl& effectiveDacl, const PosixObject& object,
                            const GroupMemberships& memberships);

// Whether the object's ACLs still do what the projection decides: the same named entries with
// the same bits as the mask lets them act, the same base entries, and the same default ACL (on
// a non-directory an entry may lack the x of the projection).
bool projectionHolds(const PosixProjection& projection, const PosixObject& object);

// The explicit DACL that the object's ACLs stand for, in canonical order: an allow entry for the
// owner, each named account, the owning group (as the mask lets them act; on a non-directory
// with x added) and Everyone; a deny entry of FILE_ALL_ACCESS for a named account left without
// bits. A directory's default ACL adds entries inherited by files and subdirectories only
// (CREATOR OWNER, CREATOR GROUP, the named accounts, Everyone); an account with the same rights
// in both becomes one entry inherited by files and subdirectories that also acts on the
// directory.
Acl daclFromPosix(const PosixObject& object);

} // namespace RunTime
