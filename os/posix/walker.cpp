#include "os/posix/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace os::posix {
namespace {

WalkEntry::Kind kindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return WalkEntry::Kind::file;
  if (S_ISDIR(mode)) return WalkEntry::Kind::directory;
  if (S_ISLNK(mode)) return WalkEntry::Kind::link;
  return WalkEntry::Kind::other;
}

WalkEntry::Kind kindOf(int dirFd, const dirent& d) {
  switch (d.d_type) {
  case DT_REG: return WalkEntry::Kind::file;
  case DT_DIR: return WalkEntry::Kind::directory;
  case DT_LNK: return WalkEntry::Kind::link;
  case DT_UNKNOWN: {
    struct stat st;
    if (fstatat(dirFd, d.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) return kindOfMode(st.st_mode);
    return WalkEntry::Kind::other;
  }
  default: return WalkEntry::Kind::other;
  }
}

bool isDots(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}


// Opens the directory `name` of parentFd and lists it; 0 or the errno of the failure.
int readDirectory(int parentFd, const std::string& name, Fd& directory,
                  std::vector<WalkEntry>& entries) {
  entries.clear();
  directory.reset(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) return errno;
  int error = listEntries(directory.get(), entries);
  if (error) directory.reset();
  return error;
}

bool walkDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                   const std::string& relative, TreeVisitor& visitor) {
  Fd directory;
  std::vector<WalkEntry> entries;
  for (;;) {
    int error = readDirectory(parent.fd, entry.name, directory, entries);
    if (error == 0) break;
    TreeVisitor::Recovery recovery = visitor.cannotRead(parent, entry, error);
    if (recovery == TreeVisitor::Recovery::stop) return false;
    if (recovery == TreeVisitor::Recovery::asEmpty) break;
  }
  if (directory.valid()) {
    const WalkDirectory self{directory.get(), relative, parent.depth + 1};
    if (visitor.enterDirectory(parent, entry, self) == TreeVisitor::Flow::stop) return false;
    if (visitor.visitEntries(self, entries) == TreeVisitor::Flow::stop) return false;
    for (const WalkEntry& child : entries)
      if (child.descend && !walkDirectory(self, child, joinRelative(relative, child.name), visitor))
        return false;
    directory.reset();
  }
  return visitor.leaveDirectory(parent, entry) == TreeVisitor::Flow::proceed;
}

} // namespace

int listEntries(int fd, std::vector<WalkEntry>& entries) {
  Fd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy) return errno;
  DirStream stream = openDirStream(std::move(copy));
  if (!stream) return errno;
  for (;;) {
    errno = 0;
    const dirent* d = readdir(stream.get());
    if (!d) return errno;
    if (isDots(d->d_name)) continue;
    entries.push_back({d->d_name, kindOf(fd, *d), d->d_ino, false});
  }
}

TreeVisitor::Flow TreeVisitor::enterDirectory(const WalkDirectory&, const WalkEntry&,
                                              const WalkDirectory&) {
  return Flow::proceed;
}

TreeVisitor::Flow TreeVisitor::leaveDirectory(const WalkDirectory&, const WalkEntry&) {
  return Flow::proceed;
}

std::string joinRelative(const std::string& relative, const std::string& name) {
  return relative.empty() ? name : relative + "/" + name;
}

bool walkTree(int parentFd, const std::string& name, TreeVisitor& visitor) {
  static const std::string none;
  const WalkDirectory parent{parentFd, none, -1};
  const WalkEntry root{name, WalkEntry::Kind::directory, 0, true};
  return walkDirectory(parent, root, none, visitor);
}

} // namespace os::posix
