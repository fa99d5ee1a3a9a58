#include "os/file_io.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/files.h"
#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/file_ops.h"
#include "os/posix/beneath.h"
#include "os/text.h"

namespace os {
namespace {

// The open flags of an access mask, a disposition and the creation flags; -1 for a disposition
// that does not exist.
int openFlags(std::uint32_t access, std::uint32_t disposition, std::uint32_t flags) {
  const bool read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
  const bool write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
  const bool append = !write && (access & FILE_APPEND_DATA);
  int open = (write || append) ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (append) open |= O_APPEND;
  if (flags & FILE_FLAG_OPEN_REPARSE_POINT) open |= O_NOFOLLOW;
  switch (disposition) {
  case CREATE_NEW: return open | O_CREAT | O_EXCL;
  case CREATE_ALWAYS: return open | O_CREAT | O_TRUNC;
  case OPEN_EXISTING: return open;
  case OPEN_ALWAYS: return open | O_CREAT;
  case TRUNCATE_EXISTING: return open | O_TRUNC;
  default: return -1;
  }
}

// Opens the entry where names; the last component is never followed here (where already went
// through a link that may be followed).
Result<Handle> openAt(const posix::Located& where, int open, std::uint32_t flags) {
  const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  posix::Fd fd(openat(where.parent.get(), where.name.c_str(), open | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.valid()) return posix::toHandle(std::move(fd));
  switch (errno) {
  case EEXIST: return Result<Handle>::failure(err::fileExists);
  case EISDIR: return Result<Handle>::failure(err::accessDenied);
  default: return Result<Handle>::failure(posix::win32FromErrno(errno));
  }
}

std::u16string withSeparator(std::u16string path) {
  if (path.empty() || (path.back() != u'\\' && path.back() != u'/')) path += u'\\';
  return path;
}

} // namespace

Result<Handle> openFile(const Root& root, std::u16string_view relative, std::uint32_t access,
                        std::uint32_t, std::uint32_t disposition, std::uint32_t flags) {
  const int open = openFlags(access, disposition, flags);
  if (open < 0) return Result<Handle>::failure(err::invalidParameter);
  Result<posix::Located> where = posix::locate(root, relative);
  if (!where.ok()) return Result<Handle>::failure(where.code());
  return openAt(where.value(), open, flags);
}

Result<std::size_t> readFile(NativeHandle file, void* buffer, std::size_t count) {
  for (;;) {
    ssize_t n = read(posix::fdOf(file), buffer, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Result<std::size_t>::failure(posix::win32FromErrno(errno));
  }
}

Result<std::size_t> writeFile(NativeHandle file, const void* buffer, std::size_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = write(posix::fdOf(file), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (done > 0) break;
      return Result<std::size_t>::failure(n < 0 ? posix::win32FromErrno(errno) : err::diskFull);
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Result<std::uint64_t> seekFile(NativeHandle file, std::int64_t distance, std::uint32_t method) {
  const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  if (method > FILE_END) return Result<std::uint64_t>::failure(err::invalidParameter);
  off_t position = lseek(posix::fdOf(file), static_cast<off_t>(distance), whence);
  if (position < 0) return Result<std::uint64_t>::failure(posix::win32FromErrno(errno));
  return static_cast<std::uint64_t>(position);
}

std::u16string tempDirectory() {
  for (const char* name : {"TMPDIR", "TMP", "TEMP"})
    if (const char* value = std::getenv(name); value && *value)
      return withSeparator(windowsPath(value));
  return withSeparator(windowsPath("/tmp"));
}

Result<std::u16string> createTempFile(std::u16string_view directory, std::u16string_view prefix) {
  Result<std::string> host = hostPath(directory);
  if (!host.ok()) return Result<std::u16string>::failure(host.code());
  Result<std::array<std::uint8_t, 16>> random = randomBytes();
  if (!random.ok()) return Result<std::u16string>::failure(random.code());
  const unsigned start = random.value()[0] | random.value()[1] << 8;
  const std::string folder = host.value().ends_with('/') ? host.value() : host.value() + "/";
  const std::string stem = utf8FromUtf16(prefix);
  for (unsigned i = 0; i < 0x10000; ++i) {
    const unsigned unique = (start + i) & 0xFFFF;
    if (unique == 0) continue;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%04X.TMP", unique);
    posix::Fd fd;
    int error = posix::openSafely(folder + stem + suffix,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, fd);
    if (error == 0) return utf16FromUtf8(stem + suffix);
    if (error != EEXIST) return Result<std::u16string>::failure(posix::missingOnTheWay(error));
  }
  return Result<std::u16string>::failure(err::fileExists);
}

Result<std::array<std::uint8_t, 16>> randomBytes() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result<std::array<std::uint8_t, 16>>::failure(posix::win32FromErrno(errno));
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

} // namespace os
