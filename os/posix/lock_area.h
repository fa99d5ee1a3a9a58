// Lock files that no other account can hold.
//
// Why: flock needs nothing but an open descriptor, whatever the descriptor's access, so a lock
// file that another account can open (or could open once, and kept open) is a lock it can hold
// for ever, and one it can create, replace or link into place is one it holds before the tool
// comes. So a lock file belongs to the effective user with mode 0600 and sits in a directory
// that only the effective user can write; it is opened relative to that directory's descriptor,
// without following a link and without blocking on what is not a regular file.
#pragma once

#include <string>

#include "os/error.h"
#include "os/posix/fd.h"

namespace os::posix {

// Opens the directory `path` as a lock directory, making it (one level) when missing. It must
// belong to the effective user; a looser mode than 0755 (the world-writable sticky mode earlier
// versions gave the named mutexes' directory) is narrowed to 0755 through the opened
// descriptor. A directory of another user, a link or a non-directory is refused with 5 and left
// as it is.
Result<Fd> openLockDirectory(const std::string& path);

// Opens the lock file `name` of the lock directory `directory` (whose path is `directoryPath`,
// for removing a tree in its place) for reading and writing, creating it with mode 0600 when
// missing. An entry of that name that is anything else than a regular file of the effective
// user with mode 0600 and one link — one that another account made, may have opened, or linked
// there — is removed and the file made anew (O_EXCL); such an entry is never waited on.
// Returns the Win32 code of a failure.
Result<Fd> openLockFile(int directory, const std::string& directoryPath, const std::string& name);

} // namespace os::posix
