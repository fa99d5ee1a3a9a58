#include "os/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "os/posix/errno_map.h"

namespace os {

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (handle_) ::dlclose(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Library::~Library() {
  if (handle_) ::dlclose(handle_);
}

Result<Library> Library::load(const std::string& path) {
  // dlopen reports failures as text only: tell a missing file from a bad one by looking.
  if (::access(path.c_str(), F_OK) != 0) return Result<Library>::failure(posix::win32FromErrno(errno));
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return Result<Library>::failure(err::badFormat);
  Library library;
  library.handle_ = handle;
  return Result<Library>(std::move(library));
}

Result<void*> Library::symbol(const char* name) const {
  void* address = handle_ ? ::dlsym(handle_, name) : nullptr;
  if (!address) return Result<void*>::failure(procNotFound);
  return address;
}

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

} // namespace os
