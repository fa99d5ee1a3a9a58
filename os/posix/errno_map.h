// errno to Win32 error code: the one place where the mapping is decided.
#pragma once

#include <cstdint>

namespace os::posix {

// The Win32 code for an errno value. errnos with no Win32 equivalent keep their number
// under the customer bit, so that nothing is lost.
std::uint32_t win32FromErrno(int error);

// The errno behind a Win32 code, or 0 when there is none.
int errnoFromWin32(std::uint32_t code);

} // namespace os::posix
