// The panel's package registry: one subkey of HKLM\SOFTWARE\Kelvo\ZRC Config\Config\Packages per
// installed package, always read in the 32-bit view.
#pragma once

#include <string>
#include <vector>

// The names of the package subkeys that begin with `prefix` (case-sensitive; an empty prefix
// keeps all), in the registry's enumeration order. Throws the OS error "RegOpenKeyEx subKey=..."
// when the packages key cannot be opened, "RegEnumKeyEx" when its subkeys cannot be listed.
std::vector<std::u16string> listPackages(const std::u16string& prefix);

// A string value of a package subkey (the empty name reads the default value); empty when the
// key or the value is absent. Throws vexception "Type mismatch valueName=..." for a value that is
// not a string.
std::u16string getPackageValue(const std::u16string& package, const std::u16string& valueName);
