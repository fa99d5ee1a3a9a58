#include "siteapp/package_registry.h"

#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

namespace {

constexpr std::u16string_view kPackagesKey = u"SOFTWARE\\Kelvo\\ZRC Config\\Config\\Packages";

} // namespace

std::vector<std::u16string> listPackages(const std::u16string& prefix) {
  std::vector<std::u16string> names;
  {
    registry::Key packages(registry::HKEY_LOCAL_MACHINE, kPackagesKey,
                           registry::KEY_READ | registry::viewFlag(registry::VIEW_32), true);
    std::uint32_t status = registry::subkeyNames(packages, names);
    if (status != os::err::noMoreItems) throwOSError(u"RegEnumKeyEx", status, VCONTEXT("listPackages"));
  }
  std::erase_if(names, [&](const std::u16string& name) { return !name.starts_with(prefix); });
  return names;
}

std::u16string getPackageValue(const std::u16string& package, const std::u16string& valueName) {
  std::u16string value;
  // A missing key or value leaves the value empty, which is the answer for both.
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, std::u16string(kPackagesKey) + u"\\" + package, valueName,
                         value, registry::VIEW_32);
  return value;
}
