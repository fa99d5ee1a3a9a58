#include "os/error.h"
#include "os/posix/errno_map.h"

#include <cerrno>
#include <cstring>

#include "os/text.h"

namespace os {
namespace posix {
namespace {

struct Mapping {
  std::uint32_t code;
  int error;
};

// Codes and the errno that stands for them; the first row of an errno is its mapping.
constexpr Mapping kMappings[] = {
    {err::fileNotFound, ENOENT},     {err::pathNotFound, ENOTDIR},
    {err::accessDenied, EACCES},     {err::accessDenied, EPERM},
    {err::invalidHandle, EBADF},     {err::notEnoughMemory, ENOMEM},
    {err::outOfMemory, ENOMEM},      {err::notSameDevice, EXDEV},
    {err::writeProtect, EROFS},      {err::sharingViolation, ETXTBSY},
    {err::sharingViolation, EBUSY},  {err::notSupported, EOPNOTSUPP},
    {err::notSupported, ENOSYS},     {err::alreadyExists, EEXIST},
    {err::fileExists, EEXIST},       {err::invalidParameter, EINVAL},
    {err::brokenPipe, EPIPE},        {err::brokenPipe, ECONNRESET},
    {err::diskFull, ENOSPC},         {err::diskFull, EDQUOT},
    {err::insufficientBuffer, ERANGE}, {err::dirNotEmpty, ENOTEMPTY},
    {err::filenameExcedRange, ENAMETOOLONG}, {err::pipeBusy, EAGAIN},
    {err::pipeNotConnected, ENOTCONN}, {err::moreData, EMSGSIZE},
    {err::noMoreItems, ENODATA},     {err::directory, EISDIR},
    {err::operationAborted, ECANCELED}, {err::ioDevice, EIO},
    {err::timeout, ETIMEDOUT},       {err::cantResolveFilename, ELOOP},
    {err::fileNotFound, ECONNREFUSED}, {err::badFormat, ENOEXEC},
};

// Codes with no errno of their own get a short text of ours.
struct OwnText {
  std::uint32_t code;
  const char16_t* text;
};

constexpr OwnText kOwnTexts[] = {
    {err::pathNotFound, u"The path is not found"},
    {err::invalidDrive, u"The drive is not mapped"},
    {err::noMoreFiles, u"There are no more files"},
    {err::sharingViolation, u"The file is in use by another process"},
    {err::lockViolation, u"A region of the file is locked by another process"},
    {err::handleEof, u"The end of the file is reached"},
    {err::invalidName, u"The file name or path syntax is invalid"},
    {err::badPathName, u"The path name is invalid"},
    {err::alreadyExists, u"The object already exists"},
    {err::pipeBusy, u"Every instance of the pipe is busy"},
    {err::noData, u"The pipe is being closed"},
    {err::pipeNotConnected, u"No process is on the other end of the pipe"},
    {err::moreData, u"More data is available than the buffer holds"},
    {err::waitTimeout, u"The wait timed out"},
    {err::noMoreItems, u"There are no more items"},
    {err::directory, u"The directory name is invalid"},
    {1060, u"The service does not exist"},
    {1072, u"The service is marked for deletion"},
    {1073, u"The service already exists"},
    {err::privilegeNotHeld, u"The process does not hold the privilege"},
    {err::noneMapped, u"The account name or security identifier is not mapped"},
    {err::noSuchDomain, u"The domain is not known"},
    {err::internalError, u"Internal error"},
    {err::badConfiguration, u"The configuration data is malformed"},
    {1387, u"The member does not exist"},
    {1789, u"The trust relationship failed"},
    {2245, u"The password is too short"},
};

} // namespace

std::uint32_t win32FromErrno(int error) {
  for (const Mapping& m : kMappings)
    if (m.error == error) return m.code;
  return err::customerBit | static_cast<std::uint32_t>(error);
}

int errnoFromWin32(std::uint32_t code) {
  if (code & err::customerBit) return static_cast<int>(code & ~err::customerBit);
  for (const Mapping& m : kMappings)
    if (m.code == code) return m.error;
  return 0;
}

} // namespace posix

std::u16string systemMessage(std::uint32_t code) {
  for (const posix::OwnText& own : posix::kOwnTexts)
    if (own.code == code) return own.text;
  int error = posix::errnoFromWin32(code);
  if (error == 0) return {};
  char buffer[256];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  if (!text || std::strncmp(text, "Unknown error", 13) == 0) return {};
  return utf16FromUtf8(text);
}

std::uint32_t lastError() { return posix::win32FromErrno(errno); }

} // namespace os
