// Inside runtime/fs: what the operations on full paths (files.h) and on paths beneath a root
// (root.h) share, so that each is written once: a full path is a name beneath its parent's root.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "os/files.h"
#include "os/root.h"
#include "os/tree.h"

namespace RunTime::File::detail {

// The root of a full path's parent, opened once by safe steps (os::Root::openParent on the
// path's long-path form, VFileName::longPath), and the path's last name beneath it: where an
// operation on a full path acts. Fails with the code of os::Root::openParent.
struct Parent {
  os::Root root;
  std::u16string name;
};
os::Result<Parent> openParent(const std::u16string& path,
                              os::Root::Last last = os::Root::Last::asIs);

// op(root, name) on the parent of a full path (openParent), or the failure to open that root in
// op's result type (a Win32 code or an os::Result).
template <class Op>
auto onParent(const std::u16string& path, Op op, os::Root::Last last = os::Root::Last::asIs) {
  using R = decltype(op(std::declval<const os::Root&>(), std::u16string()));
  os::Result<Parent> parent = openParent(path, last);
  if (!parent.ok()) {
    if constexpr (std::is_integral_v<R>) return R(parent.code());
    else return R::failure(parent.code());
  }
  return op(parent.value().root, parent.value().name);
}

// The listing of the directory at a full path (os::listDirectory), a safe link in its last
// component followed.
os::Result<std::vector<os::DirectoryEntry>> listFullPath(const std::u16string& directory);

// The lines joined with "\n" (the holders of a file in messages).
std::u16string joinedLines(const std::vector<std::u16string>& lines);

// Throws the failure of a tree copy as copyDirectory describes.
void reportCopy(const os::TreeOutcome& outcome);

// Logs what a tree removal passed over (hard links, mount points) and throws its failure as
// removeDir describes.
void reportTreeRemoval(const os::TreeOutcome& outcome);

// removeFile (files.h) on the path beneath the root; display names it in messages and
// warnings.
void removeFile(const os::Root& root, const std::u16string& relative, const std::u16string& display,
                bool force, std::uint32_t retryCount, std::uint32_t pauseMs);

} // namespace RunTime::File::detail
