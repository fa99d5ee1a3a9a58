// DOS attribute bits in the extended attribute "user.tavrix.dosattrib".
#include "os/dos_attributes.h"

#include <fcntl.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/file_io.h"
#include "os/files.h"
#include "os/path.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/posix/file_ops.h"
#include "os/posix/fd.h"
#include "os/posix/walker.h"

namespace os {
namespace {

constexpr char ATTRIBUTE_NAME[] = "user.tavrix.dosattrib";

// The object itself, never what a link in the last component leads to.
Result<posix::Fd> openObject(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<posix::Fd>::failure(host.code());
  posix::Fd fd;
  if (int error = posix::openSafely(host.value(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd))
    return Result<posix::Fd>::failure(posix::missingObjectCode(error, host.value()));
  return fd;
}

Result<std::uint32_t> readBits(int fd) {
  char text[32] = {};
  ssize_t n = fgetxattr(fd, ATTRIBUTE_NAME, text, sizeof text - 1);
  if (n < 0)
    return errno == ENODATA ? Result<std::uint32_t>(0)
                            : Result<std::uint32_t>::failure(posix::win32FromErrno(errno));
  return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 16));
}

} // namespace

Result<std::uint32_t> storedDosAttributes(std::u16string_view path) {
  Result<posix::Fd> fd = openObject(path);
  if (!fd.ok()) return Result<std::uint32_t>::failure(fd.code());
  return readBits(fd.value().get());
}

std::uint32_t addHiddenAttribute(NativeHandle object) {
  const int fd = posix::fdOf(object);
  Result<std::uint32_t> bits = readBits(fd);
  if (!bits.ok()) return bits.code();
  if (bits.value() & FILE_ATTRIBUTE_HIDDEN) return err::success;
  char text[32];
  const int length = std::snprintf(text, sizeof text, "0x%x", bits.value() | FILE_ATTRIBUTE_HIDDEN);
  if (fsetxattr(fd, ATTRIBUTE_NAME, text, static_cast<std::size_t>(length), 0) != 0)
    return posix::win32FromErrno(errno);
  return err::success;
}

} // namespace os
