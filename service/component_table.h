// The component table of the registry store: HKLM\SOFTWARE\Tavrix\Components\<lower-case name>
// (the 64-bit view, so the path is literally this one), with the value "InstallDir" (the
// information of kind 2) and "AdditionalPaths" (REG_MULTI_SZ, possibly absent or empty).
// "httpd_vhosts_d" is known with no additional paths even when it has no key.
//
// Both the management service and the tool's component resolver read components here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ComponentTable {

// The component's install directory. Throws vexception "Component %s isn't supported" for a
// name with no key, "Component %s has no install directory" for a key without "InstallDir".
std::u16string installDir(std::u16string_view name);

// The component's additional directories in stored order. Throws "Component %s isn't
// supported" for a name with no key (except httpd_vhosts_d).
std::vector<std::u16string> additionalPaths(std::u16string_view name);

} // namespace ComponentTable
