// Opening roots: from a full path by the safe walk, or beneath another root.
#include "os/root.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "os/path.h"
#include "os/path_grammar.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/text.h"

namespace os {
namespace {

Result<Root> failure(int error) {
  return Result<Root>::failure(error == ENOTDIR ? err::directory : posix::win32FromErrno(error));
}

} // namespace

Result<Root> Root::open(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<Root>::failure(host.code());
  posix::Fd fd;
  if (int error = posix::openSafely(host.value(), O_PATH | O_DIRECTORY, 0, fd))
    return error == ENOENT ? Result<Root>::failure(err::pathNotFound) : failure(error);
  return Root(posix::toHandle(std::move(fd)), std::u16string(path));
}

Result<Root> Root::subdirectory(std::u16string_view relative) const {
  Result<std::string> host = relativeHostPath(relative);
  if (!host.ok()) return Result<Root>::failure(host.code());
  posix::Located opened;
  if (int error = posix::resolveBeneath(posix::fdOf(handle()), host.value(), posix::Want::object,
                                        O_PATH | O_DIRECTORY | O_NOFOLLOW, 0, opened))
    return error == ENOENT ? Result<Root>::failure(err::pathNotFound) : failure(error);
  return Root(posix::toHandle(std::move(opened.parent)), pathOf(relative));
}

Result<Root> Root::openParent(std::u16string_view path, std::u16string& name, Last last) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<Root>::failure(host.code());
  posix::Located where;
  if (int error = posix::locateSafely(host.value(), last == Last::followSafeLink, where))
    return Result<Root>::failure(posix::missingOnTheWay(error));
  // Reports name the path as given: the root is the text before the last name, and the name
  // keeps its trailing separators, unless the walk ended on another name (a link followed,
  // "." for the host's "/" or a drive's own directory).
  std::size_t end = path.size();
  while (end > 0 && grammar::isSeparator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && !grammar::isSeparator(path[start - 1])) --start;
  name = utf16FromUtf8(where.name);
  std::u16string parent(path);
  if (name == path.substr(start, end - start)) {
    name = path.substr(start);
    parent = path.substr(0, start);
  }
  return Root(posix::toHandle(std::move(where.parent)), std::move(parent));
}

} // namespace os
