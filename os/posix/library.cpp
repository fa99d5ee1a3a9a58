#include "os/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "os/path.h"
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

Result<Library> Library::load(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<Library>::failure(host.code());
  // dlopen reports failures as text only: tell a missing file from a bad one by looking.
  if (::access(host.value().c_str(), F_OK) != 0)
    return Result<Library>::failure(posix::win32FromErrno(errno));
  void* handle = ::dlopen(host.value().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return Result<Library>::failure(err::badFormat);
  Library library;
  library.handle_ = handle;
  return Result<Library>(std::move(library));
}

Result<void*> Library::symbol(const char* name) const {
  void* address = handle_ ? ::dlsym(handle_, name) : nullptr;
  if (!address) return Result<void*>::failure(err::procNotFound);
  return address;
}

} // namespace os
