// Descriptors inside the boundary: the owner of an fd (UniqueHandle with close(2)), and the
// conversions between a descriptor and the opaque os::NativeHandle of the portable headers.
#pragma once

#include <dirent.h>

#include "os/handle.h"

namespace os::posix {

struct FdTraits {
  using value_type = int;
  static int invalid() noexcept { return -1; }
  static void close(int fd) noexcept; // os/posix/handle.cpp
};

using Fd = UniqueHandle<FdTraits>;

struct DirStreamTraits {
  using value_type = DIR*;
  static DIR* invalid() noexcept { return nullptr; }
  static void close(DIR* stream) noexcept; // os/posix/handle.cpp
};

// A listing stream; it owns the descriptor it was opened on.
using DirStream = UniqueHandle<DirStreamTraits>;

// A listing stream over the directory open as fd, which is taken over (closed with the stream,
// or at once when no stream can be made; errno is then set).
DirStream openDirStream(Fd fd);

inline int fdOf(NativeHandle handle) { return static_cast<int>(handle); }
inline NativeHandle handleOf(int fd) { return static_cast<NativeHandle>(fd); }

// Hands a descriptor on as an owned portable handle.
inline Handle toHandle(Fd fd) { return Handle(handleOf(fd.release())); }
// Takes an owned portable handle back as a descriptor.
inline Fd toFd(Handle handle) { return Fd(fdOf(handle.release())); }

} // namespace os::posix
