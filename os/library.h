// Loadable modules (shared libraries).
#pragma once

#include <cstdint>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"

namespace os {

// A loaded module as the host's loader names it; unloaded when its owner lets it go.
struct LibraryTraits {
  using value_type = void*;
  static void* invalid() noexcept { return nullptr; }
  static void close(void* module) noexcept; // os/posix/library.cpp
};

// One loaded module, unloaded when the last owner lets it go.
class Library {
public:
  Library() = default;

  // Loads the module at the (Windows-form) path. Fails with the code of a path that does not
  // map or a file that is missing, or with badFormat when the file is not a module this process
  // can load.
  static Result<Library> load(std::u16string_view path);

  // The address of an exported symbol; fails with err::procNotFound.
  Result<void*> symbol(const char* name) const;

private:
  explicit Library(void* module) : module_(module) {}

  UniqueHandle<LibraryTraits> module_;
};

} // namespace os
