// The DACLs of files and directories in the descriptor store (os/security_store.h): what an
// object's DACL reads as, and the writing of a DACL with its POSIX ACL projection onto the
// object and everything that inherits from it.
//
// An object's governing DACL is its stored explicit entries and, unless its descriptor is
// protected, what it inherits from its parent's governing DACL by the inheritance rules
// (inheritance.h); an object without a descriptor of its own inherits everything. The chain of
// ancestors is read up to the first protected descriptor or the top of the object's file
// system; the ancestor just above the topmost stored descriptor passes on what its own POSIX
// ACLs stand for (its default ACL), and an object with no stored descriptor on itself or any
// ancestor reads as its POSIX ACL (daclFromPosix).
#pragma once

#include <string>
#include <vector>

#include "os/error.h"
#include "os/security_store.h"
#include "runtime/security/model/acl.h"
#include "runtime/security/model/posix_projection.h"

namespace RunTime {

// The governing DACL of an object whose parent governs with `parentDacl`. Throws the OS error
// 1338 for a stored descriptor that is not one.
Acl governingDacl(const os::SecurityState& state, const Acl& parentDacl);

// What reading the object gives: its governing DACL while its POSIX ACLs still hold its
// projection; its POSIX-derived DACL when they have drifted (so that a later write repairs
// them) or when nothing on its chain is stored.
os::Result<Acl> readDacl(const os::SecurityObject& object);

// What the store keeps of a DACL written protected or not: without protection, the entries
// marked inherited are left out (they are derived from the parent); with it, they are kept as
// explicit entries. A null DACL stays null.
Acl explicitEntries(const Acl& dacl, bool daclProtected);

// Stores `explicitDacl` (explicitEntries) with the protected flag for the object and refreshes
// the POSIX ACL projection of the object and of every descendant that inherits from it
// (descendants with a protected descriptor and what lies below them are left alone). A
// non-directory with more than one link is never changed: its path is returned, and the write
// goes on with the rest. Fails with the code of the first object that cannot be changed.
os::Result<std::vector<std::u16string>> writeDacl(os::SecurityObject& object,
                                                  const Acl& explicitDacl, bool daclProtected);

// Drift repair: the POSIX ACL projection of the object and of every object below it (protected
// ones included, each from the DACL that governs it) is compared with what the stored
// descriptors make it, reading only, and rewritten where it differs; descriptors are not
// written. Hard-linked files are passed over and returned. When neither the object nor an
// ancestor has a stored descriptor, only the subtrees of descendants that have one are repaired
// (every other object keeps its POSIX ACLs).
os::Result<std::vector<std::u16string>> repairProjection(os::SecurityObject& object);

} // namespace RunTime
