#include "os/posix/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace os::posix {
namespace {

WalkEntry::Kind kindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return WalkEntry::Kind::file;
  if (S_ISDIR(mode)) return WalkEntry::Kind::directory;
  if (S_ISLNK(mode)) return WalkEntry::Kind::link;
  return WalkEntry::Kind::other;
}

WalkEntry::Kind kindOf(int dirFd, const dirent64& d) {
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

// Where the listing of a directory goes on.
struct ListingPosition {
  off_t cookie = 0;   // the file system's position after the last entry taken
  bool ended = false; // the listing was read to its end
};

// Reads listings in batches through one buffer: only the deepest directory of a walk is read at
// a time.
class ListingReader {
public:
  // Reads the next batch of at most kListingBatch entries of the directory open as fd into
  // batch (emptied first); 0 or the errno of the failure. An empty batch ends the listing.
  // Each batch starts with a seek to the position: the last batch may have ended inside a read,
  // and the descriptor may have been closed and opened again since (DirectoryStack).
  int next(int fd, ListingPosition& position, std::vector<WalkEntry>& batch) {
    batch.clear();
    if (position.ended) return 0;
    if (lseek(fd, position.cookie, SEEK_SET) < 0) return errno;
    while (batch.size() < kListingBatch) {
      const ssize_t got = getdents64(fd, buffer_.data(), buffer_.size() * sizeof buffer_[0]);
      if (got < 0) return errno;
      if (got == 0) {
        position.ended = true;
        return 0;
      }
      for (ssize_t at = 0; at < got;) {
        if (batch.size() == kListingBatch) return 0; // the rest comes again with the next batch
        const auto* d =
            reinterpret_cast<const dirent64*>(reinterpret_cast<const char*>(buffer_.data()) + at);
        at += d->d_reclen;
        position.cookie = d->d_off;
        if (!isDots(d->d_name)) batch.push_back({d->d_name, kindOf(fd, *d), d->d_ino, false});
      }
    }
    return 0;
  }

private:
  std::vector<std::uint64_t> buffer_ = std::vector<std::uint64_t>(4096); // 32 KiB, aligned
};

using Flow = TreeVisitor::Flow;

// One walk: the branch being walked, as a stack of levels beside the stack of their
// descriptors. A level keeps its own entry (its name), where its listing goes on and the
// subdirectories of its current batch still to walk.
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
      } else if (!top.listing.ended) {
        if (!nextBatch(top)) return false;
      } else if (!leave()) {
        return false;
      }
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
    ListingPosition listing;
    std::vector<WalkEntry> children; // still to walk, the next one last
  };

  int depth() const { return static_cast<int>(levels_.size()) - 1; }

  // Opens the directory `name` of fd; 0 or the errno of the failure.
  static int open(int fd, const std::string& name, Fd& directory, DirectoryIdentity& identity) {
    directory.reset(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) return errno;
    const int error = identify(directory.get(), identity);
    if (error) directory.reset();
    return error;
  }

  // Steps 1 to 3 for the entry, a subdirectory of the deepest level; false when the walk stops.
  bool descend(WalkEntry entry) {
    const int parentDepth = depth();
    const WalkDirectory parent{directories_.top(), parentDepth, *this};
    Fd fd;
    DirectoryIdentity identity;
    ListingPosition listing;
    for (;;) {
      int error = open(parent.fd, entry.name, fd, identity);
      if (error == 0 && parentDepth >= 0 && identity.mount != rootMount_)
        return visitor_.mountPoint(parent, entry) == Flow::proceed;
      if (error == 0) {
        listing = {};
        error = reader_.next(fd.get(), listing, batch_);
      }
      if (error == 0) break;
      switch (visitor_.cannotRead(parent, entry, error)) {
      case TreeVisitor::Recovery::retry: continue;
      case TreeVisitor::Recovery::skip: return true;
      case TreeVisitor::Recovery::stop: return false;
      }
    }
    if (parentDepth < 0) rootMount_ = identity.mount;
    directories_.push(std::move(fd), identity);
    levels_.push_back({std::move(entry), listing, {}});
    Level& level = levels_.back();
    const WalkDirectory self{directories_.top(), parentDepth + 1, *this};
    if (visitor_.enterDirectory({directories_.aboveTop(), parentDepth, *this}, level.self, self) ==
        Flow::stop)
      return false;
    return visitBatch(level, self);
  }

  // Step 5: the next batch of the deepest level; false when the walk stops.
  bool nextBatch(Level& level) {
    const WalkDirectory self{directories_.top(), depth(), *this};
    if (int error = reader_.next(self.fd, level.listing, batch_)) {
      if (error != ENOENT) {
        visitor_.cannotReturn(relative(self.depth), error);
        return false;
      }
      level.listing.ended = true; // removed meanwhile, so empty
      return true;
    }
    return batch_.empty() || visitBatch(level, self);
  }

  bool visitBatch(Level& level, const WalkDirectory& self) {
    if (visitor_.visitEntries(self, batch_) == Flow::stop) return false;
    for (auto it = batch_.rbegin(); it != batch_.rend(); ++it)
      if (it->descend) level.children.push_back(std::move(*it));
    return true;
  }

  // Step 6 for the deepest level; false when the walk stops.
  bool leave() {
    const WalkEntry self = std::move(levels_.back().self);
    levels_.pop_back();
    if (int error = directories_.pop()) {
      visitor_.cannotReturn(relative(depth()), error);
      return false;
    }
    return visitor_.leaveDirectory({directories_.top(), depth(), *this}, self) == Flow::proceed;
  }

  DirectoryStack directories_;
  std::deque<Level> levels_;
  std::uint64_t rootMount_ = 0;
  TreeVisitor& visitor_;
  ListingReader reader_;
  std::vector<WalkEntry> batch_;
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
  ListingReader reader;
  ListingPosition position;
  std::vector<WalkEntry> batch;
  for (;;) {
    if (int error = reader.next(fd, position, batch)) return error;
    if (batch.empty()) return 0;
    for (WalkEntry& entry : batch) entries.push_back(std::move(entry));
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
