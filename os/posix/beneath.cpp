// Resolving host paths: safely from "/", beneath a directory with openat2 and its fallback.
#include "os/posix/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

namespace os::posix {
namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit

// Whether an object of this owner may be trusted by the process: root's, or the process's own.
bool trustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

// Whether the directory `dir` (as fstat saw it) may hold a link the resolver follows: only a
// trusted owner may change its entries. Group write counts unless the group is root's (with an
// ACL the group bits are its mask, so a named entry with write shows there too).
bool holdsTrustedLinks(const struct stat& dir) {
  return trustedOwner(dir.st_uid) && !(dir.st_mode & S_IWOTH) &&
         (!(dir.st_mode & S_IWGRP) || dir.st_gid == 0);
}

// Whether going from the directory `from` to its entry `to` is safe: a directory of a user the
// process does not trust leads only to that user's own objects. Anything else there was put by
// someone else and moved in by the user (a rename needs only the directory's write right).
bool safeTransition(const struct stat& from, const struct stat& to) {
  return trustedOwner(from.st_uid) || from.st_uid == to.st_uid;
}

// The directory the resolver stands in, and what fstat said of it.
struct Position {
  Fd fd;
  struct stat st{};
};

int startOf(std::string_view path, Position& at) {
  at.fd.reset(open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!at.fd.valid() || fstat(at.fd.get(), &at.st) != 0) return errno;
  return 0;
}

// The text of the link `name` in dir.
int readLink(int dir, const std::string& name, std::string& target) {
  target.assign(256, '\0');
  for (;;) {
    ssize_t n = readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return 0;
    }
    target.resize(target.size() * 2);
  }
}

// Replaces the link `name` of at by its target: the target's components go in front of those
// still to resolve, and an absolute target starts again from "/".
int followLink(Position& at, const std::string& name, int& links, std::deque<std::string>& todo) {
  if (!holdsTrustedLinks(at.st)) return kUnsafePath;
  if (++links > kMaxLinks) return ELOOP;
  std::string target;
  if (int error = readLink(at.fd.get(), name, target)) return error;
  if (target.starts_with('/'))
    if (int error = startOf(target, at)) return error;
  std::deque<std::string> parts = hostComponents(target);
  todo.insert(todo.begin(), parts.begin(), parts.end());
  return 0;
}

// Opens the directory `name` of at and stands in it.
int enter(Position& at, const std::string& name) {
  Position next;
  next.fd.reset(openat(at.fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!next.fd.valid()) return errno; // ELOOP when it became a link since
  if (fstat(next.fd.get(), &next.st) != 0) return errno;
  if (!safeTransition(at.st, next.st)) return kUnsafePath;
  at = std::move(next);
  return 0;
}

// The kernel's resolution beneath base: no link followed, no mount crossed, nothing above base
// reached. -1 with errno set (ENOSYS where the kernel lacks openat2).
int openInKernel(int base, const std::string& path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  return static_cast<int>(syscall(SYS_openat2, base, path.c_str(), &how, sizeof how));
}

// The same one component at a time, for kernels without openat2. -1 with errno set.
int openByComponents(int base, const std::deque<std::string>& parts, int flags, mode_t mode) {
  if (parts.empty()) return openat(base, ".", flags | O_CLOEXEC, mode);
  Fd current;
  int at = base;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    Fd fd(last ? openat(at, parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
               : openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return -1;
    // With O_PATH and no O_NOFOLLOW openat2 refuses a link in the last component (it would
    // follow it); opened here with O_NOFOLLOW, O_PATH gives the link itself.
    struct stat st;
    if (last && (flags & O_PATH) && !(flags & O_NOFOLLOW) && fstat(fd.get(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
    if (onOtherMount(base, fd.get())) {
      errno = EXDEV;
      return -1;
    }
    if (last) return fd.release();
    current = std::move(fd);
    at = current.get();
  }
  return -1;
}

// What made a resolution fail with ELOOP or ENOTDIR (both engines report a link so, or a
// non-directory on the way): looked at again one component at a time, a link in the last
// component when it is the caller's target is ELOOP (a link acted on, never followed), a link
// anywhere else is refused (kUnsafePath); otherwise the error stays.
int linkFailure(int base, const std::deque<std::string>& parts, bool lastIsTarget, int error) {
  Fd current;
  int at = base;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    struct stat st;
    if (fstatat(at, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return error;
    if (S_ISLNK(st.st_mode)) return last && lastIsTarget ? ELOOP : kUnsafePath;
    if (last) return error;
    current.reset(openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!current.valid()) return error;
    at = current.get();
  }
  return error;
}

} // namespace

std::deque<std::string> hostComponents(std::string_view path) {
  std::deque<std::string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == path.npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

int locateSafely(std::string_view hostPath, bool followLast, Located& out) {
  Position at;
  if (int error = startOf(hostPath, at)) return error;
  std::deque<std::string> todo = hostComponents(hostPath);
  int links = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    struct stat st;
    const bool last = todo.empty();
    if (fstatat(at.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Only a missing intermediate directory is a failure here; the caller acts on the last.
      if (last) {
        out = {std::move(at.fd), std::move(name)};
        return 0;
      }
      return errno;
    }
    if (S_ISLNK(st.st_mode) && (!last || followLast)) {
      if (int error = followLink(at, name, links, todo)) return error;
      continue;
    }
    if (last) {
      // A link acted on as itself harms nothing; any other object must be a safe step.
      if (!S_ISLNK(st.st_mode) && !safeTransition(at.st, st)) return kUnsafePath;
      out = {std::move(at.fd), std::move(name)};
      return 0;
    }
    if (int error = enter(at, name)) return error;
  }
  // "/" itself, the working directory, or a link that led to one of them.
  out = {std::move(at.fd), "."};
  return 0;
}

int openSafely(std::string_view hostPath, int flags, mode_t mode, Fd& out) {
  Located where;
  if (int error = locateSafely(hostPath, !(flags & O_NOFOLLOW), where)) return error;
  out.reset(openat(where.parent.get(), where.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!out.valid()) return errno;
  // What was opened is judged again: it may have been swapped since the resolver looked.
  struct stat parent, opened;
  if (fstat(where.parent.get(), &parent) != 0 || fstat(out.get(), &opened) != 0) return errno;
  if (where.name != "." && !safeTransition(parent, opened)) {
    out.reset();
    return kUnsafePath;
  }
  return 0;
}

int resolveBeneath(int base, std::string_view relative, Want want, int flags, mode_t mode,
                   Located& out) {
  std::deque<std::string> parts = hostComponents(relative);
  for (const std::string& part : parts)
    if (part == "..") return EXDEV;
  std::string name = ".";
  if (want == Want::parent) {
    if (!parts.empty()) {
      name = std::move(parts.back());
      parts.pop_back();
    }
    flags = O_PATH | O_DIRECTORY;
    mode = 0;
  }
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  Fd fd(path.empty() ? openat(base, ".", flags | O_CLOEXEC, mode)
                     : openInKernel(base, path, flags, mode));
  if (!fd.valid() && errno == ENOSYS) fd.reset(openByComponents(base, parts, flags, mode));
  if (!fd.valid())
    return errno == ELOOP || errno == ENOTDIR
               ? linkFailure(base, parts, want == Want::object, errno)
               : errno;
  out = {std::move(fd), std::move(name)};
  return 0;
}

int identify(int fd, DirectoryIdentity& identity) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &st) != 0) return errno;
  identity.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  identity.inode = st.stx_ino;
  identity.mount = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : identity.device;
  return 0;
}

bool onOtherMount(int base, int object) {
  DirectoryIdentity a, b;
  return identify(base, a) != 0 || identify(object, b) != 0 || a.mount != b.mount;
}

} // namespace os::posix
