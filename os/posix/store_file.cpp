// Store files in directories a site user can change: opened from their directory's descriptor,
// never through a link, and replaced by rename.
#include "os/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "os/file_io.h"
#include "os/path.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/io.h"
#include "os/posix/leftovers.h"
#include "os/posix/walker.h"

namespace os {
namespace {

using posix::Fd;

StoreStatus failed(std::uint32_t code) { return {code, StoreRefusal::none}; }
StoreStatus refused(StoreRefusal refusal) { return {err::success, refusal}; }

struct HostLocation {
  std::string directory;
  std::string name;
};

// The host directory and last component of a store path.
Result<HostLocation> locate(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<HostLocation>::failure(host.code());
  const std::string& text = host.value();
  const std::size_t slash = text.rfind('/');
  if (slash == std::string::npos || slash + 1 == text.size())
    return Result<HostLocation>::failure(err::invalidName);
  return HostLocation{slash == 0 ? "/" : text.substr(0, slash), text.substr(slash + 1)};
}

// Whether a store file or its directory may be trusted: the process's own (root's, as the tool
// runs) and writable by no other user (group write counts unless the group is root's; with an
// ACL the group bits are its mask). Anything else may hold what a site user wrote.
bool trusted(const struct stat& st) {
  return st.st_uid == geteuid() && !(st.st_mode & S_IWOTH) &&
         (!(st.st_mode & S_IWGRP) || st.st_gid == 0);
}

// The directory that holds the store's directory, reached by the safe walk of full paths.
StoreStatus openParent(const std::string& directory, Fd& out, std::string& name) {
  const std::size_t slash = directory.rfind('/');
  if (slash == std::string::npos || slash + 1 == directory.size()) return failed(err::invalidName);
  name = directory.substr(slash + 1);
  const int error = posix::openSafely(slash == 0 ? "/" : directory.substr(0, slash),
                                      O_PATH | O_DIRECTORY, 0, out);
  return error == 0 ? StoreStatus{} : failed(posix::missingOnTheWay(error));
}

// Judges the store's directory, opened with O_NOFOLLOW from its parent (`error` is the open's).
StoreStatus judgeDirectory(const Fd& opened, int error, int parent, const std::string& name) {
  struct stat st;
  if (!opened.valid()) {
    if (error == ELOOP || (error == ENOTDIR && fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISLNK(st.st_mode)))
      return refused(StoreRefusal::directoryIsLink);
    return failed(posix::missingOnTheWay(error));
  }
  if (fstat(opened.get(), &st) != 0) return failed(posix::win32FromErrno(errno));
  return trusted(st) ? StoreStatus{} : refused(StoreRefusal::directoryNotTrusted);
}

// Opens the store's directory itself: never through a link in its own name, and only when it
// may be trusted. Its parent is a directory a site user may own (a site's own directory holds
// ".kelvo"), so the directory is judged by who owns and may write it, not by the walk's step.
StoreStatus openDirectory(const std::string& directory, Fd& out) {
  Fd parent;
  std::string name;
  if (StoreStatus status = openParent(directory, parent, name); !status.ok()) return status;
  out.reset(openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return judgeDirectory(out, errno, parent.get(), name);
}

// What an existing object of the store's name says against reading or replacing it.
StoreRefusal judge(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return StoreRefusal::fileIsLink;
  if (!S_ISREG(st.st_mode)) return StoreRefusal::notRegular;
  if (st.st_nlink > 1) return StoreRefusal::hardLinked;
  if (!trusted(st)) return StoreRefusal::fileNotTrusted;
  return StoreRefusal::none;
}

constexpr std::size_t kSuffixLength = 12; // hex digits of six random bytes

bool lowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::string randomSuffix() {
  Result<std::array<std::uint8_t, 16>> random = randomBytes();
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < kSuffixLength / 2; ++i) {
    const std::uint8_t byte = random.ok() ? random.value()[i] : static_cast<std::uint8_t>(i);
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

} // namespace

StoreStatus ensureStoreDirectory(std::u16string_view path, Handle& opened, bool& created) {
  created = false;
  opened.reset();
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return failed(host.code());
  Fd parent;
  std::string name;
  if (StoreStatus status = openParent(host.value(), parent, name); !status.ok()) return status;
  if (mkdirat(parent.get(), name.c_str(), 0755) == 0) created = true;
  else if (errno != EEXIST) return failed(posix::missingOnTheWay(errno));
  Fd directory(openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // The umask may have taken away less than others' write.
  if (created && directory.valid() && fchmod(directory.get(), 0755) != 0)
    return failed(posix::win32FromErrno(errno));
  StoreStatus status = judgeDirectory(directory, errno, parent.get(), name);
  if (status.ok()) opened = posix::toHandle(std::move(directory));
  return status;
}

StoreStatus openStoreFile(std::u16string_view path, Handle& file) {
  file.reset();
  Result<HostLocation> where = locate(path);
  if (!where.ok()) return failed(where.code());
  Fd directory;
  if (StoreStatus status = openDirectory(where.value().directory, directory); !status.ok())
    return status;
  // O_NONBLOCK: a pipe planted under the store's name must not stall the open.
  Fd fd(openat(directory.get(), where.value().name.c_str(),
               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) return refused(StoreRefusal::fileIsLink);
    return failed(posix::missingObjectCode(errno, posix::Missing::object));
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return failed(posix::win32FromErrno(errno));
  if (StoreRefusal refusal = judge(st); refusal != StoreRefusal::none) return refused(refusal);
  file = posix::toHandle(std::move(fd));
  return {};
}

StoreReplacement::~StoreReplacement() { discard(); }

void StoreReplacement::discard() {
  if (directory_.valid() && !temporaryName_.empty())
    unlinkat(posix::fdOf(directory_.get()), temporaryName_.c_str(), 0);
  temporaryName_.clear();
  file_.reset();
}

StoreStatus StoreReplacement::begin(std::u16string_view path) {
  discard();
  Result<HostLocation> where = locate(path);
  if (!where.ok()) return failed(where.code());
  Fd directory;
  if (StoreStatus status = openDirectory(where.value().directory, directory); !status.ok())
    return status;
  const std::string prefix = where.value().name + ".";
  posix::removeLeftovers(directory.get(), [&](std::string_view name) {
    return posix::matchesTemporary(name, prefix, kSuffixLength, lowerHexDigit, ".tmp");
  });
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = where.value().name + "." + randomSuffix() + ".tmp";
    Fd fd(openat(directory.get(), name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid() && errno == EEXIST) continue;
    if (!fd.valid()) return failed(posix::win32FromErrno(errno));
    fchmod(fd.get(), 0644); // whatever the umask: readable by others, writable by the owner only
    directory_ = posix::toHandle(std::move(directory));
    file_ = posix::toHandle(std::move(fd));
    name_ = where.value().name;
    temporaryName_ = name;
    temporaryPath_ = windowsPath(where.value().directory + "/" + name);
    return {};
  }
  return failed(err::fileExists);
}

StoreStatus StoreReplacement::write(const void* data, std::size_t count) {
  if (std::uint32_t rc = posix::writeAll(posix::fdOf(file_.get()),
                                         std::string_view(static_cast<const char*>(data), count)))
    return failed(rc);
  return {};
}

StoreStatus StoreReplacement::commit() {
  const int directory = posix::fdOf(directory_.get());
  if (fsync(posix::fdOf(file_.get())) != 0) return failed(posix::win32FromErrno(errno));
  file_.reset();
  struct stat st;
  if (fstatat(directory, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (StoreRefusal refusal = judge(st); refusal != StoreRefusal::none) return refused(refusal);
  } else if (errno != ENOENT) {
    return failed(posix::win32FromErrno(errno));
  }
  if (renameat(directory, temporaryName_.c_str(), directory, name_.c_str()) != 0)
    return failed(posix::win32FromErrno(errno));
  temporaryName_.clear();
  // The rename is durable only once the directory is.
  if (fsync(directory) != 0) return failed(posix::win32FromErrno(errno));
  return {};
}

} // namespace os
