// Special folders of the platform by their folder number (CSIDL), from the registry locations and
// defaults that Windows itself uses. The paths are in Windows form; the drive mapping places them
// on this host.
#pragma once

#include <cstdint>
#include <string>

// The system folder, SystemRoot\System32: the only one the tool asks for.
inline constexpr std::uint32_t CSIDL_SYSTEM = 0x25;

// The folder's path. SystemRoot is the value "SystemRoot" of
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion, "C:\Windows" when absent or empty. Nothing is
// created or checked on disk. Throws vexception "SHGetSpecialFolderPath failed for index <n>"
// (context "getWellKnownPath") for any other folder number.
std::u16string getWellKnownPath(std::uint32_t folder);
