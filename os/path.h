// Windows-syntax paths at the boundary: where they are on this host, and back.
#pragma once

#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

// The host path of a Windows-syntax path. "\\?\" and "\??\" prefixes are dropped; a drive "X:"
// maps to the directory named by the registry value "X:" of HKLM\SYSTEM\Tavrix\DosDevices
// (pathNotFound when the drive is not mapped); a rooted path "\var\www" is "/var/www"; "\" and
// "/" both separate; a relative path stays relative. After a drive, "." and ".." are resolved
// by their text and never climb above the drive's directory ("C:..\x", "C:\..\x" and
// "\\?\C:\..\x" are all "<directory>/x").
Result<std::string> hostPath(std::u16string_view path);

// The Windows form of a host path: under the longest mapped drive directory it is "X:\...",
// otherwise "\..." with "/" turned into "\".
std::u16string windowsPath(std::string_view hostPath);

// The form in which messages and logs show a Windows-form path, one form per path: a full path
// without a drive ("\srv\www", "/srv/www") is the panel's "X:\…" when it lies on a mapped
// drive, else the host's "/srv/www"; a drive path (with or without "\\?\"), a relative, UNC or
// device path is shown as given.
std::u16string shownPath(std::u16string_view path);

// Where a path leads when every symbolic link on it is replaced by its target, read with
// readlinkat (at most 40 links; nothing is opened): what a report names as the place that a
// refused link points to. The Windows form; a path without links comes back as its host path
// reads in that form.
Result<std::u16string> linkedPath(std::u16string_view path);

// The long form of an existing path: the path itself when it exists; fileNotFound or
// pathNotFound when it does not.
Result<std::u16string> longPathName(std::u16string_view path);

} // namespace os
