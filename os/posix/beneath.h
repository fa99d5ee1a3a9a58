// Resolving host paths without following a link that a site user could plant.
//
// Why: tavrix runs as root in trees that site users control. A full path is resolved one
// component at a time from a directory descriptor, by safe steps only: from a directory whose
// owner the process does not trust (anyone but root and the process's own user) the walk goes
// on only to objects of that same owner, and a link is followed only where it stands in a
// directory that no untrusted user can change. Whoever owns the link does not matter: a site user
// can rename a link that root made into any path of its own tree. Below a root (os/root.h) no
// link is followed at all.
//
// Every function here returns 0 or the errno of the failure (kUnsafePath for an unsafe step);
// descriptors are O_CLOEXEC.
#pragma once

#include <sys/types.h>

#include <cerrno>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "os/posix/fd.h"

namespace os::posix {

// The failure of a step the resolver refuses as unsafe. No call the resolver makes fails with
// ENOLINK otherwise, so the errno can carry it to the one place that maps errnos.
inline constexpr int kUnsafePath = ENOLINK;

// The components of a host path, without empty and "." ones.
std::deque<std::string> hostComponents(std::string_view path);

// Where an operation acts: a directory (opened with O_PATH) and the name of an entry in it
// ("." for the directory itself).
struct Located {
  Fd parent;
  std::string name;
};

// The host path up to its last component, resolved from "/" (or the working directory for a
// relative path). Each directory is opened from the one before with O_NOFOLLOW and must be a
// safe step; a link met on the way is followed only from a directory that no untrusted user can
// change (kUnsafePath otherwise; ELOOP after 40 links). With followLast a link in the last
// component is followed by the same rule, and name is what it finally leads to. The last
// component itself is not opened; when it exists and is not a link it must be a safe step too.
int locateSafely(std::string_view hostPath, bool followLast, Located& out);

// Opens a host path by locateSafely's rules: O_NOFOLLOW in flags refuses a link in the last
// component (ELOOP), else a safe link there is followed. The object opened is checked to be a
// safe step from its directory.
int openSafely(std::string_view hostPath, int flags, mode_t mode, Fd& out);

// The entry `relative` names beneath the directory base (host form, "/"-separated): its
// parent opened with openBeneath, and its last component. A ".." component fails with EXDEV;
// an empty path names base itself (".").
int locateBeneath(int base, std::string_view relative, Located& out);

// Opens `relative` beneath the directory `base` with openat2(RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV): a symbolic link in any
// component fails with ELOOP, a path that would leave base or cross a mount point with EXDEV.
// Where the kernel lacks openat2 it falls back to openBeneathByComponents. An empty relative
// path reopens base itself. Returns the descriptor, or -1 with errno set.
int openBeneath(int base, std::string_view relative, int flags, mode_t mode = 0);

// The fallback: one component at a time, each directory with O_PATH | O_DIRECTORY | O_NOFOLLOW
// and the last one with flags | O_NOFOLLOW, each checked to be on base's mount. A ".."
// component fails with EXDEV (after any earlier component could have been moved, ".." no
// longer proves where it leads).
int openBeneathByComponents(int base, std::string_view relative, int flags, mode_t mode = 0);

// What an open directory is, to find it again: its device and inode, and its mount (the
// kernel's mount id where it gives one, else the device). 0 or errno.
struct DirectoryIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t mount = 0;
};
int identify(int fd, DirectoryIdentity& identity);

// Whether an open object lies on another mount than the directory `base` (a mount point met
// below it, or what cannot be looked at).
bool onOtherMount(int base, int object);

} // namespace os::posix
