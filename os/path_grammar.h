// The grammar of Windows-form paths, written once for every layer: separators, drives, the UNC
// and device forms, the "\\?\" and "\??\" prefixes, and what "." and ".." do. Pure text rules:
// nothing here looks at a disk or a registry, so the rules are tested on any host.
#pragma once

#include <string_view>
#include <vector>

#include "os/error.h"

namespace os::grammar {

// "\" and "/" both separate.
inline bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

inline bool isDriveLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Whether the path begins with a drive "X:".
inline bool hasDrive(std::u16string_view path) {
  return path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':';
}

// The prefixes that hand a path to the system as it is: "\\?\" (the long-path form) and
// "\??\" (the native form).
inline constexpr std::u16string_view kLongPrefix = u"\\\\?\\";
inline constexpr std::u16string_view kNativePrefix = u"\\??\\";
inline constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";

// Whether the path begins with "\\?\" or "\??\".
inline bool hasLongPrefix(std::u16string_view path) {
  return path.starts_with(kLongPrefix) || path.starts_with(kNativePrefix);
}

// The path without a leading "\\?\" or "\??\".
inline std::u16string_view withoutLongPrefix(std::u16string_view path) {
  return hasLongPrefix(path) ? path.substr(kLongPrefix.size()) : path;
}

// Whether the path begins with two separators: a UNC path ("\\server\share") or a device or
// long-path form ("\\?\", "\\.\").
inline bool isUncOrDevice(std::u16string_view path) {
  return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

// The names of a path in order, split at every separator; empty names are dropped.
std::vector<std::u16string_view> components(std::u16string_view path);

// What ".." does with no name before it to remove.
enum class Above {
  clamp, // it is dropped: nothing climbs above the path's root
  keep,  // it stays (a relative path that begins above where it stands)
};

// The names with "." dropped and each ".." removing the name before it.
std::vector<std::u16string_view> resolveDots(const std::vector<std::u16string_view>& names,
                                             Above above);

// The names of a path relative to a base, "." and ".." resolved by their text, when it stays
// inside the base: leading separators only mean "from the base", an empty result names the
// base itself. Fails with 17 (notSameDevice) for ".." that climbs above the base, with 161
// (badPathName) for a path that names another place: a UNC or device form ("\\server\share",
// "\\?\…", "\\.\…"), the native form "\??\…", or a name with a colon (a drive "C:…", or a
// stream "a:b").
Result<std::vector<std::u16string_view>> componentsInside(std::u16string_view relative);

} // namespace os::grammar
