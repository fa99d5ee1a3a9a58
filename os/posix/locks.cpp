#include "os/posix/locks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/posix/fd.h"
#include "os/text.h"

namespace os::posix {
namespace {

// "fd:01:1234" (major and minor in hexadecimal, the inode in decimal).
bool parseFileId(const std::string& text, dev_t& device, ino_t& inode) {
  unsigned major = 0, minor = 0;
  unsigned long long number = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%x:%x:%llu%c", &major, &minor, &number, &tail) != 3) return false;
  device = makedev(major, minor);
  inode = static_cast<ino_t>(number);
  return true;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The process's command name, or nothing when the process is gone.
std::string processName(pid_t pid) {
  std::string name = readText("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool isNumber(const char* text) {
  if (!*text) return false;
  for (; *text; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

// Whether the process has a descriptor open on the file.
bool holdsOpen(pid_t pid, dev_t device, ino_t inode) {
  Fd fds(open(("/proc/" + std::to_string(pid) + "/fd").c_str(),
              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds.valid()) return false;
  DirStream stream = openDirStream(std::move(fds));
  if (!stream) return false;
  bool found = false;
  while (const dirent* d = readdir(stream.get())) {
    struct stat st;
    if (isNumber(d->d_name) && fstatat(dirfd(stream.get()), d->d_name, &st, 0) == 0 &&
        st.st_dev == device && st.st_ino == inode) {
      found = true;
      break;
    }
  }
  return found;
}

// The processes other than self that have the file open.
std::vector<pid_t> openers(dev_t device, ino_t inode, pid_t self) {
  std::vector<pid_t> pids;
  DirStream proc(opendir("/proc"));
  if (!proc) return pids;
  while (const dirent* d = readdir(proc.get())) {
    if (!isNumber(d->d_name)) continue;
    pid_t pid = static_cast<pid_t>(std::atol(d->d_name));
    if (pid != self && holdsOpen(pid, device, inode)) pids.push_back(pid);
  }
  return pids;
}

} // namespace

LockTable LockTable::read() { return parse(readText("/proc/locks"), getpid()); }

LockTable LockTable::parse(const std::string& text, pid_t self) {
  LockTable table;
  table.self_ = self;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; a waiter has "->" after the number.
    std::istringstream fields(line);
    std::string id, type, mode, access, pid, fileId;
    if (!(fields >> id >> type) || type == "->") continue;
    if (!(fields >> mode >> access >> pid >> fileId)) continue;
    Lock lock{};
    if (!parseFileId(fileId, lock.device, lock.inode)) continue;
    lock.pid = static_cast<pid_t>(std::atol(pid.c_str()));
    if (lock.pid <= 0) lock.pid = -1;
    if (lock.pid != self) table.locks_.push_back(lock);
  }
  std::sort(table.locks_.begin(), table.locks_.end());
  return table;
}

bool LockTable::locked(dev_t device, ino_t inode) const {
  return std::binary_search(locks_.begin(), locks_.end(), Lock{device, inode, 0});
}

std::vector<std::u16string> LockTable::holders(dev_t device, ino_t inode) const {
  auto [first, last] = std::equal_range(locks_.begin(), locks_.end(), Lock{device, inode, 0});
  std::vector<pid_t> pids;
  bool unknown = false;
  for (auto lock = first; lock != last; ++lock) {
    if (lock->pid > 0 && !processName(lock->pid).empty()) pids.push_back(lock->pid);
    else unknown = true;
  }
  if (unknown)
    for (pid_t pid : openers(device, inode, self_)) pids.push_back(pid);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  std::vector<std::u16string> names;
  for (pid_t pid : pids) {
    std::string name = processName(pid);
    if (!name.empty()) names.push_back(utf16FromUtf8(name + " (" + std::to_string(pid) + ")"));
  }
  return names;
}

} // namespace os::posix
