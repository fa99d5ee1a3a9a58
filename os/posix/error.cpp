#include "os/error.h"
#include "os/posix/errno_map.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os/text.h"

namespace os {
namespace posix {
namespace {

// A row of the error table as this host reads it: the code, the errnos that stand for it
// (0 ends the list) and our own text.
struct Row {
  std::uint32_t code;
  int errnos[2];
  const char16_t* text;
};

#define TAVRIX_ERRNOS(...) {__VA_ARGS__}
#define TAVRIX_ERROR_ROW(name, code, errnos, text, exception) {code, TAVRIX_ERRNOS errnos, text},
constexpr Row kRows[] = {TAVRIX_ERROR_TABLE(TAVRIX_ERROR_ROW)};
#undef TAVRIX_ERROR_ROW
#undef TAVRIX_ERRNOS

constexpr bool codesUnique() {
  for (const Row& a : kRows)
    for (const Row& b : kRows)
      if (&a != &b && a.code == b.code) return false;
  return true;
}
static_assert(codesUnique(), "a Win32 code appears twice in the error table");

const Row* rowOf(std::uint32_t code) {
  for (const Row& row : kRows)
    if (row.code == code) return &row;
  return nullptr;
}

bool parentIsDirectory(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  std::string parent = slash == path.npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
  struct stat st;
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::uint32_t win32FromErrno(int error) {
  for (const Row& row : kRows)
    for (int e : row.errnos)
      if (e != 0 && e == error) return row.code;
  return err::customerBit | static_cast<std::uint32_t>(error);
}

int errnoFromWin32(std::uint32_t code) {
  if (code & err::customerBit) return static_cast<int>(code & ~err::customerBit);
  const Row* row = rowOf(code);
  return row ? row->errnos[0] : 0;
}

std::uint32_t missingObjectCode(int error, Missing what) {
  if (error == ENOENT) return what == Missing::object ? err::fileNotFound : err::pathNotFound;
  return win32FromErrno(error);
}

std::uint32_t missingObjectCode(int error, std::string_view hostPath) {
  if (error != ENOENT) return win32FromErrno(error);
  return missingObjectCode(error, parentIsDirectory(hostPath) ? Missing::object
                                                              : Missing::directoryOnTheWay);
}

} // namespace posix

std::u16string systemMessage(std::uint32_t code) {
  const posix::Row* row = posix::rowOf(code);
  if (row && row->text) return row->text;
  int error = posix::errnoFromWin32(code);
  if (error == 0) return {};
  char buffer[256];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  if (!text || std::strncmp(text, "Unknown error", 13) == 0) return {};
  return utf16FromUtf8(text);
}

} // namespace os
