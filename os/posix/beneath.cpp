// Opening host paths: confinement below a directory, openat2 and its fallback.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "os/files.h"
#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/walker.h"

namespace os {
namespace {

thread_local ConfinedScope* innermost = nullptr;

// The components of a host path, without empty and "." components.
std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == path.npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) text += '/';
    text += parts[i];
  }
  return text;
}

// The innermost scope that holds the absolute path, and the path's part below it.
const ConfinedScope* confinementOf(const std::vector<std::string>& parts, std::string& below) {
  for (const ConfinedScope* scope = innermost; scope; scope = scope->previous()) {
    const std::vector<std::string>& root = scope->components();
    if (root.size() <= parts.size() && std::equal(root.begin(), root.end(), parts.begin())) {
      below = joined(parts, root.size(), parts.size());
      return scope;
    }
  }
  return nullptr;
}

} // namespace

ConfinedScope::ConfinedScope(std::u16string_view directory) {
  Result<std::string> host = hostPath(directory);
  if (!host.ok()) {
    code_ = host.code();
    return;
  }
  if (!host.value().starts_with('/')) {
    code_ = err::badPathName;
    return;
  }
  fd_ = open(host.value().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    code_ = posix::win32FromErrno(errno);
    return;
  }
  components_ = pathComponents(host.value());
  previous_ = innermost;
  innermost = this;
}

ConfinedScope::~ConfinedScope() {
  if (fd_ < 0) return;
  innermost = previous_;
  close(fd_);
}

namespace posix {

int openHostPath(const std::string& hostPath, int flags, mode_t mode) {
  if (hostPath.starts_with('/')) {
    std::string below;
    if (const ConfinedScope* scope = confinementOf(pathComponents(hostPath), below))
      return openBeneath(scope->descriptor(), below, flags, mode);
  }
  return open(hostPath.c_str(), flags | O_CLOEXEC, mode);
}

bool openParent(const std::string& hostPath, ParentAndName& out) {
  std::vector<std::string> parts = pathComponents(hostPath);
  const bool absolute = hostPath.starts_with('/');
  std::string parent;
  if (parts.empty()) {
    parent = absolute ? "/" : ".";
    out.name = ".";
  } else {
    out.name = parts.back();
    parent = (absolute ? "/" : "") + joined(parts, 0, parts.size() - 1);
    if (parent.empty()) parent = ".";
  }
  out.parent.reset(openHostPath(parent, O_PATH | O_DIRECTORY, 0));
  return out.parent.valid();
}

int openBeneath(int base, std::string_view relative, int flags, mode_t mode) {
  if (relative.empty()) return openat(base, ".", flags | O_CLOEXEC, mode);
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const std::string path(relative);
  long fd = syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
  if (fd < 0 && errno == ENOSYS) return openBeneathByComponents(base, relative, flags, mode);
  return static_cast<int>(fd);
}

int openBeneathByComponents(int base, std::string_view relative, int flags, mode_t mode) {
  std::vector<std::string> parts = pathComponents(relative);
  if (parts.empty()) return openat(base, ".", flags | O_CLOEXEC, mode);
  Fd current;
  int at = base;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "..") {
      errno = EXDEV;
      return -1;
    }
    const bool last = i + 1 == parts.size();
    int fd = last ? openat(at, parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
                  : openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      // A link met with O_PATH | O_DIRECTORY says "not a directory"; report it as openat2 does.
      int error = errno;
      struct stat st;
      if (error == ENOTDIR && fstatat(at, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode))
        error = ELOOP;
      errno = error;
      return -1;
    }
    if (last) return fd;
    current.reset(fd);
    at = fd;
  }
  return -1;
}

} // namespace posix
} // namespace os
