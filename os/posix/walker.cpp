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

using Flow = TreeVisitor::Flow;

// One walk: the branch being walked, as a stack of levels beside the stack of their
// descriptors. A level keeps its own entry (its name) and the subdirectories still to walk.
class Walk : public WalkBranch {
public:
  Walk(int parentFd, TreeVisitor& visitor) : directories_(parentFd), visitor_(visitor) {}

  bool run(const std::string& name) {
    if (!descend({name, WalkEntry::Kind::directory, 0, true})) return false;
    while (!levels_.empty()) {
      Level& top = levels_.back();
      if (!top.children.empty()) {
        WalkEntry child = std::move(top.children.back());
        top.children.pop_back();
        if (!descend(std::move(child))) return false;
        continue;
      }
      const WalkEntry self = std::move(top.self);
      levels_.pop_back();
      const int depth = static_cast<int>(levels_.size()) - 1;
      if (int error = directories_.pop()) {
        visitor_.cannotReturn(relative(depth), error);
        return false;
      }
      if (visitor_.leaveDirectory({directories_.top(), depth, *this}, self) == Flow::stop)
        return false;
    }
    return true;
  }

  std::string relative(int depth) const override {
    std::string path;
    for (int i = 1; i <= depth; ++i) {
      if (i > 1) path += '/';
      path += levels_[static_cast<std::size_t>(i)].self.name;
    }
    return path;
  }

private:
  struct Level {
    WalkEntry self;
    std::vector<WalkEntry> children; // still to walk, the next one last
  };

  // Opens and lists the directory `name` of fd; 0 or the errno of the failure.
  static int read(int fd, const std::string& name, Fd& directory, DirectoryIdentity& identity,
                  std::vector<WalkEntry>& entries) {
    entries.clear();
    directory.reset(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) return errno;
    int error = identify(directory.get(), identity);
    if (!error) error = listEntries(directory.get(), entries);
    if (error) directory.reset();
    return error;
  }

  // Steps 1 to 3 for the entry, a subdirectory of the deepest level; false when the walk stops.
  bool descend(WalkEntry entry) {
    const int parentDepth = static_cast<int>(levels_.size()) - 1;
    const WalkDirectory parent{directories_.top(), parentDepth, *this};
    Fd fd;
    DirectoryIdentity identity;
    std::vector<WalkEntry> entries;
    for (;;) {
      int error = read(parent.fd, entry.name, fd, identity, entries);
      if (error == 0) break;
      switch (visitor_.cannotRead(parent, entry, error)) {
      case TreeVisitor::Recovery::retry: continue;
      case TreeVisitor::Recovery::skip: return true;
      case TreeVisitor::Recovery::stop: return false;
      }
    }
    if (parentDepth < 0) rootMount_ = identity.mount;
    else if (identity.mount != rootMount_) return visitor_.mountPoint(parent, entry) == Flow::proceed;
    directories_.push(std::move(fd), identity);
    levels_.push_back({std::move(entry), {}});
    Level& level = levels_.back();
    const WalkDirectory self{directories_.top(), parentDepth + 1, *this};
    if (visitor_.enterDirectory({directories_.aboveTop(), parentDepth, *this}, level.self, self) ==
        Flow::stop)
      return false;
    if (visitor_.visitEntries(self, entries) == Flow::stop) return false;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
      if (it->descend) level.children.push_back(std::move(*it));
    return true;
  }

  DirectoryStack directories_;
  std::deque<Level> levels_;
  std::uint64_t rootMount_ = 0;
  TreeVisitor& visitor_;
};

} // namespace

void DirectoryStack::push(Fd fd, const DirectoryIdentity& identity) {
  levels_.push_back({std::move(fd), identity});
  if (levels_.size() - firstOpen_ > maxOpen_) levels_[firstOpen_++].fd.reset();
}

int DirectoryStack::pop() {
  const Level done = std::move(levels_.back());
  levels_.pop_back();
  if (levels_.empty() || levels_.size() - 1 >= firstOpen_) return 0;
  // The directory above was closed on the way down: its ".." seen from here, if it is still the
  // same directory.
  Fd above(openat(done.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!above.valid()) return errno;
  DirectoryIdentity identity;
  if (int error = identify(above.get(), identity)) return error;
  Level& top = levels_.back();
  if (identity.device != top.identity.device || identity.inode != top.identity.inode)
    return ENOENT;
  top.fd = std::move(above);
  firstOpen_ = levels_.size() - 1;
  return 0;
}

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
  return Walk(parentFd, visitor).run(name);
}

} // namespace os::posix
