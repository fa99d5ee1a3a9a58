// Entry path templates: an entry's path is turned into its real base paths when the entry is
// applied. The forms, tried in this order:
//   a number, or "{name}"  a well-known folder (shell folder identifier, or a folder name);
//   "%...%"                an environment expansion;
//   "[name]"               a product component's paths;
//   anything else          a literal path.
// A form needs at least two characters, so "[" or "{" alone is a literal path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "security/disk/access_entry.h"

namespace DiskSecurity {

// Where a component's directories are; the product's component resolver stands behind it.
class IComponentPathResolver {
public:
  virtual ~IComponentPathResolver() = default;
  // The component's paths (one or more); throws when the component is not known.
  virtual std::vector<std::u16string> getPath(const std::u16string& name) = 0;
};

namespace EntryTemplate {

enum class PathForm { literal, wellKnownFolder, environment, component };

PathForm formOf(std::u16string_view path);

// The folder a well-known path names, through the entry's system helper: the 64-bit names
// first, then the folder table; a number is a shell folder identifier. Logs "Obtaining
// wellknown path %s for CSIDL %X". Throws "Unknown CSIDL: <path>, known names are:\n..." for a
// name neither holds.
std::u16string getEntryWellKnownPath(const AccessEntry& entry);

// The path split at every "%", each non-empty piece replaced by the value of that environment
// variable. Throws "Unable to expand environment string: <path>. Unknown token: <piece>".
std::u16string getEntryPathEnvironment(const AccessEntry& entry);

// The entry's base paths, whatever its form.
std::vector<std::u16string> basePaths(const AccessEntry& entry,
                                      IComponentPathResolver& components);

} // namespace EntryTemplate
} // namespace DiskSecurity
