// Loadable modules (shared libraries) and the path of the running executable.
#pragma once

#include <string>

#include "os/error.h"

namespace os {

inline constexpr std::uint32_t procNotFound = 127;

// One loaded module, unloaded when the last owner lets it go.
class Library {
public:
  Library() = default;
  Library(Library&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Library& operator=(Library&& other) noexcept;
  ~Library();

  // Loads the module at the path. Fails with fileNotFound when there is no such file and with
  // badFormat when the file is not a module this process can load.
  static Result<Library> load(const std::string& path);

  // The address of an exported symbol; fails with procNotFound.
  Result<void*> symbol(const char* name) const;

private:
  void* handle_ = nullptr;
};

// The full path of the running executable (8-bit, as the file system spells it).
std::string executablePath();

} // namespace os
