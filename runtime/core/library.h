// A loaded module (shared library) and the functions it exports.
#pragma once

#include <string>

#include "os/library.h"

namespace RunTime {

class LibraryPtr {
public:
  // Loads the module at the path; throws the OS error "Unable to load library (<path>)".
  explicit LibraryPtr(std::u16string path);

  // The exported function of that name; throws the OS error
  // "Unable to find <name> in library (<path>)".
  template <class Function>
  Function entry(const char* name) const {
    return reinterpret_cast<Function>(address(name));
  }

private:
  void* address(const char* name) const;

  std::u16string path_;
  os::Library library_;
};

} // namespace RunTime
