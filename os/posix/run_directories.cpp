#include "os/run_directories.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// The names of the real directories in the directory open at fd (which the listing takes over).
std::vector<std::string> subdirectories(int fd) {
  std::vector<std::string> names;
  Dir dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (name != "." && name != ".." && ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode))
      names.push_back(name);
  }
  return names;
}

bool ownedBy(int dir, const std::string& name, std::uint32_t uid) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
}

} // namespace

std::vector<std::u16string> siteDirectoriesOf(std::u16string_view sites, std::uint32_t uid) {
  std::vector<std::u16string> found;
  Result<std::string> host = hostPath(sites);
  if (!host.ok()) return found;
  posix::Fd base(::open(host.value().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base) return found;
  const int listed = ::dup(base.get());
  if (listed < 0) return found;
  for (const std::string& site : subdirectories(listed)) {
    bool ours = ownedBy(base.get(), site, uid);
    const int inner = ::openat(base.get(), site.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!ours && inner >= 0) {
      posix::Fd top(::dup(inner));
      for (const std::string& name : subdirectories(inner)) ours = ours || ownedBy(top.get(), name, uid);
    } else if (inner >= 0) {
      ::close(inner);
    }
    if (ours) found.push_back(utf16FromUtf8(host.value() + "/" + site));
  }
  return found;
}

Result<std::u16string> makePrivateTemporaryDirectory(std::uint32_t uid, std::uint32_t gid) {
  std::string path = "/tmp/tavrix-run-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) return Result<std::u16string>::failure(posix::win32FromErrno(errno));
  posix::Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir || ::fchown(dir.get(), uid, gid) != 0 || ::fchmod(dir.get(), 0700) != 0) {
    const std::uint32_t rc = posix::win32FromErrno(errno);
    (void)::rmdir(path.c_str());
    return Result<std::u16string>::failure(rc);
  }
  return utf16FromUtf8(path);
}

} // namespace os
