#include "siteapp/well_known_path.h"

#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "runtime/fs/path/filename.h"

namespace {

std::u16string systemRoot() {
  std::u16string root;
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                         u"SystemRoot", root, registry::VIEW_64);
  return root.empty() ? u"C:\\Windows" : root;
}

} // namespace

std::u16string getWellKnownPath(std::uint32_t folder) {
  if (folder != CSIDL_SYSTEM)
    throw vexception(formatString(u"SHGetSpecialFolderPath failed for index %u", folder),
                     VCONTEXT("getWellKnownPath"));
  return VFileName::combine(systemRoot(), u"System32");
}
