#include "os/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"

namespace os {

void LibraryTraits::close(void* module) noexcept { ::dlclose(module); }

Result<Library> Library::load(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return host.error();
  // dlopen reports failures as text only: tell a missing file from a bad one by looking.
  if (::access(host.value().c_str(), F_OK) != 0)
    return Result<Library>::failure(posix::win32FromErrno(errno));
  void* module = ::dlopen(host.value().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) return Result<Library>::failure(err::badFormat);
  return Library(module);
}

Result<void*> Library::symbol(const char* name) const {
  void* address = module_ ? ::dlsym(module_.get(), name) : nullptr;
  if (!address) return Result<void*>::failure(err::procNotFound);
  return address;
}

} // namespace os
