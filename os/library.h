// Loadable modules (shared libraries).
#pragma once

#include <cstdint>
#include <string_view>

#include "os/error.h"

namespace os {

// One loaded module, unloaded when the last owner lets it go.
class Library {
public:
  Library() = default;
  Library(Library&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Library& operator=(Library&& other) noexcept;
  ~Library();

  // Loads the module at the (Windows-form) path. Fails with the code of a path that does not
  // map or a file that is missing, or with badFormat when the file is not a module this process
  // can load.
  static Result<Library> load(std::u16string_view path);

  // The address of an exported symbol; fails with err::procNotFound.
  Result<void*> symbol(const char* name) const;

private:
  void* handle_ = nullptr;
};

} // namespace os
