// The shell path rules: combination, canonicalisation, parent and root of Windows-syntax paths.
// Pure string work; "/" is accepted as a separator and every result uses "\".
//
// Roots are kept intact by every rule: "\\?\" or "\\.\" followed by a drive ("\\?\C:\"), by
// "UNC\server\share" or by one name; "\\server\share"; a drive "C:\" or "C:"; a single "\".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "os/error.h"
#include "runtime/core/exception.h"

namespace shell_path {

using com::HRESULT;

// The status codes of the rules, all in one place.
inline constexpr HRESULT S_OK = com::S_OK;
// removeFileSpec: the path has nothing left to remove.
inline constexpr HRESULT S_FALSE = 1;
// An argument longer than maxLength or holding a NUL character.
inline constexpr HRESULT invalidPath = com::E_INVALIDARG;
// A result longer than maxLength.
inline constexpr HRESULT resultTooLong = com::hresultFromWin32(os::err::filenameExcedRange);

// The longest path the rules take or give, in UTF-16 units (long paths allowed).
inline constexpr std::size_t maxLength = 32767;

struct Outcome {
  HRESULT status;
  std::u16string path; // empty when the status is a failure

  bool succeeded() const { return status >= 0; }
};

// The canonical form of more when it is fully qualified ("D:\..." or "\\..."), else of base,
// one "\" and more; an empty base or more leaves just the other one. The canonical form has "."
// components removed and ".." resolved against the component before it, never climbing above the
// root (a relative path has an empty root); empty components are dropped, a trailing "\" is
// kept, a lone drive "C:" becomes "C:\" and an empty result becomes "\".
Outcome combine(std::u16string_view base, std::u16string_view more);

// Removes the last component and the "\" before it, but nothing of the root. S_OK when a part
// was removed, S_FALSE (path unchanged) when the path is only its root.
Outcome removeFileSpec(std::u16string_view path);

} // namespace shell_path
