// errno to Win32 error code: the one place where the mapping is decided.
#pragma once

#include <cstdint>
#include <string_view>

namespace os::posix {

// The Win32 code for an errno value. errnos with no Win32 equivalent keep their number
// under the customer bit, so that nothing is lost.
std::uint32_t win32FromErrno(int error);

// The errno behind a Win32 code, or 0 when there is none.
int errnoFromWin32(std::uint32_t code);

// What an ENOENT was about: the object itself, or a directory on the way to it.
enum class Missing { object, directoryOnTheWay };

// The code of a failed operation on a path: ENOENT is fileNotFound when only the object is
// missing and pathNotFound when a directory on the way to it is; other errnos as
// win32FromErrno. The one place where "a missing parent means 3" is decided.
std::uint32_t missingObjectCode(int error, Missing what);

// For failures to reach a path's parent directory (resolving, listing, creating in it).
inline std::uint32_t missingOnTheWay(int error) {
  return missingObjectCode(error, Missing::directoryOnTheWay);
}

// The same when only the host path is known: a directory on the way is missing when the
// path's parent is not an existing directory (looked at now, following links as the failed
// call did).
std::uint32_t missingObjectCode(int error, std::string_view hostPath);

} // namespace os::posix
