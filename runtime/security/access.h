// RunTime::Access: the DACL and owner of files and directories, and the privileges and groups
// of the calling thread.
//
// Objects are named by Windows-syntax paths or by handles (open descriptors). DACLs live in the
// descriptor store and act through their POSIX ACL projection (stored_security.h). Every write
// also refreshes the projection of the descendants that inherit from the object; a
// non-directory with more than one link is never changed, and the write operations return the
// paths they passed over, for the caller to warn about each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/security/model/acl.h"

namespace RunTime::Access {

// Object types; files and directories are the only securable objects here (others fail with
// the operation's message and error 50).
enum ObjectType : std::uint32_t {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT = 1,
  SE_SERVICE = 2,
  SE_PRINTER = 3,
  SE_REGISTRY_KEY = 4,
  SE_LMSHARE = 5,
  SE_KERNEL_OBJECT = 6,
};

// Writes the cleaned copy of the ACL as a protected DACL. By name, a write refused with error 5
// takes the object over (setOwner) and is tried once more. OS errors "Unable to set the object
// security info" and "Unable to set the object (%s) security info".
std::vector<std::u16string> setSecurity(int handle, ObjectType type, const Acl& acl);
std::vector<std::u16string> setSecurity(const std::u16string& name, ObjectType type,
                                        const Acl& acl);

// The ACL without the entries whose SID no account has any more (lookup error 1332); entries
// whose lookup fails otherwise stay.
Acl cleanedCopy(const Acl& acl);

// Makes the default owner of the calling thread's token (the user it acts as) the object's
// owner, after enabling "SeTakeOwnershipPrivilege" when the thread holds it. OS error "Unable
// to set the object (%s) owner".
void setOwner(const std::u16string& name, ObjectType type);

// OS error "Unable to adjust privilege (%s)" for a privilege unknown or not held.
void enablePrivilege(const std::u16string& name);
// OS error 1313 "The privilege (%s) is not found" for a name the host does not know.
bool privilegeExist(const std::u16string& name);

} // namespace RunTime::Access
