// The locks that other processes hold on files, from /proc/locks: what makes a file "in use".
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace os::posix {

class LockTable {
public:
  // The locks held now (flock, POSIX and OFD record locks, leases; waiters left out), without
  // those of the calling process. Empty when /proc/locks cannot be read.
  static LockTable read();
  // A table of the given /proc/locks text, as seen by the process `self`.
  static LockTable parse(const std::string& text, pid_t self);

  bool empty() const { return locks_.empty(); }
  bool locked(dev_t device, ino_t inode) const;
  // The processes holding locks on the file, as "name (pid)", each once. A lock whose holder
  // is not known (an OFD lock, or a flock whose process is gone while a child keeps the
  // descriptor) is traced to the processes that have the file open.
  std::vector<std::u16string> holders(dev_t device, ino_t inode) const;

private:
  struct Lock {
    dev_t device;
    ino_t inode;
    pid_t pid; // -1 when unknown
    bool operator<(const Lock& o) const {
      return device != o.device ? device < o.device : inode < o.inode;
    }
  };
  std::vector<Lock> locks_; // sorted by device and inode
  pid_t self_ = 0;
};

} // namespace os::posix
