#include "os/posix/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Where a part of a walk handed over to another thread starts: below the directory at
// parentDepth whose relative path is parentRelative, at `position` in the walk's order, on the
// mount of the walk's root.
struct PartStart {
  int parentDepth = -1;
  std::string parentRelative;
  WalkPosition position;
  std::uint64_t rootMount = 0;
};

// One walk, or one part of a walk on several threads: the branch being walked, as a stack of
// levels beside the stack of their descriptors. A level keeps its own entry (its name), where its
// listing goes on and the subdirectories of its current batch still to walk.
class Walk : public WalkBranch {
public:
  Walk(int parentFd, TreeVisitor& visitor, WalkPool* pool, PartStart start = {})
      : directories_(parentFd, start.parentDepth < 0 ? DirectoryStack::kMaxOpen : kPartOpen),
        visitor_(visitor), pool_(pool), start_(std::move(start)), rootMount_(start_.rootMount) {}

  // Walks the directory `entry` of the parent and the tree below it; false when it stopped.
  // Returns once every part it handed over ended.
  bool run(WalkEntry entry) {
    const bool completed = walk(std::move(entry));
    return joinFrom(0) && completed;
  }

  std::string relative(int depth) const override {
    std::string path = start_.parentRelative;
    for (int d = std::max(1, start_.parentDepth + 1); d <= depth; ++d) {
      if (!path.empty()) path += '/';
      path += levels_[static_cast<std::size_t>(d - start_.parentDepth - 1)].self.name;
    }
    return path;
  }

  WalkPosition position() const override {
    WalkPosition position = start_.position;
    position.push_back(2 * handedOver_);
    return position;
  }

private:
  struct Level {
    WalkEntry self;
    ListingPosition listing;
    std::vector<WalkEntry> children; // still to walk, the next one last
  };

  // A subtree handed over to the pool, walked by a forked visitor.
  struct Part : WalkPool::Task {
    WalkPool* pool = nullptr;
    Fd parent; // the directory that holds it, until the part ended
    WalkEntry entry;
    PartStart start;
    std::unique_ptr<TreeVisitor> visitor;
    bool completed = false;

    void run() override {
      try {
        completed = Walk(parent.get(), *visitor, pool, start).run(std::move(entry));
      } catch (...) {
        pool->failedAt(start.position);
        throw;
      }
      parent.reset();
    }
  };

  struct HandedOver {
    std::shared_ptr<Part> part;
    std::size_t level; // the level whose directory held it
  };

  int depth() const { return start_.parentDepth + static_cast<int>(levels_.size()); }

  bool walk(WalkEntry root) {
    if (stopped() || !descend(std::move(root))) return false;
    while (!levels_.empty()) {
      if (stopped()) return false;
      Level& top = levels_.back();
      if (!top.children.empty()) {
        WalkEntry child = std::move(top.children.back());
        top.children.pop_back();
        if (pool_ && pool_->wantsWork() && handOver(child)) continue;
        if (!descend(std::move(child))) return false;
      } else if (!top.listing.ended) {
        if (!nextBatch(top)) return false;
      } else if (!leave()) {
        return false;
      }
    }
    return true;
  }

  // Whether a part of the walk failed before where this one stands: one thread would not have
  // got here.
  bool stopped() const { return pool_ && pool_->anyFailure() && pool_->stoppedBefore(position()); }

  // The walk stops at a failure where it stands; the parts after it need not go on.
  bool failed() {
    if (pool_) pool_->failedAt(position());
    return false;
  }

  // Opens the directory `name` of fd; 0 or the errno of the failure.
  static int open(int fd, const std::string& name, Fd& directory, DirectoryIdentity& identity) {
    directory.reset(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) return errno;
    const int error = identify(directory.get(), identity);
    if (error) directory.reset();
    return error;
  }

  // Hands the subdirectory `entry` of the deepest level over to the pool; false when the visitor
  // keeps it on this thread.
  bool handOver(WalkEntry& entry) {
    const WalkDirectory parent{directories_.top(), depth(), *this};
    std::unique_ptr<TreeVisitor> forked = visitor_.fork(parent, entry);
    if (!forked) return false;
    auto part = std::make_shared<Part>();
    part->parent.reset(fcntl(parent.fd, F_DUPFD_CLOEXEC, 0));
    if (!part->parent.valid()) return false;
    part->pool = pool_;
    part->entry = std::move(entry);
    part->start = {depth(), relative(depth()), start_.position, rootMount_};
    part->start.position.push_back(2 * handedOver_ + 1);
    part->visitor = std::move(forked);
    ++handedOver_;
    handed_.push_back({part, levels_.size() - 1});
    pool_->submit(std::move(part));
    return true;
  }

  // Waits for the parts handed over from the index on, takes in what they found and forgets
  // them; false when one of them stopped.
  bool joinFrom(std::size_t first) {
    bool completed = true;
    for (std::size_t i = first; i < handed_.size(); ++i) {
      Part& part = *handed_[i].part;
      pool_->await(part);
      visitor_.join(*part.visitor);
      completed = completed && part.completed;
    }
    handed_.resize(first);
    return completed;
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
        return visitor_.mountPoint(parent, entry) == Flow::proceed || failed();
      if (error == 0) {
        listing = {};
        error = reader_.next(fd.get(), listing, batch_);
      }
      if (error == 0) break;
      switch (visitor_.cannotRead(parent, entry, error)) {
      case TreeVisitor::Recovery::retry: continue;
      case TreeVisitor::Recovery::skip: return true;
      case TreeVisitor::Recovery::stop: return failed();
      }
    }
    if (parentDepth < 0) rootMount_ = identity.mount;
    if (pool_) pool_->entered();
    directories_.push(std::move(fd), identity);
    levels_.push_back({std::move(entry), listing, {}});
    Level& level = levels_.back();
    const WalkDirectory self{directories_.top(), parentDepth + 1, *this};
    if (visitor_.enterDirectory({directories_.aboveTop(), parentDepth, *this}, level.self, self) ==
        Flow::stop)
      return failed();
    return visitBatch(level, self);
  }

  // Step 5: the next batch of the deepest level; false when the walk stops.
  bool nextBatch(Level& level) {
    const WalkDirectory self{directories_.top(), depth(), *this};
    if (int error = reader_.next(self.fd, level.listing, batch_)) {
      if (error != ENOENT) {
        visitor_.cannotReturn(*this, relative(self.depth), error);
        return failed();
      }
      level.listing.ended = true; // removed meanwhile, so empty
      return true;
    }
    return batch_.empty() || visitBatch(level, self);
  }

  bool visitBatch(Level& level, const WalkDirectory& self) {
    if (visitor_.visitEntries(self, batch_) == Flow::stop) return failed();
    for (auto it = batch_.rbegin(); it != batch_.rend(); ++it)
      if (it->descend) level.children.push_back(std::move(*it));
    return true;
  }

  // Step 6 for the deepest level, once the parts handed over from it ended; false when the walk
  // stops.
  bool leave() {
    std::size_t first = handed_.size();
    while (first > 0 && handed_[first - 1].level == levels_.size() - 1) --first;
    if (!joinFrom(first)) return false; // a part stopped where it failed, or before
    const WalkEntry self = std::move(levels_.back().self);
    levels_.pop_back();
    if (int error = directories_.pop()) {
      visitor_.cannotReturn(*this, relative(depth()), error);
      return failed();
    }
    return visitor_.leaveDirectory({directories_.top(), depth(), *this}, self) == Flow::proceed ||
           failed();
  }

  DirectoryStack directories_;
  std::deque<Level> levels_;
  TreeVisitor& visitor_;
  WalkPool* pool_;
  const PartStart start_;
  std::uint64_t rootMount_;
  std::uint32_t handedOver_ = 0;
  std::vector<HandedOver> handed_; // parts not joined yet, in the order they were handed over
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

std::unique_ptr<TreeVisitor> TreeVisitor::fork(const WalkDirectory&, const WalkEntry&) {
  return nullptr;
}

void TreeVisitor::join(TreeVisitor&) {}

bool walkTree(int parentFd, const std::string& name, TreeVisitor& visitor) {
  const std::size_t threads = WalkPool::configuredThreads();
  if (threads == 1) return Walk(parentFd, visitor, nullptr).run({name, WalkEntry::Kind::directory, 0, true});
  WalkPool pool(threads);
  return Walk(parentFd, visitor, &pool).run({name, WalkEntry::Kind::directory, 0, true});
}

} // namespace os::posix
