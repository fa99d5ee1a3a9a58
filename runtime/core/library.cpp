#include "runtime/core/library.h"

#include "runtime/core/exception.h"
#include "runtime/core/format.h"

namespace RunTime {

LibraryPtr::LibraryPtr(std::u16string path) : path_(std::move(path)) {
  os::Result<os::Library> loaded = os::Library::load(path_);
  if (!loaded.ok())
    throwOSError(formatString(u"Unable to load library (%s)", path_), loaded.code(),
                 VCONTEXT("RunTime::LibraryPtr::LibraryPtr"));
  library_ = std::move(loaded.value());
}

void* LibraryPtr::address(const char* name) const {
  os::Result<void*> found = library_.symbol(name);
  if (!found.ok())
    throwOSError(formatString(u"Unable to find %hs in library (%s)", name, path_), found.code(),
                 VCONTEXT("RunTime::LibraryPtr::entry"));
  return found.value();
}

} // namespace RunTime
