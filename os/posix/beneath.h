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

// The one resolver of paths beneath a directory (a Root's): `relative` is in host form
// ("/"-separated, "." and ".." already resolved by their text, os::relativeHostPath), and is
// resolved beneath base with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
// RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV), or where the kernel lacks openat2 one component at
// a time (each directory with O_PATH | O_DIRECTORY | O_NOFOLLOW, each checked to be on base's
// mount). It never walks "..": a ".." component fails with EXDEV (after any earlier component
// could have been moved, ".." no longer proves where it leads).
//
// What the caller wants:
//   - object: the object itself, opened with flags; a link as the last component fails with
//     ELOOP (only O_PATH | O_NOFOLLOW gives the link itself); out.parent is that descriptor and
//     out.name ".";
//   - parent: the directory the last component stands in (O_PATH) and that component's name,
//     for what acts on the name itself: describing, removing, creating, taking over. An empty
//     path names base itself ("." in a reopened base).
// A link met in any other component is refused with kUnsafePath; a path that crosses a mount
// point fails with EXDEV, a missing component with ENOENT, a non-directory on the way with
// ENOTDIR. Returns 0 or the errno.
enum class Want { object, parent };
int resolveBeneath(int base, std::string_view relative, Want want, int flags, mode_t mode,
                   Located& out);

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
